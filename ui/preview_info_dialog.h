// The notice shown when automatic preview has been switched on. On OK the
// check box becomes the option hidePreviewInfo, saved at once.
#pragma once

#include <QDialog>

class QCheckBox;

namespace calmora {

class OptionsKeeper;

class CPreviewInfoDialog final : public QDialog {
    Q_OBJECT

public:
    explicit CPreviewInfoDialog(OptionsKeeper& options, QWidget* parent = nullptr);

    QCheckBox* doNotShowBox() const { return m_doNotShow; }
    QString saveError() const { return m_saveError; }

public slots:
    void accept() override;

private:
    OptionsKeeper& m_options;
    QCheckBox* m_doNotShow = nullptr;
    QString m_saveError;
};

} // namespace calmora

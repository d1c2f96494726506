// The summary after a completed Go. Checking "Do not show this window next
// time." switches the summary off and saves the options at once; unchecking
// it again does not switch it back on.
#pragma once

#include <QDialog>

class QCheckBox;

namespace calmora {

class OptionsKeeper;

class CProcessSummaryDialog final : public QDialog {
    Q_OBJECT

public:
    CProcessSummaryDialog(const QString& text, OptionsKeeper& options, QWidget* parent = nullptr);

    QCheckBox* doNotShowBox() const { return m_doNotShow; }
    // A failure to save the options, for the caller to show; empty if none.
    QString saveError() const { return m_saveError; }

private:
    OptionsKeeper& m_options;
    QCheckBox* m_doNotShow = nullptr;
    QString m_saveError;
};

} // namespace calmora

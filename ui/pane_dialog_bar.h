// The base of the program's bars (the toolbar and the filter pane): a plain
// widget whose look comes from its CPaneDialogHelper. It paints what its
// sections and buttons leave free in the bar's background tint, and takes
// its colours from the palette again when the desktop theme changes.
#pragma once

#include "ui/pane_dialog_helper.h"

#include <QWidget>

namespace calmora {

class CPaneButton;

class CPaneDialogBar : public QWidget {
    Q_OBJECT

public:
    explicit CPaneDialogBar(QWidget* parent = nullptr);

    CPaneDialogHelper& helper() { return *m_helper; }
    const CPaneDialogHelper& helper() const { return *m_helper; }

    // A new button of kind `flags` for command `id`, entered in the table.
    CPaneButton* makeButton(int id, unsigned flags, const QString& iconName,
        const QString& commandText, int section = 0);

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    // Plain controls are drawn on the pane colour: labels, sliders and check
    // boxes let the parent's paint through, the rest take it as their base.
    void paintControlsOnPane(QWidget* container);

private:
    CPaneDialogHelper* m_helper;
};

} // namespace calmora

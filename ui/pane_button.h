// An owner-drawn button of a bar: a picture and a caption, drawn by the
// bar's CPaneDialogHelper after its kind (toolbar style, framed, the
// emphasised Go button, a section caption button, a drop-down button) in
// its normal, hover, pressed, checked or disabled look. A button given a
// QAction takes its caption, tooltip, enabled and checked state from it and
// triggers it, so menu, toolbar and pane share one command.
#pragma once

#include "ui/pane_dialog_helper.h"

#include <QAbstractButton>
#include <QAction>
#include <QMenu>
#include <QPointer>

namespace calmora {

class CPaneButton final : public QAbstractButton {
    Q_OBJECT

public:
    CPaneButton(CPaneDialogHelper& helper, unsigned flags, QWidget* parent = nullptr);

    unsigned flags() const { return m_flags; }
    // "tooltip\ncaption" (see splitCommandText); also the accessible name.
    void setCommandText(const QString& text);
    QString caption() const { return text(); }
    // A picture of the resources, ":/icons/<name>.svg"; a missing one only
    // leaves the button without a picture.
    void setIconName(const QString& name);
    // Follows `action` from now on; a click triggers it.
    void setAction(QAction* action);
    QAction* action() const { return m_action; }
    // For drop-down buttons: the menu a click opens below the button.
    void setMenu(QMenu* menu) { m_menu = menu; }
    // A button with a picture shows only the picture while compact; its
    // caption goes into the tooltip. For a bar too narrow for its captions.
    void setCompact(bool compact);
    // The width the caption adds to the button when it is shown.
    int captionRoomPx() const;
    // Drawn pressed although not pressed (a pane that is shown, a mode on).
    void setCheckedLook(bool checked);
    bool checkedLook() const { return m_checkedLook; }

    PaneButtonState state() const;
    // Back to the normal look, unless disabled.
    void resetState();

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void followAction();
    QFont captionFont() const;
    QSize sizeFor(const QString& caption) const;
    void onClicked();

    CPaneDialogHelper& m_helper;
    unsigned m_flags;
    QPointer<QAction> m_action;
    QPointer<QMenu> m_menu;
    bool m_hover = false;
    // Set when a press ends, cleared by the next move of the pointer: a
    // button that has just been clicked does not light up again at once.
    bool m_released = false;
    bool m_checkedLook = false;
    bool m_compact = false;
};

} // namespace calmora

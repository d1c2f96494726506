// The main toolbar: the frame's commands as owner-drawn buttons of the pane
// framework, and, only while the filter pane is hidden, a presets list and
// Go of its own, so the filter can still be chosen and run. Where the bar
// is given less than its captions need, its command buttons show only their
// pictures, the captions in their tooltips.
#pragma once

#include "ui/pane_dialog_bar.h"

class QAction;
class QComboBox;
class QHBoxLayout;

namespace calmora {

class CPaneToolBar final : public CPaneDialogBar {
    Q_OBJECT

public:
    explicit CPaneToolBar(QWidget* parent = nullptr);

    // A button for `action`, placed after the ones before it; `flags` is
    // kPushButton or kPushButton | kIconOnly for a narrow button.
    CPaneButton* addCommand(
        QAction* action, int id, const QString& iconName, unsigned flags = kPushButton);
    // The presets list and Go, shown only while the filter pane is hidden.
    void addPresetArea(QComboBox* presetList, QAction* go);
    // The pane's visibility: the toolbar's presets list and Go show while it
    // is hidden.
    void setPaneShown(bool shown);
    bool presetAreaShown() const;

    // The width with every caption shown, and the least: every caption in
    // the tooltips.
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    bool event(QEvent* event) override;

private:
    int captionsRoomPx() const;
    void setCompact(bool compact);

    QHBoxLayout* m_layout;
    QComboBox* m_presetList = nullptr;
    CPaneButton* m_goButton = nullptr;
    QWidget* m_spacer = nullptr;
    QList<CPaneButton*> m_commands;
    bool m_compact = false;
};

} // namespace calmora

// The main toolbar: the frame's commands as owner-drawn buttons of the pane
// framework, and, only while the filter pane is hidden, a presets list and
// Go of its own, so the filter can still be chosen and run.
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

private:
    QHBoxLayout* m_layout;
    QComboBox* m_presetList = nullptr;
    CPaneButton* m_goButton = nullptr;
    QWidget* m_spacer = nullptr;
};

} // namespace calmora

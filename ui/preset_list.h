// The presets as a list model with their pictures, shared by the filter
// pane's list and the toolbar's, so both always offer the same entries; and
// the look of a list over it: the user's presets indented under "Custom",
// the drop-down as wide as the longest name (at most 200 pixels).
#pragma once

#include <QString>

class QComboBox;
class QStandardItemModel;

namespace calmora {

class PresetTable;

// The picture of a preset list entry, by the table's icon index; names
// outside 0..6 fall back to the general one.
QString presetIconName(int icon);

// Replaces the model's rows by the table's entries.
void fillPresetModel(QStandardItemModel& model, const PresetTable& presets);

// Puts `list` over `model` with the indenting delegate and the drop-down
// width of its entries.
void showPresetList(QComboBox& list, QStandardItemModel& model);
// After the entries changed: the drop-down's width again.
void fitPresetDropDown(QComboBox& list);

} // namespace calmora

// The preset table: fifteen built-in presets, the last of which ("Custom")
// follows the user's hand-made settings, then up to twenty-five presets of
// the user's read from the "FilterSettings" section at start-up.
#pragma once

#include "engine/records.h"
#include "settings/filter_settings.h"

#include <QString>
#include <QStringList>
#include <QStringView>

#include <cstdint>
#include <vector>

namespace calmora {

class SettingsStore;

// Image indexes in the presets icon list.
enum PresetIcon : int32_t {
    kIconGeneral = 0,
    kIconLandscape = 1,
    kIconNightScene = 2,
    kIconPortrait = 3,
    kIconFull = 4,
    kIconUser = 5,
    kIconFilmGrain = 6,
};

struct Preset {
    QString name;
    FilterSettings values;
    int32_t icon = kIconGeneral;
};

class PresetTable {
public:
    static constexpr int kBuiltInCount = 15;
    // "Custom": where the filter pane keeps values that match no preset.
    static constexpr int kCustomIndex = 14;
    static constexpr int kMaxCount = 40;

    // The built-in presets only.
    PresetTable();

    // Rebuilds the built-in presets and loads the user's presets. Returns
    // false when the store's "FilterSettings" section cannot be read; the
    // table then holds the built-in presets. `notes`, when given, receives a
    // line for every stored value that was skipped or repaired.
    bool initialise(const SettingsStore& store, QStringList* notes = nullptr);

    int count() const { return static_cast<int>(m_entries.size()); }
    // `index` must be in 0..count()-1.
    const Preset& at(int index) const;

    // The filter pane's values that stopped matching the selected preset.
    void setCustomValues(const FilterSettings& values);

    // `index` when it names an entry in use, else 0 (the first preset).
    int indexOrFirst(int index) const;

    // The entry a command line names, by exact name, then by name ignoring
    // case, then by index. -1 when none matches; `error` then says why.
    int lookUp(QStringView nameOrIndex, QString* error = nullptr) const;

    // A batch job's parameters from entry `index`; an index outside the
    // entries in use stands for entry 0.
    void deriveParams(int index, FilterParams& params) const;

    // Why a user preset cannot be saved under `name`, or empty when it can:
    // an empty name, the name of a built-in preset, or a full table (a name
    // already among the user's presets is replaced, so it never fills one).
    QString userPresetRefusal(const QString& name) const;
    // Index of the user's preset named exactly `name`, or -1.
    int userIndexOf(const QString& name) const;
    // Stores `values` as the user's preset `name` in the "FilterSettings"
    // section and in the table (a preset of that name is replaced in place,
    // a new one goes last). The table changes only once the store has saved
    // it, so a failed save leaves both as they were. Returns the entry's
    // index, or -1 with the reason in `error`.
    int saveUserPreset(
        SettingsStore& store, const QString& name, const FilterSettings& values, QString* error);
    // Removes the user's preset at `index` (kBuiltInCount or more) from the
    // store and the table; the entries after it move up by one. False, with
    // nothing removed, when `index` is no user preset or the store fails.
    bool deleteUserPreset(SettingsStore& store, int index, QString* error);

private:
    void addBuiltIns();
    bool loadUserPresets(const SettingsStore& store, QStringList* notes);

    std::vector<Preset> m_entries;
};

} // namespace calmora

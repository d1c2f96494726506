#include "settings/presets.h"

#include "settings/derive_params.h"
#include "settings/settings_store.h"

namespace calmora {

namespace {

// Only the values that differ between the built-in presets; every other value
// is its neutral one (crFactor and cbFactor stay 20 in all of them).
struct BuiltIn {
    const char* name;
    int32_t degree;
    int32_t lumaLevel;
    int32_t colorLevel;
    int32_t freqLevel[4];
    int32_t sharpening;
    int32_t lumaSuppression;
    int32_t colorSuppression;
    int32_t freqSuppression[4];
    PresetIcon icon;
};

constexpr BuiltIn kBuiltIns[PresetTable::kBuiltInCount] = {
    { "Default", 0, 0, 0, { 0, 0, 0, 0 }, 0, 14, 16, { 20, 20, 20, 20 }, kIconGeneral },
    { "Landscape", 3, 0, 0, { 0, -2, -4, -10 }, -2, 16, 18, { 12, 16, 18, 18 }, kIconLandscape },
    { "Night Scene", 0, 0, 0, { 0, 2, 4, 10 }, 0, 16, 18, { 12, 18, 20, 20 }, kIconNightScene },
    { "Portrait", 1, 0, 6, { 0, -2, -4, -10 }, -2, 18, 18, { 14, 18, 20, 20 }, kIconPortrait },
    { "Film Grain Effect", 0, 0, 0, { 0, 0, 0, 0 }, 0, 18, 20, { 8, 16, 20, 20 }, kIconFilmGrain },
    { "Stronger noise", 0, 4, 4, { 0, 0, 0, 0 }, 0, 14, 16, { 20, 20, 20, 20 }, kIconGeneral },
    { "Stronger luma noise", 0, 8, 2, { 0, 0, 0, 0 }, 0, 14, 16, { 20, 20, 20, 20 }, kIconGeneral },
    { "Stronger color noise", 0, 2, 8, { 0, 0, 0, 0 }, 0, 14, 16, { 20, 20, 20, 20 },
        kIconGeneral },
    { "Weaker noise", 0, -4, -4, { 0, 0, 0, 0 }, 0, 14, 16, { 20, 20, 20, 20 }, kIconGeneral },
    { "Full suppression", 1, 0, 0, { 0, 0, 0, 0 }, 0, 20, 20, { 20, 20, 20, 20 }, kIconFull },
    { "Full (stronger noise)", 1, 4, 4, { 0, 0, 0, 0 }, 0, 20, 20, { 20, 20, 20, 20 }, kIconFull },
    { "Full (stronger luma)", 1, 8, 2, { 0, 0, 0, 0 }, 0, 20, 20, { 20, 20, 20, 20 }, kIconFull },
    { "Full (stronger color)", 1, 2, 8, { 0, 0, 0, 0 }, 0, 20, 20, { 20, 20, 20, 20 }, kIconFull },
    { "Full (weaker noise)", 1, -4, -4, { 0, 0, 0, 0 }, 0, 20, 20, { 20, 20, 20, 20 }, kIconFull },
    { "Custom", 0, 0, 0, { 0, 0, 0, 0 }, 0, 20, 20, { 20, 20, 20, 20 }, kIconGeneral },
};

Preset toPreset(const BuiltIn& row)
{
    Preset preset;
    preset.name = QString::fromLatin1(row.name);
    FilterSettings& v = preset.values;
    v.degree = row.degree;
    v.lumaLevel = row.lumaLevel;
    v.colorLevel = row.colorLevel;
    v.sharpening = row.sharpening;
    v.lumaSuppression = row.lumaSuppression;
    v.colorSuppression = row.colorSuppression;
    for (int b = 0; b < 4; ++b) {
        v.freqLevel[b] = row.freqLevel[b];
        v.freqSuppression[b] = row.freqSuppression[b];
    }
    preset.icon = row.icon;
    return preset;
}

} // namespace

PresetTable::PresetTable()
{
    addBuiltIns();
}

void PresetTable::addBuiltIns()
{
    m_entries.clear();
    m_entries.reserve(kMaxCount);
    for (const BuiltIn& row : kBuiltIns)
        m_entries.push_back(toPreset(row));
}

bool PresetTable::initialise(const SettingsStore& store, QStringList* notes)
{
    addBuiltIns();
    return loadUserPresets(store, notes);
}

// Values are taken in the store's order until the table is full. A value
// that cannot be a preset (not bytes, or fewer than the 64 bytes of sixteen
// values) is skipped rather than ending the loading, so one damaged value
// never costs the user the presets stored after it; a value outside its
// field's range takes the field's neutral value.
bool PresetTable::loadUserPresets(const SettingsStore& store, QStringList* notes)
{
    const std::optional<QStringList> names = store.valueNames(kFilterSettingsSection);
    if (!names)
        return false;
    for (const QString& name : *names) {
        if (count() >= kMaxCount) {
            if (notes)
                *notes << QStringLiteral("Filter setting \"%1\" was not loaded: at most %2 "
                                         "presets fit in the list.")
                              .arg(name)
                              .arg(kMaxCount);
            continue;
        }
        const std::optional<QByteArray> data = store.readBinary(kFilterSettingsSection, name);
        if (!data) {
            if (notes)
                *notes << QStringLiteral("Filter setting \"%1\" was skipped: it holds no "
                                         "binary data.")
                              .arg(name);
            continue;
        }
        std::optional<FilterSettings> values = decodeFilterSettings(*data);
        if (!values) {
            if (notes)
                *notes << QStringLiteral("Filter setting \"%1\" was skipped: it holds %2 bytes, "
                                         "not the %3 of sixteen values.")
                              .arg(name)
                              .arg(data->size())
                              .arg(sizeof(FilterSettings));
            continue;
        }
        const QStringList repaired = sanitiseFilterSettings(*values);
        if (!repaired.isEmpty() && notes)
            *notes << QStringLiteral("Filter setting \"%1\": out-of-range values reset to "
                                     "neutral: %2.")
                          .arg(name, repaired.join(QStringLiteral(", ")));
        m_entries.push_back(Preset { name, *values, kIconUser });
    }
    return true;
}

const Preset& PresetTable::at(int index) const
{
    Q_ASSERT(index >= 0 && index < count());
    return m_entries[static_cast<size_t>(index)];
}

void PresetTable::setCustomValues(const FilterSettings& values)
{
    m_entries[kCustomIndex].values = values;
}

int PresetTable::indexOrFirst(int index) const
{
    return index >= 0 && index < count() ? index : 0;
}

int PresetTable::lookUp(QStringView nameOrIndex, QString* error) const
{
    for (int i = 0; i < count(); ++i) {
        if (nameOrIndex == m_entries[static_cast<size_t>(i)].name)
            return i;
    }
    for (int i = 0; i < count(); ++i) {
        if (nameOrIndex.compare(m_entries[static_cast<size_t>(i)].name, Qt::CaseInsensitive) == 0)
            return i;
    }
    bool isNumber = false;
    const int index = nameOrIndex.toInt(&isNumber);
    if (isNumber && index >= 0 && index < count())
        return index;
    if (error)
        *error
            = QStringLiteral("No preset is named \"%1\", nor is it a preset number from 0 to %2.")
                  .arg(nameOrIndex.toString())
                  .arg(count() - 1);
    return -1;
}

void PresetTable::deriveParams(int index, FilterParams& params) const
{
    derivePresetParams(at(indexOrFirst(index)).values, params);
}

int PresetTable::userIndexOf(const QString& name) const
{
    for (int i = kBuiltInCount; i < count(); ++i) {
        if (m_entries[static_cast<size_t>(i)].name == name)
            return i;
    }
    return -1;
}

QString PresetTable::userPresetRefusal(const QString& name) const
{
    if (name.trimmed().isEmpty())
        return QStringLiteral("Please enter a name for the preset.");
    // A built-in name would leave two entries that look the same, and the
    // command line's look-up by name would find the built-in one.
    for (int i = 0; i < kBuiltInCount; ++i) {
        if (m_entries[static_cast<size_t>(i)].name.compare(name, Qt::CaseInsensitive) == 0)
            return QStringLiteral("\"%1\" is the name of a built-in preset. Please choose another "
                                  "name.")
                .arg(name);
    }
    if (userIndexOf(name) < 0 && count() >= kMaxCount)
        return QStringLiteral("At most %1 presets fit in the list. Please delete one of your "
                              "presets first.")
            .arg(kMaxCount);
    return {};
}

int PresetTable::saveUserPreset(
    SettingsStore& store, const QString& name, const FilterSettings& values, QString* error)
{
    const QString refusal = userPresetRefusal(name);
    if (!refusal.isEmpty()) {
        if (error)
            *error = refusal;
        return -1;
    }
    int index = userIndexOf(name);
    store.writeBinary(kFilterSettingsSection, name, encodeFilterSettings(values));
    if (!store.flush()) {
        if (error)
            *error = QStringLiteral("The preset could not be saved: %1").arg(store.errorString());
        // The write stays pending in the store; taken back, a later flush of
        // the options cannot save a preset the table does not show.
        if (index < 0)
            store.remove(kFilterSettingsSection, name);
        else
            store.writeBinary(kFilterSettingsSection, name,
                encodeFilterSettings(m_entries[static_cast<size_t>(index)].values));
        return -1;
    }
    if (index < 0) {
        m_entries.push_back(Preset { name, values, kIconUser });
        index = count() - 1;
    } else {
        m_entries[static_cast<size_t>(index)].values = values;
    }
    return index;
}

bool PresetTable::deleteUserPreset(SettingsStore& store, int index, QString* error)
{
    if (index < kBuiltInCount || index >= count()) {
        if (error)
            *error = QStringLiteral("Only your own presets can be deleted.");
        return false;
    }
    const Preset& preset = m_entries[static_cast<size_t>(index)];
    store.remove(kFilterSettingsSection, preset.name);
    if (!store.flush()) {
        if (error)
            *error
                = QStringLiteral("The preset could not be deleted: %1").arg(store.errorString());
        store.writeBinary(kFilterSettingsSection, preset.name, encodeFilterSettings(preset.values));
        return false;
    }
    m_entries.erase(m_entries.begin() + index);
    return true;
}

} // namespace calmora

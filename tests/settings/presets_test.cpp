#include "settings/derive_params.h"
#include "settings/memory_settings_store.h"
#include "settings/presets.h"

#include <gtest/gtest.h>

#include <cstring>

namespace calmora {
namespace {

QByteArray presetBytes(std::initializer_list<int32_t> values)
{
    FilterSettings settings;
    int i = 0;
    for (const int32_t value : values)
        fieldAt(settings, i++) = value;
    return encodeFilterSettings(settings);
}

TEST(PresetTableTest, BuiltInPresets)
{
    struct Row {
        const char* name;
        int32_t icon;
    };
    const Row rows[] = {
        { "Default", 0 },
        { "Landscape", 1 },
        { "Night Scene", 2 },
        { "Portrait", 3 },
        { "Film Grain Effect", 6 },
        { "Stronger noise", 0 },
        { "Stronger luma noise", 0 },
        { "Stronger color noise", 0 },
        { "Weaker noise", 0 },
        { "Full suppression", 4 },
        { "Full (stronger noise)", 4 },
        { "Full (stronger luma)", 4 },
        { "Full (stronger color)", 4 },
        { "Full (weaker noise)", 4 },
        { "Custom", 0 },
    };
    const PresetTable table;
    ASSERT_EQ(table.count(), 15);
    for (int i = 0; i < table.count(); ++i) {
        SCOPED_TRACE(rows[i].name);
        EXPECT_EQ(table.at(i).name, QString::fromLatin1(rows[i].name));
        EXPECT_EQ(table.at(i).icon, rows[i].icon);
        EXPECT_EQ(table.at(i).values.crFactor, 20);
        EXPECT_EQ(table.at(i).values.cbFactor, 20);
        FilterSettings values = table.at(i).values;
        EXPECT_TRUE(sanitiseFilterSettings(values).isEmpty())
            << "every built-in value lies in its field's range";
    }
    EXPECT_EQ(table.at(PresetTable::kCustomIndex).name, "Custom");
    EXPECT_EQ(table.at(PresetTable::kCustomIndex).values, FilterSettings {});

    const FilterSettings& portrait = table.at(3).values;
    EXPECT_EQ(portrait.degree, 1);
    EXPECT_EQ(portrait.colorLevel, 6);
    EXPECT_EQ(portrait.freqLevel[3], -10);
    EXPECT_EQ(portrait.freqSuppression[0], 14);
    const FilterSettings& filmGrain = table.at(4).values;
    EXPECT_EQ(filmGrain.freqSuppression[0], 8);
    EXPECT_EQ(filmGrain.colorSuppression, 20);
}

TEST(PresetTableTest, EmptySectionKeepsTheBuiltInPresets)
{
    MemorySettingsStore store;
    PresetTable table;
    EXPECT_TRUE(table.initialise(store));
    EXPECT_EQ(table.count(), 15);
    EXPECT_EQ(table.at(table.count() - 1).name, "Custom");
}

TEST(PresetTableTest, UnreadableStoreKeepsTheBuiltInPresets)
{
    MemorySettingsStore store;
    store.writeBinary(kFilterSettingsSection, "Mine", presetBytes({ 1 }));
    store.setAvailable(false);
    PresetTable table;
    EXPECT_FALSE(table.initialise(store));
    EXPECT_EQ(table.count(), 15);
}

TEST(PresetTableTest, UserPresetBecomesEntryFifteen)
{
    MemorySettingsStore store;
    store.writeBinary(kFilterSettingsSection, "My preset",
        presetBytes({ 0, 4, 4, 0, 0, 0, 0, 1, 20, 20, 14, 16, 20, 20, 20, 20 }));
    PresetTable table;
    ASSERT_TRUE(table.initialise(store));
    ASSERT_EQ(table.count(), 16);
    const Preset& preset = table.at(15);
    EXPECT_EQ(preset.name, "My preset");
    EXPECT_EQ(preset.icon, kIconUser);
    EXPECT_EQ(preset.values.lumaLevel, 4);
    EXPECT_EQ(preset.values.colorSuppression, 16);
    FilterParams params;
    table.deriveParams(15, params);
    EXPECT_EQ(params.sharpenAmount, 6);
}

TEST(PresetTableTest, AtMostTwentyFiveUserPresetsInStoreOrder)
{
    MemorySettingsStore store;
    for (int i = 0; i < 30; ++i)
        store.writeBinary(kFilterSettingsSection, QStringLiteral("User %1").arg(29 - i),
            presetBytes({ 0, i - 20 }));
    PresetTable table;
    QStringList notes;
    ASSERT_TRUE(table.initialise(store, &notes));
    ASSERT_EQ(table.count(), PresetTable::kMaxCount);
    for (int i = 0; i < 25; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(table.at(15 + i).name, QStringLiteral("User %1").arg(29 - i));
        EXPECT_EQ(table.at(15 + i).values.lumaLevel, i - 20);
    }
    EXPECT_EQ(notes.size(), 5) << notes.join('\n').toStdString();
}

TEST(PresetTableTest, UnusableValuesAreSkippedWithoutLosingLaterOnes)
{
    struct Row {
        const char* name;
        QVariant value;
        const char* noteMentions;
    };
    const Row rows[] = {
        { "one byte short", QVariant(presetBytes({ 1 }).left(63)), "63 bytes" },
        { "no data at all", QVariant(QByteArray()), "0 bytes" },
        { "text instead of bytes", QVariant(QString(70, u'x')), "no binary data" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        MemorySettingsStore store;
        store.writeBinary(kFilterSettingsSection, "Before", presetBytes({ 1 }));
        store.writeRaw(kFilterSettingsSection, "Broken", row.value);
        store.writeBinary(kFilterSettingsSection, "After", presetBytes({ 2 }) + "trailing bytes");
        PresetTable table;
        QStringList notes;
        ASSERT_TRUE(table.initialise(store, &notes));
        ASSERT_EQ(table.count(), 17);
        EXPECT_EQ(table.at(15).name, "Before");
        EXPECT_EQ(table.at(16).name, "After");
        EXPECT_EQ(table.at(16).values.degree, 2);
        ASSERT_EQ(notes.size(), 1);
        EXPECT_TRUE(notes[0].contains("\"Broken\"")) << notes[0].toStdString();
        EXPECT_TRUE(notes[0].contains(QString::fromLatin1(row.noteMentions)))
            << notes[0].toStdString();
    }
}

TEST(PresetTableTest, OutOfRangeStoredValuesTakeTheirNeutralValue)
{
    MemorySettingsStore store;
    store.writeBinary(kFilterSettingsSection, "Odd",
        presetBytes({ 9, 4, 4, 0, 0, 0, 0, 1, 20, 20, -3, 16, 20, 20, 20, 20 }));
    PresetTable table;
    QStringList notes;
    ASSERT_TRUE(table.initialise(store, &notes));
    ASSERT_EQ(table.count(), 16);
    const FilterSettings& values = table.at(15).values;
    EXPECT_EQ(values.degree, 0);
    EXPECT_EQ(values.lumaSuppression, 20);
    EXPECT_EQ(values.lumaLevel, 4) << "fields in range are kept";
    ASSERT_EQ(notes.size(), 1);
    EXPECT_TRUE(notes[0].contains("degree, lumaSuppression")) << notes[0].toStdString();
}

TEST(PresetTableTest, InitialisingAgainStartsOver)
{
    MemorySettingsStore store;
    store.writeBinary(kFilterSettingsSection, "Mine", presetBytes({ 1 }));
    PresetTable table;
    FilterSettings custom;
    custom.lumaLevel = 12;
    table.setCustomValues(custom);
    EXPECT_EQ(table.at(PresetTable::kCustomIndex).values, custom);
    ASSERT_TRUE(table.initialise(store));
    ASSERT_TRUE(table.initialise(store));
    EXPECT_EQ(table.count(), 16);
    EXPECT_EQ(table.at(PresetTable::kCustomIndex).values, FilterSettings {});
}

TEST(PresetTableTest, LookUpByNameOrIndex)
{
    MemorySettingsStore store;
    store.writeBinary(kFilterSettingsSection, "7", presetBytes({ 1 }));
    store.writeBinary(kFilterSettingsSection, "landscape", presetBytes({ 2 }));
    PresetTable table;
    ASSERT_TRUE(table.initialise(store));
    struct Row {
        const char* text;
        int index;
    };
    const Row rows[] = {
        { "Landscape", 1 },
        { "landscape", 16 }, // an exact name beats a match ignoring case
        { "NIGHT SCENE", 2 },
        { "Custom", 14 },
        { "0", 0 },
        { "16", 16 },
        { "7", 15 }, // a name beats an index
        { "17", -1 },
        { "-1", -1 },
        { "", -1 },
        { "Landscape ", -1 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        QString error;
        EXPECT_EQ(table.lookUp(QString::fromLatin1(row.text), &error), row.index);
        EXPECT_EQ(error.isEmpty(), row.index >= 0);
        if (row.index < 0) {
            EXPECT_TRUE(error.contains("0 to 16")) << error.toStdString();
        }
    }
}

TEST(PresetTableTest, PresetDerivationOfAnIndexOutsideTheTableUsesTheFirst)
{
    const PresetTable table;
    FilterParams first;
    table.deriveParams(0, first);
    for (const int index : { -1, 15, 40, 1000 }) {
        SCOPED_TRACE(index);
        FilterParams params;
        table.deriveParams(1, params); // something else first
        table.deriveParams(index, params);
        EXPECT_EQ(std::memcmp(&params, &first, sizeof params), 0);
    }
}

// Saving and deleting the user's presets: what the table and the store hold
// afterwards, and that a table read again from the store is the same.
struct UserPresetRow {
    const char* name;
    int storedBefore; // user presets already in the store
    QString saveAs;
    bool storeFails;
    int expectedIndex; // -1: refused
    int expectedCount;
};

class UserPresetSaveTest : public ::testing::TestWithParam<UserPresetRow> { };

TEST_P(UserPresetSaveTest, TableAndStoreAgree)
{
    const UserPresetRow& row = GetParam();
    MemorySettingsStore store;
    for (int i = 0; i < row.storedBefore; ++i)
        store.writeBinary(kFilterSettingsSection, QStringLiteral("Mine %1").arg(i),
            presetBytes({ 0, i }));
    PresetTable table;
    ASSERT_TRUE(table.initialise(store));
    store.setAvailable(!row.storeFails);
    FilterSettings values;
    values.lumaLevel = 7;
    values.sharpening = -3;
    QString error;
    const int index = table.saveUserPreset(store, row.saveAs, values, &error);
    EXPECT_EQ(index, row.expectedIndex) << error.toStdString();
    EXPECT_EQ(index < 0, !error.isEmpty());
    EXPECT_EQ(table.count(), row.expectedCount);
    if (index >= 0) {
        EXPECT_EQ(table.at(index).name, row.saveAs);
        EXPECT_EQ(table.at(index).values, values);
        EXPECT_EQ(table.at(index).icon, kIconUser);
    }
    store.setAvailable(true);
    PresetTable again;
    ASSERT_TRUE(again.initialise(store));
    ASSERT_EQ(again.count(), table.count());
    for (int i = 0; i < table.count(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(again.at(i).name, table.at(i).name);
        EXPECT_EQ(again.at(i).values, table.at(i).values);
    }
}

INSTANTIATE_TEST_SUITE_P(PresetTable, UserPresetSaveTest,
    ::testing::Values(UserPresetRow { "FirstOne", 0, "Evening", false, 15, 16 },
        UserPresetRow { "AfterTheOthers", 3, "Evening", false, 18, 19 },
        UserPresetRow { "SameNameReplacedInPlace", 3, "Mine 1", false, 16, 18 },
        UserPresetRow { "LastPlaceInTheTable", 24, "Evening", false, 39, 40 },
        UserPresetRow { "FullTableRefuses", 25, "Evening", false, -1, 40 },
        UserPresetRow { "FullTableStillReplaces", 25, "Mine 4", false, 19, 40 },
        UserPresetRow { "BuiltInNameRefused", 0, "landscape", false, -1, 15 },
        UserPresetRow { "EmptyNameRefused", 0, "  ", false, -1, 15 },
        UserPresetRow { "FailedStoreKeepsTable", 2, "Evening", true, -1, 17 }),
    [](const ::testing::TestParamInfo<UserPresetRow>& info) { return info.param.name; });

TEST(PresetTableTest, DeletingAUserPresetMovesTheLaterOnesUp)
{
    MemorySettingsStore store;
    for (int i = 0; i < 3; ++i)
        store.writeBinary(kFilterSettingsSection, QStringLiteral("Mine %1").arg(i),
            presetBytes({ 0, i }));
    PresetTable table;
    ASSERT_TRUE(table.initialise(store));
    QString error;
    for (const int index : { -1, 0, PresetTable::kCustomIndex, 18 }) {
        SCOPED_TRACE(index);
        EXPECT_FALSE(table.deleteUserPreset(store, index, &error));
        EXPECT_EQ(table.count(), 18);
    }
    store.setAvailable(false);
    EXPECT_FALSE(table.deleteUserPreset(store, 16, &error));
    EXPECT_EQ(table.count(), 18);
    store.setAvailable(true);
    ASSERT_TRUE(table.deleteUserPreset(store, 16, &error)) << error.toStdString();
    ASSERT_EQ(table.count(), 17);
    EXPECT_EQ(table.at(16).name, "Mine 2");
    EXPECT_EQ(table.at(16).values.lumaLevel, 2);
    EXPECT_FALSE(store.contains(kFilterSettingsSection, "Mine 1"));
    PresetTable again;
    ASSERT_TRUE(again.initialise(store));
    ASSERT_EQ(again.count(), 17);
    EXPECT_EQ(again.at(15).name, "Mine 0");
    EXPECT_EQ(again.at(16).name, "Mine 2");
}

} // namespace
} // namespace calmora

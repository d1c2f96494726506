#include "settings/memory_settings_store.h"
#include "settings/options.h"

#include <QStandardPaths>

#include <gtest/gtest.h>

#include <functional>

namespace calmora {
namespace {

int32_t storedInt(const QByteArray& bytes, int offset)
{
    return static_cast<int32_t>(static_cast<uint8_t>(bytes[offset])
        | static_cast<uint32_t>(static_cast<uint8_t>(bytes[offset + 1])) << 8
        | static_cast<uint32_t>(static_cast<uint8_t>(bytes[offset + 2])) << 16
        | static_cast<uint32_t>(static_cast<uint8_t>(bytes[offset + 3])) << 24);
}

void putInt(QByteArray& bytes, int offset, int32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<char>(static_cast<uint32_t>(value) >> (8 * i));
}

// What a foreign writer would do after editing a value: make the sum right.
void reseal(QByteArray& bytes, int checksumBytes)
{
    uint32_t sum = 0;
    for (int i = 4; i < 4 + checksumBytes; ++i)
        sum += static_cast<uint8_t>(bytes[i]);
    putInt(bytes, 0, static_cast<int32_t>(sum));
}

struct GroupKind {
    const char* name;
    int size;
    int checksumBytes;
    QByteArray defaults;
    std::function<bool(const QByteArray&)> decodes;
};

std::vector<GroupKind> groupKinds()
{
    return {
        { "Settings", 96, 89, encodeSettingsGroup({}),
            [](const QByteArray& b) { return decodeSettingsGroup(b).has_value(); } },
        { "Settings2", 48, 44, encodeSettings2Group({}),
            [](const QByteArray& b) { return decodeSettings2Group(b).has_value(); } },
        { "Settings3", 44, 40, encodeSettings3Group({}),
            [](const QByteArray& b) { return decodeSettings3Group(b).has_value(); } },
    };
}

// Options that differ from the defaults in every group.
Options changedOptions()
{
    Options options;
    options.settings.showOpenDialogOnStartup = 1;
    options.settings.defaultZoom = 200;
    options.settings.defaultSuffix = QStringLiteral("_clean");
    options.settings.jpegQuality = 75;
    options.settings.previewDelay = 10;
    options.settings.defaultPreset = 16;
    options.settings.reserved84 = -7;
    options.settings2.tiffDepth = 1;
    options.settings2.filterPaneVisible = 1;
    options.settings2.paneSection = 2;
    options.settings2.selfLearning = 0;
    options.settings2.iccHandling = 2;
    options.settings3.recentCount = 3;
    options.settings3.hidePreviewInfo = 1;
    options.settings3.batchPriority = 1;
    options.settings3.reserved36 = 123456;
    options.profileFolder = QStringLiteral("/data/profiles");
    return options;
}

TEST(OptionsTest, DefaultGroupLayouts)
{
    struct Row {
        int offset;
        int32_t value;
    };
    const std::vector<std::vector<Row>> layouts = {
        { { 4, 0 }, { 8, 1 }, { 12, 0 }, { 16, 1 }, { 20, 1 }, { 48, 90 }, { 52, 0 }, { 56, 1 },
            { 60, 1 }, { 64, 100 }, { 68, 1 }, { 72, 1 }, { 76, 0 }, { 80, 2 }, { 84, 2 },
            { 88, 2 }, { 92, 0 } },
        { { 4, 0 }, { 8, 0 }, { 12, 0 }, { 16, 0 }, { 20, 0 }, { 24, 1 }, { 28, 0 }, { 32, 1 },
            { 36, 1 }, { 40, 1 }, { 44, 0 } },
        { { 4, 5 }, { 8, 1 }, { 12, 1 }, { 16, 0 }, { 20, 0 }, { 24, 0 }, { 28, 0 }, { 32, 0 },
            { 36, 0 }, { 40, 0 } },
    };
    const std::vector<GroupKind> kinds = groupKinds();
    for (size_t g = 0; g < kinds.size(); ++g) {
        SCOPED_TRACE(kinds[g].name);
        const QByteArray& bytes = kinds[g].defaults;
        ASSERT_EQ(bytes.size(), kinds[g].size);
        for (const Row& row : layouts[g])
            EXPECT_EQ(storedInt(bytes, row.offset), row.value) << "offset " << row.offset;
        uint32_t sum = 0;
        for (int i = 4; i < 4 + kinds[g].checksumBytes; ++i)
            sum += static_cast<uint8_t>(bytes[i]);
        EXPECT_EQ(static_cast<uint32_t>(storedInt(bytes, 0)), sum);
    }
    const QByteArray suffixField = kinds[0].defaults.mid(24, 24);
    EXPECT_EQ(suffixField, QByteArray("_filtered") + QByteArray(15, '\0'))
        << "21 bytes of zero-terminated text and 3 bytes of padding";
}

TEST(OptionsTest, ChecksumCoversExactlyItsRange)
{
    for (const GroupKind& kind : groupKinds()) {
        SCOPED_TRACE(kind.name);
        ASSERT_TRUE(kind.decodes(kind.defaults));
        for (int offset = 0; offset < kind.size; ++offset) {
            SCOPED_TRACE(testing::Message() << "byte " << offset);
            QByteArray changed = kind.defaults;
            changed[offset] = static_cast<char>(changed[offset] + 1);
            const bool covered = offset < 4 + kind.checksumBytes;
            EXPECT_EQ(kind.decodes(changed), !covered);
        }
    }
}

TEST(OptionsTest, WrongSizesAndSumsAreDamage)
{
    for (const GroupKind& kind : groupKinds()) {
        SCOPED_TRACE(kind.name);
        QByteArray sumPlusOne = kind.defaults;
        putInt(sumPlusOne, 0, storedInt(sumPlusOne, 0) + 1);
        QByteArray sumMinusOne = kind.defaults;
        putInt(sumMinusOne, 0, storedInt(sumMinusOne, 0) - 1);
        EXPECT_FALSE(kind.decodes(kind.defaults.left(kind.size - 1)));
        EXPECT_FALSE(kind.decodes(kind.defaults + '\0'));
        EXPECT_FALSE(kind.decodes(QByteArray()));
        EXPECT_FALSE(kind.decodes(sumPlusOne));
        EXPECT_FALSE(kind.decodes(sumMinusOne));
    }
}

TEST(OptionsTest, StoredDefaultPresetDecoding)
{
    struct Row {
        int32_t stored;
        int32_t loaded;
        bool noted;
    };
    const Row rows[] = {
        { 103, 3, false },
        { 2, 3, false },
        { 0, 1, false },
        { 100, 0, false },
        { 139, 39, false },
        { -1, 0, false },
        // Outside the table's 40 entries: back to the first preset, noted.
        { 140, 0, true },
        { 99, 0, true },
        { -2, 0, true },
        { std::numeric_limits<int32_t>::max(), 0, true },
        { std::numeric_limits<int32_t>::min(), 0, true },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.stored);
        QByteArray bytes = encodeSettingsGroup({});
        putInt(bytes, 64, row.stored);
        reseal(bytes, kSettingsChecksumBytes);
        QStringList notes;
        const std::optional<SettingsGroup> group = decodeSettingsGroup(bytes, &notes);
        ASSERT_TRUE(group);
        EXPECT_EQ(group->defaultPreset, row.loaded);
        EXPECT_EQ(notes.size(), row.noted ? 1 : 0);
    }
}

TEST(OptionsTest, SavingAddsOneHundredToTheDefaultPreset)
{
    for (const int32_t index : { 0, 14, 39 }) {
        SCOPED_TRACE(index);
        MemorySettingsStore store;
        Options options;
        options.settings.defaultPreset = index;
        ASSERT_TRUE(saveOptions(store, options));
        EXPECT_EQ(options.settings.defaultPreset, index) << "the encoding stays out of memory";
        const QByteArray stored = store.raw(kOptionsSection, "Settings").toByteArray();
        EXPECT_EQ(storedInt(stored, 64), index + 100);
        Options loaded;
        loadOptions(store, loaded);
        EXPECT_EQ(loaded.settings.defaultPreset, index);
    }
}

TEST(OptionsTest, OutOfRangeFieldsTakeTheirDefaultAlone)
{
    using Access = int32_t& (*)(Options&);
    struct Row {
        const char* name;
        int group; // 0..2
        int offset;
        int32_t stored;
        Access field;
        int32_t loaded;
    };
    const Row rows[] = {
        { "JPEG quality", 0, 48, 101, [](Options& o) -> int32_t& { return o.settings.jpegQuality; },
            90 },
        { "preview delay", 0, 60, 0, [](Options& o) -> int32_t& { return o.settings.previewDelay; },
            1 },
        { "zoom", 0, 12, 30, [](Options& o) -> int32_t& { return o.settings.defaultZoom; }, 0 },
        { "flag", 0, 52, 2, [](Options& o) -> int32_t& { return o.settings.autoPreview; }, 0 },
        { "pane section", 1, 20, 3, [](Options& o) -> int32_t& { return o.settings2.paneSection; },
            0 },
        { "TIFF depth", 1, 8, 2, [](Options& o) -> int32_t& { return o.settings2.tiffDepth; }, 0 },
        { "ICC handling", 1, 44, -1, [](Options& o) -> int32_t& { return o.settings2.iccHandling; },
            0 },
        { "recent count", 2, 4, 11, [](Options& o) -> int32_t& { return o.settings3.recentCount; },
            5 },
        { "batch priority", 2, 20, 2,
            [](Options& o) -> int32_t& { return o.settings3.batchPriority; }, 0 },
    };
    const char* names[] = { "Settings", "Settings2", "Settings3" };
    const int checksumBytes[] = { 89, 44, 40 };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        MemorySettingsStore store;
        const Options saved = changedOptions();
        ASSERT_TRUE(saveOptions(store, saved));
        QByteArray bytes = store.raw(kOptionsSection, names[row.group]).toByteArray();
        putInt(bytes, row.offset, row.stored);
        reseal(bytes, checksumBytes[row.group]);
        store.writeBinary(kOptionsSection, names[row.group], bytes);

        Options loaded;
        const QStringList notes = loadOptions(store, loaded);
        EXPECT_EQ(notes.size(), 1) << notes.join('\n').toStdString();
        Options expected = saved;
        row.field(expected) = row.loaded;
        EXPECT_EQ(loaded.settings, expected.settings);
        EXPECT_EQ(loaded.settings2, expected.settings2);
        EXPECT_EQ(loaded.settings3, expected.settings3);
    }
}

TEST(OptionsTest, DefaultSuffix)
{
    struct Row {
        const char* name;
        QByteArray field; // the 21 stored bytes
        QString loaded;
    };
    const Row rows[] = {
        { "twenty characters", QByteArray("_abcdefghijklmnopqrs") + '\0', "_abcdefghijklmnopqrs" },
        { "empty", QByteArray(21, '\0'), "" },
        { "UTF-8", QByteArray("_\xC3\xA9t\xC3\xA9") + QByteArray(15, '\0'),
            QString::fromUtf8("_été") },
        { "no terminator", QByteArray(21, 'x'), "_filtered" },
        { "a folder separator", QByteArray("/x") + QByteArray(19, '\0'), "_filtered" },
        { "a control character", QByteArray("\t_x") + QByteArray(18, '\0'), "_filtered" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(row.field.size(), 21);
        QByteArray bytes = encodeSettingsGroup({});
        bytes.replace(24, 21, row.field);
        reseal(bytes, kSettingsChecksumBytes);
        const std::optional<SettingsGroup> group = decodeSettingsGroup(bytes);
        ASSERT_TRUE(group);
        EXPECT_EQ(group->defaultSuffix, row.loaded);
    }

    // A long text is cut to 20 bytes without splitting a character.
    SettingsGroup group;
    group.defaultSuffix = QString(9, u'x') + QString(6, QChar(0xE9));
    const std::optional<SettingsGroup> decoded = decodeSettingsGroup(encodeSettingsGroup(group));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->defaultSuffix, QString(9, u'x') + QString(5, QChar(0xE9)));
}

TEST(OptionsTest, FirstStart)
{
    QStandardPaths::setTestModeEnabled(true);
    MemorySettingsStore store;
    Options options;
    const QStringList notes = loadOptions(store, options);
    EXPECT_TRUE(notes.isEmpty()) << "missing values are no damage";
    EXPECT_EQ(options.settings, SettingsGroup {});
    EXPECT_EQ(options.settings2, Settings2Group {});
    EXPECT_EQ(options.settings3, Settings3Group {});
    EXPECT_EQ(options.settings2.filterPaneVisible, 0);
    EXPECT_EQ(options.recentFolders, QStringList(5, QString()));

    EXPECT_EQ(options.profileFolder, defaultProfileFolder());
    EXPECT_EQ(store.raw(kOptionsSection, "Profile").toString(), options.profileFolder);
    EXPECT_EQ(store.flushCount(), 1) << "the profile folder is saved at once";
    EXPECT_FALSE(store.contains(kOptionsSection, "Settings")) << "nothing else is written";
}

TEST(OptionsTest, StoredProfileFolderIsKept)
{
    MemorySettingsStore store;
    store.writeText(kOptionsSection, "Profile", "/elsewhere/Profiles");
    Options options;
    loadOptions(store, options);
    EXPECT_EQ(options.profileFolder, "/elsewhere/Profiles");
    EXPECT_EQ(store.flushCount(), 0);

    // Bytes where text belongs count as no folder at all.
    store.writeBinary(kOptionsSection, "Profile", QByteArray("/bytes"));
    loadOptions(store, options);
    EXPECT_EQ(options.profileFolder, defaultProfileFolder());
    EXPECT_EQ(store.raw(kOptionsSection, "Profile").toString(), defaultProfileFolder());
}

TEST(OptionsTest, DefaultProfileFolderLiesInTheUsersDataFolder)
{
    QStandardPaths::setTestModeEnabled(true);
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    ASSERT_FALSE(data.isEmpty());
    EXPECT_EQ(defaultProfileFolder(), data + "/Brantovia/Calmora Community Edition/Profiles");

    struct Row {
        const char* base;
        const char* folder;
    };
    const Row rows[] = {
        { "/home/ann/data", "/home/ann/data/Profiles" },
        { "/home/ann/data/", "/home/ann/data/Profiles" },
        { "C:\\Data\\", "C:\\Data\\Profiles" },
    };
    for (const Row& row : rows)
        EXPECT_EQ(profilesFolderIn(row.base), row.folder) << row.base;
}

TEST(OptionsTest, RoundTripThroughTheStore)
{
    MemorySettingsStore store;
    Options saved = changedOptions();
    ASSERT_TRUE(saveOptions(store, saved));
    Options loaded;
    EXPECT_TRUE(loadOptions(store, loaded).isEmpty());
    EXPECT_EQ(loaded.settings, saved.settings);
    EXPECT_EQ(loaded.settings2, saved.settings2);
    EXPECT_EQ(loaded.settings3, saved.settings3);
    EXPECT_EQ(loaded.profileFolder, saved.profileFolder);
}

TEST(OptionsTest, DamagedGroupResetsOnlyItsOwnFields)
{
    struct Row {
        const char* name;
        void (*damage)(MemorySettingsStore&);
    };
    const Row rows[] = {
        { "Settings",
            [](MemorySettingsStore& s) {
                s.writeBinary(kOptionsSection, "Settings", QByteArray(96, '\1'));
            } },
        { "Settings2",
            [](MemorySettingsStore& s) {
                s.writeBinary(kOptionsSection, "Settings2", QByteArray(47, '\0'));
            } },
        { "Settings3",
            [](MemorySettingsStore& s) {
                s.writeText(kOptionsSection, "Settings3", QString(44, u'a'));
            } },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        MemorySettingsStore store;
        const Options saved = changedOptions();
        ASSERT_TRUE(saveOptions(store, saved));
        row.damage(store);

        Options loaded;
        loaded.settings2.tiffDepth = 1; // what a damaged Settings2 must keep
        const QStringList notes = loadOptions(store, loaded);
        ASSERT_EQ(notes.size(), 1);
        EXPECT_TRUE(notes[0].contains(QString::fromLatin1(row.name))) << notes[0].toStdString();

        const QString group = QString::fromLatin1(row.name);
        EXPECT_EQ(loaded.settings, group == "Settings" ? SettingsGroup {} : saved.settings);
        EXPECT_EQ(loaded.settings2,
            group == "Settings2" ? Settings2Group { .tiffDepth = 1 } : saved.settings2);
        EXPECT_EQ(loaded.settings3, group == "Settings3" ? Settings3Group {} : saved.settings3);
        EXPECT_EQ(loaded.profileFolder, saved.profileFolder);
    }
}

TEST(OptionsTest, DamagedSettings3MeansFiveFoldersInfoShownNormalPriority)
{
    MemorySettingsStore store;
    ASSERT_TRUE(saveOptions(store, changedOptions()));
    QByteArray bytes = store.raw(kOptionsSection, "Settings3").toByteArray();
    bytes[10] = static_cast<char>(bytes[10] ^ 1);
    store.writeBinary(kOptionsSection, "Settings3", bytes);
    Options loaded;
    loadOptions(store, loaded);
    EXPECT_EQ(loaded.settings3.recentCount, 5);
    EXPECT_EQ(loaded.settings3.hidePreviewInfo, 0);
    EXPECT_EQ(loaded.settings3.batchPriority, 0);
    EXPECT_EQ(loaded.recentFolders.size(), 5);
}

TEST(OptionsTest, RecentFolders)
{
    MemorySettingsStore store;
    Options options;
    options.settings3.recentCount = 3;
    options.recentFolders = QStringList { "/a", "", "/c", "/d", "/e" };
    ASSERT_TRUE(saveRecentFolders(store, options));
    EXPECT_EQ(store.flushCount(), 1);
    const char* expected[] = { "/a", "", "/c", "", "", "", "", "", "", "" };
    for (int i = 0; i < 10; ++i) {
        const QString name = QStringLiteral("Recent%1").arg(i + 1);
        SCOPED_TRACE(name.toStdString());
        ASSERT_TRUE(store.readText(kOptionsSection, name));
        EXPECT_EQ(*store.readText(kOptionsSection, name), expected[i]);
    }
    EXPECT_FALSE(store.contains(kOptionsSection, "Recent11"));
    EXPECT_FALSE(store.contains(kOptionsSection, "Recent0"));

    // Loading reads recentCount values, empty ones included.
    for (int i = 1; i <= 10; ++i)
        store.writeText(kOptionsSection, QStringLiteral("Recent%1").arg(i), QString::number(i));
    store.writeText(kOptionsSection, "Recent4", "");
    store.writeBinary(kOptionsSection, "Recent5", QByteArray("bytes"));
    options.settings3.recentCount = 7;
    ASSERT_TRUE(saveOptions(store, options));
    Options loaded;
    loadOptions(store, loaded);
    EXPECT_EQ(loaded.recentFolders, QStringList({ "1", "2", "3", "", "", "6", "7" }));
}

TEST(OptionsTest, SaveFailuresAreReported)
{
    MemorySettingsStore store;
    store.setAvailable(false);
    Options options;
    EXPECT_FALSE(saveOptions(store, options));
    EXPECT_FALSE(saveRecentFolders(store, options));
    EXPECT_FALSE(store.errorString().isEmpty());
    const QStringList notes = loadOptions(store, options);
    ASSERT_EQ(notes.size(), 1) << "writing back the profile folder failed";
    EXPECT_EQ(notes[0], store.errorString());
}

} // namespace
} // namespace calmora

#include "settings/batch_group.h"
#include "settings/memory_settings_store.h"
#include "settings/options.h"
#include "settings/settings_store.h"

#include <gtest/gtest.h>

#include <functional>

namespace calmora {
namespace {

void putInt(QByteArray& bytes, int offset, int32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<char>(static_cast<uint32_t>(value) >> (8 * i));
}

// What a foreign writer would do after editing a value: make the sum right.
void reseal(QByteArray& bytes)
{
    uint32_t sum = 0;
    for (int i = 4; i < bytes.size(); ++i)
        sum += static_cast<uint8_t>(bytes[i]);
    putInt(bytes, 0, static_cast<int32_t>(sum));
}

void putText(QByteArray& bytes, int offset, int fieldBytes, const QByteArray& text)
{
    bytes.replace(offset, fieldBytes, QByteArray(fieldBytes, '\0'));
    bytes.replace(offset, text.size(), text);
}

BatchGroup changedGroup()
{
    BatchGroup group;
    group.destinationMode = 2;
    group.format = 3;
    group.jpegQuality = 77;
    group.presetIndex = 4;
    group.includeSubfolders = 1;
    group.reserved24 = -9;
    group.suffix = QStringLiteral("_clean\u00e9");
    group.subfolder = QStringLiteral("Entrauscht");
    group.folder = QStringLiteral("/home/ana/Fotos/\u00dcberarbeitet");
    return group;
}

TEST(BatchGroup, EveryFieldRoundTrips)
{
    const BatchGroup group = changedGroup();
    QStringList notes;
    const std::optional<BatchGroup> back = decodeBatchGroup(encodeBatchGroup(group), &notes);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, group);
    EXPECT_TRUE(notes.isEmpty()) << notes.join('\n').toStdString();
    EXPECT_EQ(encodeBatchGroup(group).size(), kBatchGroupSize);
    EXPECT_EQ(decodeBatchGroup(encodeBatchGroup({})), BatchGroup {});
}

// A damaged value as a whole: the defaults, and a note.
TEST(BatchGroup, AWrongSizeOrSumGivesTheDefaults)
{
    struct Row {
        const char* name;
        std::function<void(QByteArray&)> damage;
    };
    const Row rows[] = {
        { "a byte short", [](QByteArray& b) { b.chop(1); } },
        { "a byte long", [](QByteArray& b) { b.append('\0'); } },
        { "sum off by one", [](QByteArray& b) { b[0] = static_cast<char>(b[0] + 1); } },
        { "a field changed, sum left", [](QByteArray& b) { b[12] = 50; } },
        { "the last byte changed", [](QByteArray& b) { b[kBatchGroupSize - 1] = 'x'; } },
        { "empty", [](QByteArray& b) { b.clear(); } },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QByteArray stored = encodeBatchGroup(changedGroup());
        row.damage(stored);
        QStringList notes;
        EXPECT_FALSE(decodeBatchGroup(stored, &notes).has_value());
        EXPECT_EQ(notes.size(), 1);
    }
}

// A value out of range or unusable, in a group whose sum is right, goes
// back to its default alone; the other fields keep what was stored.
TEST(BatchGroup, AnUnusableFieldTakesItsDefaultAlone)
{
    struct Row {
        const char* name;
        std::function<void(QByteArray&)> change;
        std::function<void(BatchGroup&)> expectDefault;
    };
    const BatchGroup d;
    const Row rows[] = {
        { "mode 3", [](QByteArray& b) { putInt(b, 4, 3); },
            [&](BatchGroup& g) { g.destinationMode = d.destinationMode; } },
        { "format -1", [](QByteArray& b) { putInt(b, 8, -1); },
            [&](BatchGroup& g) { g.format = d.format; } },
        { "format 8, past JPEG XL", [](QByteArray& b) { putInt(b, 8, 8); },
            [&](BatchGroup& g) { g.format = d.format; } },
        { "quality 101", [](QByteArray& b) { putInt(b, 12, 101); },
            [&](BatchGroup& g) { g.jpegQuality = d.jpegQuality; } },
        { "preset -3", [](QByteArray& b) { putInt(b, 16, -3); },
            [&](BatchGroup& g) { g.presetIndex = d.presetIndex; } },
        { "preset past the table", [](QByteArray& b) { putInt(b, 16, 40); },
            [&](BatchGroup& g) { g.presetIndex = d.presetIndex; } },
        { "subfolders 2", [](QByteArray& b) { putInt(b, 20, 2); },
            [&](BatchGroup& g) { g.includeSubfolders = d.includeSubfolders; } },
        { "suffix with a separator", [](QByteArray& b) { putText(b, 28, 32, "/../x"); },
            [&](BatchGroup& g) { g.suffix = d.suffix; } },
        { "suffix not UTF-8", [](QByteArray& b) { putText(b, 28, 32, "\xC3("); },
            [&](BatchGroup& g) { g.suffix = d.suffix; } },
        { "suffix without its end", [](QByteArray& b) { putText(b, 28, 32, QByteArray(32, 'a')); },
            [&](BatchGroup& g) { g.suffix = d.suffix; } },
        { "subfolder ..", [](QByteArray& b) { putText(b, 60, 64, ".."); },
            [&](BatchGroup& g) { g.subfolder = d.subfolder; } },
        { "subfolder with a path", [](QByteArray& b) { putText(b, 60, 64, "a/b"); },
            [&](BatchGroup& g) { g.subfolder = d.subfolder; } },
        { "folder with a line break", [](QByteArray& b) { putText(b, 124, 1024, "/tmp/a\nb"); },
            [&](BatchGroup& g) { g.folder = d.folder; } },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QByteArray stored = encodeBatchGroup(changedGroup());
        row.change(stored);
        reseal(stored);
        QStringList notes;
        const std::optional<BatchGroup> group = decodeBatchGroup(stored, &notes);
        ASSERT_TRUE(group.has_value());
        BatchGroup expected = changedGroup();
        row.expectDefault(expected);
        EXPECT_EQ(*group, expected);
        EXPECT_EQ(notes.size(), 1);
    }
}

TEST(BatchGroup, ATextTooLongIsStoredEmptyNeverCut)
{
    BatchGroup group = changedGroup();
    group.folder = QStringLiteral("/") + QString(kMaxBatchFolderBytes, u'a');
    group.suffix = QString(kMaxBatchSuffixBytes, u'b');
    const std::optional<BatchGroup> back = decodeBatchGroup(encodeBatchGroup(group));
    ASSERT_TRUE(back.has_value());
    EXPECT_TRUE(back->folder.isEmpty());
    EXPECT_EQ(back->suffix, group.suffix) << "the longest suffix that fits is kept whole";
}

// The group is a value of its own in the options: damaging it leaves the
// program's other groups alone, and damaging them leaves it alone.
TEST(BatchGroup, ADamagedGroupFallsBackAloneInTheStore)
{
    MemorySettingsStore store;
    Options options;
    options.settings.jpegQuality = 55;
    ASSERT_TRUE(saveOptions(store, options));
    ASSERT_TRUE(saveBatchGroup(store, changedGroup()));

    QStringList notes;
    EXPECT_EQ(loadBatchGroup(store, &notes), changedGroup());
    EXPECT_TRUE(notes.isEmpty());

    store.writeBinary(kOptionsSection, QStringLiteral("Batch"), QByteArray("\x01\x02", 2));
    store.writeBinary(kOptionsSection, QStringLiteral("Settings3"), QByteArray(3, 'x'));
    EXPECT_EQ(loadBatchGroup(store, &notes), BatchGroup {});
    EXPECT_EQ(notes.size(), 1);
    Options loaded;
    loadOptions(store, loaded);
    EXPECT_EQ(loaded.settings.jpegQuality, 55) << "the other groups are untouched";

    ASSERT_TRUE(saveBatchGroup(store, changedGroup()));
    notes.clear();
    EXPECT_EQ(loadBatchGroup(store, &notes), changedGroup());

    MemorySettingsStore empty;
    notes.clear();
    EXPECT_EQ(loadBatchGroup(empty, &notes), BatchGroup {});
    EXPECT_TRUE(notes.isEmpty()) << "a first start is no damage";
    store.writeText(kOptionsSection, QStringLiteral("Batch"), QStringLiteral("text"));
    EXPECT_EQ(loadBatchGroup(store, &notes), BatchGroup {});
    EXPECT_EQ(notes.size(), 1);
}

} // namespace
} // namespace calmora

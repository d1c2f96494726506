#include "settings/memory_settings_store.h"
#include "settings/read_only_settings_store.h"

#include <gtest/gtest.h>

namespace calmora {
namespace {

TEST(ReadOnlySettingsStore, ChangesShowThroughButNeverReachTheBackingStore)
{
    MemorySettingsStore backing;
    backing.writeText(kOptionsSection, "Kept", "stored");
    backing.writeText(kOptionsSection, "Replaced", "stored");
    backing.writeBinary(kOptionsSection, "Removed", "bytes");
    ReadOnlySettingsStore store(backing);
    EXPECT_FALSE(store.changed());

    store.writeText(kOptionsSection, "Replaced", "this run");
    store.writeBinary(kOptionsSection, "Added", "new");
    store.remove(kOptionsSection, "Removed");
    ASSERT_TRUE(store.flush());
    EXPECT_TRUE(store.changed());

    EXPECT_EQ(store.readText(kOptionsSection, "Kept"), QStringLiteral("stored"));
    EXPECT_EQ(store.readText(kOptionsSection, "Replaced"), QStringLiteral("this run"));
    EXPECT_EQ(store.readBinary(kOptionsSection, "Added"), QByteArray("new"));
    EXPECT_FALSE(store.readBinary(kOptionsSection, "Removed"));
    EXPECT_FALSE(store.readBinary(kOptionsSection, "Replaced")) << "text is not bytes";
    EXPECT_EQ(store.valueNames(kOptionsSection), (QStringList { "Kept", "Replaced", "Added" }));

    store.writeBinary(kOptionsSection, "Removed", "again");
    EXPECT_EQ(store.readBinary(kOptionsSection, "Removed"), QByteArray("again"));

    EXPECT_EQ(backing.flushCount(), 0);
    EXPECT_EQ(backing.raw(kOptionsSection, "Replaced"), QVariant(QStringLiteral("stored")));
    EXPECT_TRUE(backing.contains(kOptionsSection, "Removed"));
    EXPECT_FALSE(backing.contains(kOptionsSection, "Added"));

    backing.setAvailable(false);
    EXPECT_FALSE(store.valueNames(kOptionsSection)) << "an unreadable store stays unreadable";
}

} // namespace
} // namespace calmora

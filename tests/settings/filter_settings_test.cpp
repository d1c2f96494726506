#include "settings/filter_settings.h"

#include <gtest/gtest.h>

namespace calmora {
namespace {

TEST(FilterSettingsTest, FieldNamesFollowTheStoredOrder)
{
    // Writing a distinct value through each name must land in the stored
    // slot of that index, so names, accessor and byte order agree.
    FilterSettings settings;
    for (int i = 0; i < kFilterFieldCount; ++i) {
        SCOPED_TRACE(kFilterFields[i].name);
        EXPECT_EQ(findFilterField(QString::fromLatin1(kFilterFields[i].name)), i);
        fieldAt(settings, i) = 1000 + i;
    }
    const QByteArray bytes = encodeFilterSettings(settings);
    ASSERT_EQ(bytes.size(), 64);
    for (int i = 0; i < kFilterFieldCount; ++i) {
        SCOPED_TRACE(kFilterFields[i].name);
        EXPECT_EQ(static_cast<uint8_t>(bytes[4 * i]), (1000 + i) & 0xFF);
        EXPECT_EQ(static_cast<uint8_t>(bytes[4 * i + 1]), (1000 + i) >> 8);
    }
    EXPECT_EQ(settings.freqLevel[3], 1006);
    EXPECT_EQ(settings.cbFactor, 1009);
    EXPECT_EQ(settings.freqSuppression[0], 1012);
}

TEST(FilterSettingsTest, NeutralValuesAreTheDefaults)
{
    const FilterSettings settings;
    for (int i = 0; i < kFilterFieldCount; ++i) {
        SCOPED_TRACE(kFilterFields[i].name);
        EXPECT_EQ(fieldAt(settings, i), kFilterFields[i].neutral);
        EXPECT_LE(kFilterFields[i].minimum, kFilterFields[i].neutral);
        EXPECT_GE(kFilterFields[i].maximum, kFilterFields[i].neutral);
    }
}

TEST(FilterSettingsTest, EncodingRoundTripsNegativeValuesLittleEndian)
{
    FilterSettings settings;
    settings.lumaLevel = -20;
    settings.sharpening = -5;
    const QByteArray bytes = encodeFilterSettings(settings);
    EXPECT_EQ(bytes.mid(4, 4), QByteArray("\xEC\xFF\xFF\xFF", 4));
    const std::optional<FilterSettings> decoded = decodeFilterSettings(bytes + "extra");
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, settings);
    EXPECT_FALSE(decodeFilterSettings(bytes.left(63)));
}

TEST(FilterSettingsTest, AssignmentsFromTheCommandLine)
{
    struct Row {
        const char* name;
        const char* assignment;
        bool accepted;
        int index;
        int32_t value;
        const char* errorMentions;
    };
    const Row rows[] = {
        { "lowest luma level", "lumaLevel=-20", true, 1, -20, "" },
        { "highest band level", "freqLevel3=40", true, 6, 40, "" },
        { "spaces around", " sharpening = 5 ", true, 7, 5, "" },
        { "colour factor is free up to 40", "cbFactor=40", true, 9, 40, "" },
        { "above the range", "freqSuppression2=21", false, 14, 20, "from 0 to 20" },
        { "below the range", "degree=-1", false, 0, 0, "from 0 to 3" },
        { "not a number", "lumaSuppression=high", false, 10, 20, "\"high\"" },
        { "no value", "colorLevel=", false, 2, 0, "colorLevel" },
        { "unknown name", "luma=3", false, -1, 0, "lumaLevel" },
        { "names are exact", "LumaLevel=3", false, -1, 0, "\"LumaLevel\"" },
        { "no equals sign", "lumaLevel", false, -1, 0, "NAME=VALUE" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FilterSettings settings;
        QString error;
        EXPECT_EQ(
            assignFilterField(settings, QString::fromLatin1(row.assignment), &error), row.accepted);
        if (row.accepted) {
            EXPECT_TRUE(error.isEmpty());
            EXPECT_EQ(fieldAt(settings, row.index), row.value);
        } else {
            EXPECT_EQ(settings, FilterSettings {}) << "a refused assignment changes nothing";
            EXPECT_TRUE(error.contains(QString::fromLatin1(row.errorMentions)))
                << error.toStdString();
        }
    }
}

TEST(FilterSettingsTest, SanitisingResetsOnlyOutOfRangeFields)
{
    FilterSettings settings;
    settings.degree = 4;
    settings.lumaLevel = 40;
    settings.crFactor = -1;
    settings.freqSuppression[1] = 1 << 30;
    const QStringList replaced = sanitiseFilterSettings(settings);
    EXPECT_EQ(replaced, QStringList({ "degree", "crFactor", "freqSuppression1" }));
    FilterSettings expected;
    expected.lumaLevel = 40;
    EXPECT_EQ(settings, expected);
}

} // namespace
} // namespace calmora

#include "settings/derive_params.h"
#include "settings/presets.h"

#include <gtest/gtest.h>

#include <cstring>

namespace calmora {
namespace {

FilterSettings presetValues(const char* name)
{
    const PresetTable table;
    const int index = table.lookUp(QString::fromLatin1(name));
    EXPECT_GE(index, 0) << name;
    return table.at(index).values;
}

bool sameParams(const FilterParams& a, const FilterParams& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(DeriveParamsTest, NeutralSettingsKeepLevelsAndSuppressFully)
{
    FilterParams params;
    EXPECT_TRUE(deriveDocumentParams(FilterSettings {}, params));
    for (int b = 0; b < kBandCount; ++b) {
        for (int c = 0; c < kChannels; ++c) {
            SCOPED_TRACE(testing::Message() << "band " << b << ", channel " << c);
            EXPECT_EQ(params.levelFactor[b][c], 0);
            EXPECT_EQ(params.suppressionFactor[b][c], 128);
        }
    }
    EXPECT_EQ(params.sharpenAmount, 5);
    EXPECT_EQ(params.classSelector, 0);
}

TEST(DeriveParamsTest, PresetExamples)
{
    struct Row {
        const char* preset;
        int16_t levelY[4];
        int16_t suppressionY[4];
        int16_t suppressionColour[4];
        int32_t sharpenAmount;
        int32_t classSelector;
    };
    const Row rows[] = {
        // Band 3 of "Landscape": 20 x 10 x 25 / 100 - 100.
        { "Landscape", { 0, -10, -20, -50 }, { 61, 81, 92, 92 }, { 69, 92, 103, 103 }, 3, 3 },
        { "Full suppression", { 0, 0, 0, 0 }, { 128, 128, 128, 128 }, { 128, 128, 128, 128 }, 5,
            1 },
        // trunc(70 x 1.28) = 89 and trunc(80 x 1.28) = 102.
        { "Default", { 0, 0, 0, 0 }, { 89, 89, 89, 89 }, { 102, 102, 102, 102 }, 5, 0 },
        { "Stronger luma noise", { 40, 40, 40, 40 }, { 89, 89, 89, 89 }, { 102, 102, 102, 102 }, 5,
            0 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.preset);
        FilterParams document;
        deriveDocumentParams(presetValues(row.preset), document);
        FilterParams batch;
        derivePresetParams(presetValues(row.preset), batch);
        EXPECT_TRUE(sameParams(document, batch))
            << "both derivations agree when the factors are 20";
        for (int b = 0; b < kBandCount; ++b) {
            SCOPED_TRACE(testing::Message() << "band " << b);
            EXPECT_EQ(document.levelFactor[b][kY], row.levelY[b]);
            EXPECT_EQ(document.suppressionFactor[b][kY], row.suppressionY[b]);
            EXPECT_EQ(document.suppressionFactor[b][kCr], row.suppressionColour[b]);
            EXPECT_EQ(document.suppressionFactor[b][kCb], row.suppressionColour[b]);
        }
        EXPECT_EQ(document.sharpenAmount, row.sharpenAmount);
        EXPECT_EQ(document.classSelector, row.classSelector);
    }
}

TEST(DeriveParamsTest, BuiltInPresetsDeriveAlikeBothWays)
{
    const PresetTable table;
    for (int i = 0; i < table.count(); ++i) {
        SCOPED_TRACE(table.at(i).name.toStdString());
        FilterParams document;
        deriveDocumentParams(table.at(i).values, document);
        FilterParams batch;
        table.deriveParams(i, batch);
        EXPECT_TRUE(sameParams(document, batch));
    }
}

TEST(DeriveParamsTest, LevelSliderExtremes)
{
    FilterSettings settings;
    settings.lumaLevel = -20;
    FilterParams params;
    deriveDocumentParams(settings, params);
    for (int b = 0; b < kBandCount; ++b)
        EXPECT_EQ(params.levelFactor[b][kY], -100) << "band " << b;

    settings.lumaLevel = 40;
    settings.freqLevel[0] = 40;
    deriveDocumentParams(settings, params);
    EXPECT_EQ(params.levelFactor[0][kY], 800);
    EXPECT_EQ(params.levelFactor[1][kY], 200);
}

TEST(DeriveParamsTest, ColourFactorsWeighOnlyTheDocumentDerivation)
{
    FilterSettings settings;
    settings.crFactor = 40;
    settings.cbFactor = 10;
    FilterParams document;
    deriveDocumentParams(settings, document);
    FilterParams batch;
    derivePresetParams(settings, batch);
    for (int b = 0; b < kBandCount; ++b) {
        SCOPED_TRACE(testing::Message() << "band " << b);
        EXPECT_EQ(document.levelFactor[b][kCr], 100);
        EXPECT_EQ(document.levelFactor[b][kCb], -50);
        EXPECT_EQ(batch.levelFactor[b][kCr], 0);
        EXPECT_EQ(batch.levelFactor[b][kCb], 0);
    }
}

TEST(DeriveParamsTest, ReportsWhetherAnythingChanged)
{
    FilterParams params;
    FilterSettings settings;
    ASSERT_TRUE(deriveDocumentParams(settings, params));
    EXPECT_FALSE(deriveDocumentParams(settings, params)) << "same settings again";

    struct Row {
        const char* name;
        void (*change)(FilterSettings&);
    };
    const Row rows[] = {
        { "a band level", [](FilterSettings& s) { s.freqLevel[3] = 1; } },
        { "a band suppression", [](FilterSettings& s) { s.freqSuppression[2] = 19; } },
        { "the blue weight", [](FilterSettings& s) { s.cbFactor = 21; } },
        { "sharpening", [](FilterSettings& s) { s.sharpening = -1; } },
        { "degree", [](FilterSettings& s) { s.degree = 2; } },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FilterParams before;
        deriveDocumentParams(settings, before);
        FilterSettings changed = settings;
        row.change(changed);
        FilterParams after = before;
        EXPECT_TRUE(deriveDocumentParams(changed, after));
    }
}

TEST(DeriveParamsTest, LeavesBandFourAndBandCountAlone)
{
    FilterParams params;
    params.bandCount = 3;
    params.levelFactor[4][kCr] = 7;
    params.suppressionFactor[4][kY] = 9;
    deriveDocumentParams(FilterSettings {}, params);
    derivePresetParams(FilterSettings {}, params);
    EXPECT_EQ(params.bandCount, 3);
    EXPECT_EQ(params.levelFactor[4][kCr], 7);
    EXPECT_EQ(params.suppressionFactor[4][kY], 9);
}

TEST(DeriveParamsTest, ForeignValuesSaturateInsteadOfOverflowing)
{
    // Runs under the undefined-behaviour sanitizer too: no signed overflow.
    FilterSettings settings;
    for (int i = 0; i < kFilterFieldCount; ++i)
        fieldAt(settings, i) = std::numeric_limits<int32_t>::max();
    FilterParams params;
    deriveDocumentParams(settings, params);
    EXPECT_EQ(params.levelFactor[0][kY], std::numeric_limits<int16_t>::max());
    EXPECT_EQ(params.levelFactor[0][kCr], std::numeric_limits<int16_t>::max());
    EXPECT_EQ(params.suppressionFactor[0][kY], std::numeric_limits<int16_t>::max());
    derivePresetParams(settings, params);
    EXPECT_EQ(params.levelFactor[3][kCb], std::numeric_limits<int16_t>::max());
}

} // namespace
} // namespace calmora

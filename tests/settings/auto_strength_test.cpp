#include "settings/auto_strength.h"

#include "settings/derive_params.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <ostream>
#include <limits>

namespace calmora {
namespace {

// A profile as the measurement leaves it: four bands of eleven points, the
// same noise at every brightness.
NoiseProfile flatProfile(const int (&luma)[4], const int (&colour)[4])
{
    NoiseProfile profile;
    profile.bandCount = kBandCount;
    for (int b = 0; b < kBandCount; ++b) {
        NoiseBand& band = profile.bands[b];
        band.bandIndex = b;
        band.pointCount = kPointCount;
        for (int p = 0; p < kPointCount; ++p) {
            band.noise[p][kY] = static_cast<int16_t>(luma[b]);
            band.noise[p][kCr] = static_cast<int16_t>(colour[b]);
            band.noise[p][kCb] = static_cast<int16_t>(colour[b]);
            for (int c = 0; c < kChannels; ++c)
                band.weight[p][c] = 100;
        }
    }
    return profile;
}

// How hard the rule filters the luminance: strength of the finest band,
// then the threshold. Rows that filter harder come later in the table.
int lumaStrength(const AutoStrength& choice)
{
    if (!choice.filter)
        return -1;
    return choice.values.lumaSuppression * choice.values.freqSuppression[0];
}

// Band medians of profiles measured on the quality kit's photos: a plain
// photo at ISO 800 (a full-frame camera, about 0.6 levels of true noise); a
// detailed one at ISO 800, whose finest band reads as high as a plain photo's
// at ISO 3200 but whose coarse bands are full of content; a plain photo with
// the same finest band; a compact camera at ISO 12800; colour noise alone;
// and a synthetic picture without noise.
struct Case {
    const char* name;
    int luma[4];
    int colour[4];
    bool filters;
    int lumaSuppressionFrom;
    int lumaSuppressionTo;
};

const Case kCases[] = {
    { "plain at low ISO", { 8, 3, 3, 1 }, { 10, 5, 2, 1 }, false, 0, 20 },
    { "detailed at low ISO", { 20, 11, 12, 1 }, { 31, 18, 10, 10 }, true, 10, 14 },
    { "plain with as much fine noise", { 20, 6, 2, 1 }, { 20, 8, 2, 1 }, true, 17, 20 },
    { "strong noise", { 90, 21, 10, 8 }, { 86, 26, 12, 7 }, true, 20, 20 },
    { "colour noise only", { 8, 3, 3, 1 }, { 60, 20, 6, 2 }, false, 0, 20 },
    { "no noise", { 1, 1, 1, 1 }, { 1, 1, 1, 1 }, false, 0, 20 },
};

void PrintTo(const Case& row, std::ostream* os)
{
    *os << row.name;
}

class AutoStrengthCase : public ::testing::TestWithParam<Case> { };

TEST_P(AutoStrengthCase, ValuesStayInTheirRangesAndFollowTheNoise)
{
    const Case& row = GetParam();
    const AutoStrength choice = chooseAutoStrength(flatProfile(row.luma, row.colour));
    EXPECT_EQ(choice.filter, row.filters) << "estimate " << choice.noiseLevel;
    EXPECT_GE(choice.values.lumaSuppression, row.lumaSuppressionFrom);
    EXPECT_LE(choice.values.lumaSuppression, row.lumaSuppressionTo);
    FilterSettings values = choice.values;
    EXPECT_TRUE(sanitiseFilterSettings(values).isEmpty());
    // The colour factors have no control; at 20 the document's derivation
    // (what the pane and a "Custom" batch use) equals a preset's.
    EXPECT_EQ(choice.values.crFactor, 20);
    EXPECT_EQ(choice.values.cbFactor, 20);
    FilterParams asDocument;
    FilterParams asPreset;
    deriveDocumentParams(choice.values, asDocument);
    derivePresetParams(choice.values, asPreset);
    EXPECT_EQ(0, std::memcmp(&asDocument, &asPreset, sizeof asDocument));
    EXPECT_EQ(autoFilterSettings(flatProfile(row.luma, row.colour)), choice.values);
}

INSTANTIATE_TEST_SUITE_P(Profiles, AutoStrengthCase, ::testing::ValuesIn(kCases),
    [](const ::testing::TestParamInfo<Case>& info) {
        std::string name = info.param.name;
        for (char& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c)))
                c = '_';
        return name;
    });

// Along a profile whose noise grows in every band alike, the estimate grows
// and the filtering never gets lighter: once the rule filters it keeps
// filtering, and no row filters the luminance less than the one before.
TEST(AutoStrength, StrongerNoiseNeverFiltersLess)
{
    double lastLevel = 0.0;
    int lastStrength = -2;
    for (int scale = 1; scale <= 40; ++scale) {
        const int luma[4] = { 4 * scale, 2 * scale, scale, scale };
        const int colour[4] = { 3 * scale, scale, scale, scale };
        const AutoStrength choice = chooseAutoStrength(flatProfile(luma, colour));
        SCOPED_TRACE(scale);
        EXPECT_GT(choice.noiseLevel, lastLevel);
        EXPECT_GE(lumaStrength(choice), lastStrength);
        lastLevel = choice.noiseLevel;
        lastStrength = lumaStrength(choice);
    }
}

// The trap of the finest band alone: with the same finest band, a profile
// whose coarse bands are strong too (texture) reads as less noise.
TEST(AutoStrength, TextureInTheCoarseBandsLowersTheEstimate)
{
    const int colour[4] = { 10, 4, 2, 1 };
    const int noise[4] = { 30, 10, 5, 2 };
    const int texture[4] = { 30, 17, 15, 8 };
    EXPECT_LT(estimateNoiseLevel(flatProfile(texture, colour)),
        estimateNoiseLevel(flatProfile(noise, colour)));
    // The trap the estimate avoids: the detailed photo at ISO 800 is filtered
    // more lightly than the plain one with the same finest band.
    EXPECT_LT(lumaStrength(chooseAutoStrength(flatProfile(kCases[1].luma, kCases[1].colour))),
        lumaStrength(chooseAutoStrength(flatProfile(kCases[2].luma, kCases[2].colour))));
}

// A picture left untouched still carries usable values, for the pane's
// "Auto" button: the lightest row, never the neutral record (which would be
// full suppression at the measured level, the strongest filtering there is).
TEST(AutoStrength, UnfilteredChoiceCarriesTheLightestRow)
{
    const int none[4] = { 1, 1, 1, 1 };
    const AutoStrength untouched = chooseAutoStrength(flatProfile(none, none));
    ASSERT_FALSE(untouched.filter);
    EXPECT_NE(untouched.values, FilterSettings {});
    // The first profile of a growing noise that the rule filters takes
    // values at least as strong.
    for (int scale = 1; scale <= 40; ++scale) {
        const int luma[4] = { 4 * scale, 2 * scale, scale, scale };
        const int colour[4] = { 3 * scale, scale, scale, scale };
        const AutoStrength choice = chooseAutoStrength(flatProfile(luma, colour));
        if (choice.filter) {
            AutoStrength asFiltered = untouched;
            asFiltered.filter = true;
            EXPECT_LE(lumaStrength(asFiltered), lumaStrength(choice)) << "scale " << scale;
            EXPECT_LE(untouched.values.colorSuppression, choice.values.colorSuppression);
            return;
        }
    }
    ADD_FAILURE() << "no profile was filtered";
}

// Fine colour noise does not make the rule guess luminance noise, and
// colour in the coarse band counts as content.
TEST(AutoStrength, ColourNoiseNeverRaisesTheEstimate)
{
    const int luma[4] = { 12, 5, 3, 1 };
    const int quiet[4] = { 6, 2, 1, 1 };
    const int fineLoud[4] = { 80, 25, 1, 1 };
    const int coarseLoud[4] = { 6, 2, 8, 3 };
    const double base = estimateNoiseLevel(flatProfile(luma, quiet));
    EXPECT_DOUBLE_EQ(estimateNoiseLevel(flatProfile(luma, fineLoud)), base);
    EXPECT_LT(estimateNoiseLevel(flatProfile(luma, coarseLoud)), base);
}

// Profiles from a file (--profile-in) can hold anything: the rule still
// answers with values in range and a finite estimate.
TEST(AutoStrength, DamagedProfilesGiveUsableValues)
{
    struct Damage {
        const char* name;
        void (*apply)(NoiseProfile&);
    };
    const Damage damages[] = {
        { "no bands", [](NoiseProfile& p) { p.bandCount = 0; } },
        { "negative band count", [](NoiseProfile& p) { p.bandCount = -3; } },
        { "no points", [](NoiseProfile& p) {
             for (NoiseBand& band : p.bands)
                 band.pointCount = 0;
         } },
        { "too many points", [](NoiseProfile& p) {
             for (NoiseBand& band : p.bands)
                 band.pointCount = 1000;
         } },
        { "negative noise", [](NoiseProfile& p) {
             for (NoiseBand& band : p.bands)
                 for (auto& point : band.noise)
                     point[kY] = -500;
         } },
        { "largest noise", [](NoiseProfile& p) {
             for (NoiseBand& band : p.bands)
                 for (auto& point : band.noise)
                     point[kY] = std::numeric_limits<int16_t>::max();
         } },
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.name);
        const int luma[4] = { 20, 8, 4, 2 };
        const int colour[4] = { 10, 4, 2, 1 };
        NoiseProfile profile = flatProfile(luma, colour);
        damage.apply(profile);
        const AutoStrength choice = chooseAutoStrength(profile);
        EXPECT_TRUE(std::isfinite(choice.noiseLevel));
        EXPECT_GE(choice.noiseLevel, 0.0);
        FilterSettings values = choice.values;
        EXPECT_TRUE(sanitiseFilterSettings(values).isEmpty());
    }
}

} // namespace
} // namespace calmora

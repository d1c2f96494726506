#include "engine/engine.h"
#include "engine/pyramid.h"
#include "test_images.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace calmora {
namespace {

using PlaneFn = std::function<int32_t(int32_t x, int32_t y)>;

// One level of an 8-bit tile as the level driver hands it to the measurement,
// with its own tile list, band entry and histogram record.
struct MeasureSetup {
    TileList tiles;
    LevelParams params;
    PyramidLevel<int16_t> level;
    NoiseBand band;
    std::unique_ptr<LevelHistogram> histogram = std::make_unique<LevelHistogram>();

    MeasureSetup(int32_t width, int32_t height, int32_t levelNumber, int32_t tileCount = 1)
    {
        tiles.tiles.resize(static_cast<size_t>(tileCount));
        params.runTiles = &tiles;
        band.pointCount = kPointCount;
        level.width = width;
        level.height = height;
        level.level = levelNumber;
        level.params = &params;
        level.bytesPerPixel = 4;
    }
    MeasureSetup(const MeasureSetup&) = delete;
    MeasureSetup& operator=(const MeasureSetup&) = delete;

    void setPlanes(const PlaneFn& y, const PlaneFn& cr, const PlaneFn& cb)
    {
        std::vector<int16_t>* planes[] = { &level.yIn, &level.crIn, &level.cbIn };
        const PlaneFn* fns[] = { &y, &cr, &cb };
        for (int c = 0; c < kChannels; ++c) {
            planes[c]->assign(level.sampleCount(), 0);
            for (int32_t py = 0; py < level.height; ++py)
                for (int32_t px = 0; px < level.width; ++px)
                    (*planes[c])[level.index(px, py)] = static_cast<int16_t>((*fns[c])(px, py));
        }
    }
    void run(bool allowExtended = true)
    {
        histogram->allowExtended = allowExtended;
        measureLevel(level, band, *histogram);
    }
    const IntList& list(int32_t point, int channel) const
    {
        return histogram->bins[4 * point + channel];
    }
    int32_t totalEntries() const
    {
        int32_t total = 0;
        for (const IntList& list : histogram->bins)
            total += list.count;
        return total;
    }
};

PlaneFn constant(int32_t value)
{
    return [value](int32_t, int32_t) { return value; };
}

// A corner window has 4 samples, so it counts 4/64 in the pooled mean but
// would count 1/9 in a mean of window means (8255, bin 4).
TEST(MeasureLevel, BrightnessIsThePooledMeanOfTheNineWindows)
{
    MeasureSetup setup(8, 8, 1);
    setup.setPlanes([](int32_t x, int32_t y) { return x <= 1 && y <= 1 ? 9500 : 8100; },
        constant(0), constant(0));
    setup.run();
    EXPECT_EQ(setup.list(3, kCr).count, 1); // pooled mean 8187
    EXPECT_EQ(setup.list(4, kCr).count, 0);
}

// 64 blocks of one bin with Cr weight 32 give W = 2048 and k = 8 entries, all
// taken from the first block (value 600), although most blocks measure 0.
TEST(MeasureLevel, SummaryTakesTheMedianOfTheFirstEntries)
{
    MeasureSetup setup(64, 64, 1);
    setup.setPlanes(
        constant(10000),
        [](int32_t x, int32_t y) { return x < 8 && y < 8 && x % 3 == 0 && y % 3 == 0 ? 600 : 0; },
        constant(0));
    setup.run();
    const IntList& list = setup.list(4, kCr);
    ASSERT_EQ(list.count, 8);
    for (int32_t i = 0; i < list.count; ++i)
        EXPECT_EQ(list.items[static_cast<size_t>(i)], 600) << "entry " << i;
}

// Block weights of a flat plane: 32 per colour channel, 768 >> level shift for
// Y; the summary turns a weight sum W into W >> 8 list entries.
TEST(MeasureLevel, FlatPlaneWeightsAndBlockStep)
{
    struct Row {
        const char* name;
        int32_t level, size, tileCount;
        int32_t yEntries, colourEntries;
    };
    const Row rows[] = {
        { "level 0, one tile: every second block", 0, 64, 1, 16 * 768 / 256, 16 * 32 / 256 },
        { "level 1: every block", 1, 32, 1, 16 * 384 / 256, 2 },
        { "level 2", 2, 32, 1, 16 * 192 / 256, 2 },
        { "level 3", 3, 32, 1, 16 * 48 / 256, 2 },
        { "level 0, 40 tiles: every fourth block", 0, 64, 40, 4 * 768 / 256, 1 },
        { "level 1, 100 tiles: every third block", 1, 32, 100, 4 * 384 / 256, 1 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        MeasureSetup setup(row.size, row.size, row.level, row.tileCount);
        setup.setPlanes(constant(10000), constant(-37), constant(156)); // bin 4
        setup.run();
        const int32_t expected[kChannels] = { row.yEntries, row.colourEntries, row.colourEntries };
        for (int c = 0; c < kChannels; ++c) {
            SCOPED_TRACE("channel " + std::to_string(c));
            EXPECT_EQ(setup.list(4, c).count, expected[c]);
            for (int32_t i = 0; i < setup.list(4, c).count; ++i)
                EXPECT_EQ(setup.list(4, c).items[static_cast<size_t>(i)], 0);
            EXPECT_EQ(setup.band.weight[4][c], expected[c]);
        }
        EXPECT_EQ(setup.totalEntries(), row.yEntries + 2 * row.colourEntries);
        EXPECT_FALSE(setup.histogram->allowExtended); // all found in pass 1
    }
}

TEST(MeasureLevel, PlanesWithoutWholeBlocksAddNothing)
{
    const int32_t sizes[][2] = { { 7, 64 }, { 64, 7 }, { 0, 0 } };
    for (const auto& size : sizes) {
        SCOPED_TRACE(std::to_string(size[0]) + " x " + std::to_string(size[1]));
        MeasureSetup setup(size[0], size[1], 0);
        setup.setPlanes(constant(10000), constant(0), constant(0));
        setup.run();
        EXPECT_EQ(setup.totalEntries(), 0);
        for (const auto& point : setup.band.weight)
            for (int16_t weight : point)
                EXPECT_EQ(weight, 0);
    }
}

TEST(MeasureLevel, PointsWithEnoughEvidenceAreNotMeasuredAgain)
{
    struct Row {
        const char* name;
        int16_t before[kChannels];
        bool measured;
    };
    const Row rows[] = {
        { "all three above 1024", { 1025, 1025, 1025 }, false },
        { "Y at 1024", { 1024, 1025, 1025 }, true },
        { "Cb at 1024", { 1025, 1025, 1024 }, true },
        { "only Cr below", { 2000, 3, 2000 }, true },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        MeasureSetup setup(16, 16, 1);
        setup.setPlanes(constant(10000), constant(0), constant(0));
        std::copy(row.before, row.before + kChannels, setup.band.weight[4]);
        setup.run();
        EXPECT_EQ(setup.totalEntries() > 0, row.measured);
        for (int c = 0; c < kChannels; ++c)
            EXPECT_EQ(setup.band.weight[4][c] > row.before[c], row.measured) << "channel " << c;
    }
}

// One 8x8 block: Y spikes of 1000 over 8000 at the nine sample points, Cr and
// Cb spikes of 600 there, and one Cb neighbour of point (0,0) at -60. The
// block's devCr is 0 and its devCb 4, so x = k / 4 with k = 11 << 10 at level
// 1 and twice that at level 2.
TEST(MeasureLevel, LuminanceLoweredByColourEvidence)
{
    struct Row {
        const char* name;
        int32_t level;
        bool grey;
        int32_t colourSpike;
        bool luminanceFoundInPass2; // raises the rows around the middle points
        int32_t point, expected;
    };
    const Row rows[] = {
        { "level 0 is never corrected", 0, false, 600, false, 3, 1000 },
        { "grey tile", 1, true, 600, false, 3, 1000 },
        { "no colour value in the block", 1, false, 0, false, 3, 1000 },
        { "level 1: 1000 - ((1000 - 363) >> 1)", 1, false, 600, false, 3, 682 },
        { "level 2: 1000 - ((1000 - 181) >> 1)", 2, false, 600, false, 3, 591 },
        { "level 7 takes (value << 10) / x", 7, false, 600, false, 3, 5 },
        { "colour stored by an earlier pass", 1, false, 600, true, 4, 682 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        MeasureSetup setup(8, 8, row.level);
        setup.level.grey = row.grey;
        const auto isPoint = [](int32_t x, int32_t y) { return x % 3 == 0 && y % 3 == 0; };
        const bool raise = row.luminanceFoundInPass2;
        setup.setPlanes(
            [&](int32_t x, int32_t y) {
                // Raised rows make flatY 177: too high for pass 1, fine for pass 2.
                return isPoint(x, y) ? 9000 : (raise && y >= 2 && y <= 4 ? 8400 : 8000);
            },
            [&](int32_t x, int32_t y) { return isPoint(x, y) ? row.colourSpike : 0; },
            [&](int32_t x, int32_t y) {
                return isPoint(x, y) ? row.colourSpike : (x == 1 && y == 0 ? -60 : 0);
            });
        setup.run();
        const IntList& list = setup.list(row.point, kY);
        ASSERT_GE(list.count, 1);
        for (int32_t i = 0; i < list.count; ++i)
            EXPECT_EQ(list.items[static_cast<size_t>(i)], row.expected) << "entry " << i;
    }
}

// Level 0, one visited block. Cr and Cb follow a period-4 pattern of amplitude
// A, so every point's largest colour difference is A and the colour deviation
// is small. Four raised Y samples give devY = 345: too high for passes 1 to 5,
// accepted only by pass 6 (threshold 512), which adds one Y entry of 0.
TEST(MeasureLevel, ExtendedPassesFollowColourNoise)
{
    struct Row {
        const char* name;
        int32_t amplitude;
        bool allowBefore, allowAfter;
        int32_t yEntries;
    };
    const Row rows[] = {
        { "low colour noise clears the flag", 1000, true, false, 0 },
        { "2190 is not above the limit", 2190, true, false, 0 },
        { "2191 runs passes 5 and 6", 2191, true, true, 1 },
        { "the level above did not extend", 3000, false, false, 0 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        MeasureSetup setup(16, 16, 0);
        const PlaneFn colour = [&](int32_t x, int32_t y) {
            return (((x >> 1) + (y >> 1)) & 1) != 0 ? row.amplitude : 0;
        };
        setup.setPlanes(
            [](int32_t x, int32_t y) {
                return (x == 5 || x == 8) && (y == 3 || y == 6) ? 11200 : 8000;
            },
            colour, colour);
        setup.run(row.allowBefore);
        EXPECT_EQ(setup.histogram->allowExtended, row.allowAfter);
        EXPECT_EQ(setup.list(3, kY).count, row.yEntries);
        EXPECT_EQ(setup.list(3, kCr).count, 1);
        EXPECT_EQ(setup.list(3, kCr).items[0], row.amplitude);
    }
}

// More injected noise is measured, and estimated, as more noise.
TEST(MeasureLevel, LuminanceNoiseGrowsWithInjectedNoise)
{
    const double sigmas[] = { 0, 30, 60, 120, 240, 480, 960 };
    int32_t lastMeasured = -1;
    int32_t lastEstimated = -1;
    for (double sigma : sigmas) {
        SCOPED_TRACE("sigma " + std::to_string(sigma));
        std::vector<LevelHistogram> histograms(kHistogramLevels);
        NoiseProfile profile;
        resetProfile(profile, false);
        MeasureSetup setup(128, 128, 0);
        test::TestRandom random(7);
        const auto noisy = [&](int32_t base, double deviation) {
            return [&random, base, deviation](int32_t, int32_t) {
                return base + static_cast<int32_t>(std::lround(deviation * random.gaussian()));
            };
        };
        setup.setPlanes(noisy(9216, sigma), noisy(0, sigma / 4), noisy(0, sigma / 4));
        histograms[0].allowExtended = true;
        measureLevel(setup.level, profile.bands[0], histograms[0]);
        IntList& list = histograms[0].bins[4 * 4 + kY];
        ASSERT_GT(list.count, 0);
        const int32_t measured = list.items[0]; // all entries of a point are its median
        estimateProfile(histograms.data(), profile);
        const int32_t estimated = profile.bands[0].noise[4][kY];
        if (sigma == 0) {
            EXPECT_EQ(measured, 0);
        } else {
            EXPECT_GT(measured, lastMeasured);
            EXPECT_GT(estimated, lastEstimated);
        }
        lastMeasured = measured;
        lastEstimated = estimated;
    }
}

} // namespace
} // namespace calmora

#include "engine/engine.h"
#include "test_images.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace calmora {
namespace {

using Curve = std::array<int32_t, kPointCount>;

struct EstimateSetup {
    std::vector<LevelHistogram> histograms = std::vector<LevelHistogram>(kHistogramLevels);
    NoiseProfile profile;

    EstimateSetup() { resetProfile(profile, false); }

    // Puts samples (in profile units, so each is appended times 16) into the
    // list of a band, point and channel, and sets the point's weight.
    void set(
        int band, int32_t point, int channel, const std::vector<int32_t>& samples, int16_t weight)
    {
        for (int32_t sample : samples)
            histograms[static_cast<size_t>(band)].bins[4 * point + channel].append(sample * 16);
        profile.bands[band].weight[point][channel] = weight;
    }
    void setCurve(int band, int channel, const Curve& values, const Curve& weights)
    {
        for (int32_t p = 0; p < kPointCount; ++p)
            set(band, p, channel, { values[static_cast<size_t>(p)] },
                static_cast<int16_t>(weights[static_cast<size_t>(p)]));
    }
    void run() { estimateProfile(histograms.data(), profile); }
    Curve curve(int band, int channel) const
    {
        Curve result;
        for (int32_t p = 0; p < kPointCount; ++p)
            result[static_cast<size_t>(p)] = profile.bands[band].noise[p][channel];
        return result;
    }
};

Curve constantCurve(int32_t value)
{
    Curve curve;
    curve.fill(value);
    return curve;
}

TEST(EstimateProfile, EmptyHistogramsGiveOnes)
{
    EstimateSetup setup;
    setup.run();
    EXPECT_EQ(setup.profile.bandCount, kBandCount);
    for (int b = 0; b < kBandCount; ++b) {
        SCOPED_TRACE("band " + std::to_string(b));
        for (int c = 0; c < kChannels; ++c) {
            EXPECT_EQ(setup.curve(b, c), constantCurve(1));
            for (int32_t p = 0; p < kMaxPoints; ++p)
                EXPECT_EQ(setup.profile.bands[b].weight[p][c], p < kPointCount ? 1 : 0)
                    << "point " << p;
        }
    }
}

TEST(EstimateProfile, LowerMedianInSixteenths)
{
    struct Row {
        const char* name;
        std::vector<int32_t> samples; // plane units
        int32_t expected;
    };
    const Row rows[] = {
        { "one sample", { 100 }, 6 },
        { "two samples take the smaller", { 300, 50 }, 3 },
        { "three samples", { 500, 5, 40 }, 2 },
        { "four samples: rank 1", { 64, 16, 48, 32 }, 2 },
        { "shift is arithmetic", { -17 }, -2 },
        { "below one sixteenth becomes 1", { 15 }, 1 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EstimateSetup setup;
        for (int32_t p = 0; p < kPointCount; ++p)
            setup.profile.bands[0].weight[p][kCr] = 1; // no filling
        for (int32_t sample : row.samples)
            setup.histograms[0].bins[4 * 2 + kCr].append(sample);
        setup.run();
        EXPECT_EQ(setup.profile.bands[0].noise[2][kCr], row.expected);
    }
}

TEST(EstimateProfile, FillsFromTheNearestEvidence)
{
    EstimateSetup setup;
    setup.set(0, 5, kCr, { 40 }, 3);
    setup.run();
    EXPECT_EQ(setup.curve(0, kCr), (Curve { 23, 22, 25, 29, 34, 40, 34, 29, 25, 22, 23 }));
    EXPECT_EQ(setup.profile.bands[0].weight[5][kCr], 3);
    EXPECT_EQ(setup.profile.bands[0].weight[4][kCr], 1);
}

// Band 0 luminance curves through the shape step. Rows with a point of
// weight 0 whose filled value sits off a flat curve: the smooth value m there
// equals the mean level exactly.
TEST(EstimateProfile, LuminanceShape)
{
    struct Row {
        const char* name;
        Curve samples, weights, expected;
    };
    const Row rows[] = {
        { "straight rising line is kept", { 10, 17, 24, 31, 38, 45, 52, 59, 66, 73, 80 },
            constantCurve(5), { 10, 17, 24, 31, 38, 45, 52, 59, 66, 73, 80 } },
        { "constant negative curvature is kept", { 10, 20, 28, 34, 38, 40, 40, 38, 34, 28, 20 },
            constantCurve(1), { 10, 20, 28, 34, 38, 40, 40, 38, 34, 28, 20 } },
        { "blend: (102 * 122 + 2 * 100) / 104",
            { 100, 100, 100, 122, 100, 100, 100, 100, 100, 100, 100 }, constantCurve(2),
            { 100, 100, 100, 121, 100, 100, 100, 100, 100, 100, 100 } },
        { "evidence never rises above its measurement",
            { 100, 100, 100, 40, 100, 100, 100, 100, 100, 100, 100 },
            { 1000, 1000, 1000, 1, 1000, 1000, 1000, 1000, 1000, 1000, 1000 },
            { 100, 100, 100, 40, 100, 100, 100, 100, 100, 100, 100 } },
        // Point 3 fills to 5 + 27 = 32, point 7 measures 22: mean level 27.
        // L = 30 / 11 and 30 / 11 * 27 / (30 / 11) is just below 27.
        { "m = mean: zero weight truncates to m - 1", { 27, 27, 27, 5, 27, 27, 27, 22, 27, 27, 27 },
            { 3, 3, 3, 0, 3, 3, 3, 3, 3, 3, 3 }, { 27, 27, 27, 26, 27, 27, 27, 22, 27, 27, 27 } },
        { "m = mean: zero weight, exact quotient", { 28, 28, 28, 5, 28, 28, 28, 23, 28, 28, 28 },
            { 3, 3, 3, 0, 3, 3, 3, 3, 3, 3, 3 }, { 28, 28, 28, 28, 28, 28, 28, 23, 28, 28, 28 } },
        { "m = mean: L = 10 / 11", { 57, 57, 57, 4, 57, 57, 57, 53, 57, 57, 57 },
            { 1, 1, 1, 0, 1, 1, 1, 1, 1, 1, 1 }, { 57, 57, 57, 56, 57, 57, 57, 53, 57, 57, 57 } },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EstimateSetup setup;
        for (int32_t p = 0; p < kPointCount; ++p)
            setup.set(0, p, kY, { row.samples[static_cast<size_t>(p)] },
                static_cast<int16_t>(row.weights[static_cast<size_t>(p)]));
        setup.run();
        EXPECT_EQ(setup.curve(0, kY), row.expected);
    }
}

TEST(EstimateProfile, CappedByTheBandBelow)
{
    struct Row {
        const char* name;
        int32_t below[kChannels], band[kChannels], expected[kChannels];
    };
    const Row rows[] = {
        // Y: max((21 + 10) / 2, (21 + 4) / 2) = 15, from Cr before its own cap.
        { "all three capped", { 21, 6, 8 }, { 30, 10, 4 }, { 15, 6, 4 } },
        { "under the caps", { 21, 12, 8 }, { 14, 10, 4 }, { 14, 10, 4 } },
        { "Cb gives the luminance cap", { 21, 2, 40 }, { 40, 1, 9 }, { 15, 1, 9 } },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EstimateSetup setup;
        for (int c = 0; c < kChannels; ++c) {
            setup.setCurve(0, c, constantCurve(row.below[c]), constantCurve(1));
            setup.setCurve(1, c, constantCurve(row.band[c]), constantCurve(1));
        }
        setup.run();
        for (int c = 0; c < kChannels; ++c) {
            EXPECT_EQ(setup.curve(0, c), constantCurve(row.below[c])) << "channel " << c;
            EXPECT_EQ(setup.curve(1, c), constantCurve(row.expected[c])) << "channel " << c;
        }
    }
}

// Random single-sample curves: everything ends at least 1, luminance points
// with evidence never rise above their measurement (point 0 keeps it), and
// colour never rises above the band below.
TEST(EstimateProfile, BoundsOnRandomProfiles)
{
    test::TestRandom random(11);
    for (int trial = 0; trial < 200; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        EstimateSetup setup;
        int32_t measured[kBandCount][kPointCount] = {};
        for (int b = 0; b < kBandCount; ++b) {
            for (int c = 0; c < kChannels; ++c) {
                for (int32_t p = 0; p < kPointCount; ++p) {
                    const bool evidence = random.next() % 3 != 0;
                    const int32_t value = static_cast<int32_t>(random.next() % 400);
                    if (evidence) {
                        setup.set(
                            b, p, c, { value }, static_cast<int16_t>(1 + random.next() % 2000));
                        if (c == kY)
                            measured[b][p] = std::max(value, 1);
                    }
                }
            }
        }
        setup.run();
        for (int b = 0; b < kBandCount; ++b) {
            const NoiseBand& band = setup.profile.bands[b];
            for (int32_t p = 0; p < kPointCount; ++p) {
                SCOPED_TRACE("band " + std::to_string(b) + ", point " + std::to_string(p));
                for (int c = 0; c < kChannels; ++c) {
                    EXPECT_GE(band.noise[p][c], 1);
                    EXPECT_GE(band.weight[p][c], 1);
                }
                if (measured[b][p] > 0) {
                    if (b == 0 && p == 0) {
                        EXPECT_EQ(band.noise[p][kY], measured[b][p]);
                    }
                    EXPECT_LE(band.noise[p][kY], measured[b][p]);
                }
                if (b > 0) {
                    EXPECT_LE(band.noise[p][kCr], setup.profile.bands[b - 1].noise[p][kCr]);
                    EXPECT_LE(band.noise[p][kCb], setup.profile.bands[b - 1].noise[p][kCb]);
                }
            }
        }
    }
}

} // namespace
} // namespace calmora

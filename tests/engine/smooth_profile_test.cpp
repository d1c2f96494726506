#include "engine/engine.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace calmora {
namespace {

using Points = std::array<int32_t, kMaxPoints>;

// Each row's curve goes into one band and channel of an otherwise zero
// profile, so a leak into another curve shows as a non-zero value there.
TEST(SmoothProfile, TwoPassesOfThreePointAverage)
{
    struct Row {
        const char* name;
        int band, channel;
        int32_t pointCount;
        Points input, expected;
    };
    const Row rows[] = {
        { "constant curve", 0, kY, 11, { 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7 },
            { 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7 } },
        { "spike of 30 at point 5", 1, kCr, 11, { 0, 0, 0, 0, 0, 30 },
            { 0, 0, 0, 3, 6, 10, 6, 3, 0, 0, 0 } },
        { "end points average two values", 3, kCb, 11, { 0, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6 },
            { 3, 4, 5, 6, 6, 6, 6, 6, 6, 6, 6 } },
        { "capped at 21906", 2, kY, 11,
            { 30000, 30000, 30000, 30000, 30000, 30000, 30000, 30000, 30000, 30000, 32767 },
            { 21906, 21906, 21906, 21906, 21906, 21906, 21906, 21906, 21906, 21906, 21906 } },
        { "divisions truncate toward zero", 3, kCr, 11, { -7 }, { -2, -1 } },
        { "points beyond the count are left alone", 0, kCb, 11,
            { 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 500, 0, 0, 16 },
            { 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 500, 0, 0, 16 } },
        { "sixteen points", 3, kY, 16, { 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 30 },
            { 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 8, 12 } },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        NoiseProfile profile;
        resetProfile(profile, false);
        NoiseBand& band = profile.bands[row.band];
        band.pointCount = row.pointCount;
        for (int32_t p = 0; p < kMaxPoints; ++p) {
            band.noise[p][row.channel] = static_cast<int16_t>(row.input[static_cast<size_t>(p)]);
            band.weight[p][row.channel] = static_cast<int16_t>(p + 1);
        }
        smoothProfile(profile);
        for (int b = 0; b < kBandCount; ++b) {
            for (int c = 0; c < kChannels; ++c) {
                const bool chosen = b == row.band && c == row.channel;
                for (int32_t p = 0; p < kMaxPoints; ++p) {
                    SCOPED_TRACE("band " + std::to_string(b) + ", channel " + std::to_string(c)
                        + ", point " + std::to_string(p));
                    const NoiseBand& result = profile.bands[b];
                    EXPECT_EQ(
                        result.noise[p][c], chosen ? row.expected[static_cast<size_t>(p)] : 0);
                    EXPECT_EQ(result.weight[p][c], chosen ? p + 1 : 0);
                }
            }
        }
    }
}

} // namespace
} // namespace calmora

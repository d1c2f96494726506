// Smooths a noise profile along the brightness axis: each channel's curve in
// each band goes twice through a three-point moving average (the end points
// average two values), and every value is capped at the white luminance.
// Works in place on the first pointCount points; weights are not touched.
#include "engine/engine.h"
#include "engine/fixed_point.h"

#include <algorithm>
#include <cstdint>

namespace calmora {
namespace {

constexpr int kSmoothingPasses = 2;

void smoothBand(NoiseBand& band, int32_t n)
{
    for (int pass = 0; pass < kSmoothingPasses; ++pass) {
        int16_t previous[kMaxPoints][kChannels];
        std::copy(&band.noise[0][0], &band.noise[0][0] + kMaxPoints * kChannels, &previous[0][0]);
        for (int c = 0; c < kChannels; ++c) {
            for (int32_t k = 0; k < n; ++k) {
                // Sums in 32 bits; divisions truncate toward zero.
                int32_t value;
                if (k == 0)
                    value = (previous[0][c] + previous[1][c]) / 2;
                else if (k == n - 1)
                    value = (previous[n - 2][c] + previous[n - 1][c]) / 2;
                else
                    value = (previous[k - 1][c] + previous[k][c] + previous[k + 1][c]) / 3;
                band.noise[k][c] = static_cast<int16_t>(std::min(value, kMaxLuma8));
            }
        }
    }
}

} // namespace

void smoothProfile(NoiseProfile& profile)
{
    const int32_t bandCount = std::clamp(profile.bandCount, 0, kProfileBands);
    for (int32_t b = 0; b < bandCount; ++b) {
        // A curve needs two points to be averaged along; a point count beyond
        // the record's room is clamped to it.
        const int32_t n = std::min(profile.bands[b].pointCount, kMaxPoints);
        if (n >= 2)
            smoothBand(profile.bands[b], n);
    }
}

} // namespace calmora

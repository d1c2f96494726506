#include "settings/learned_reading.h"

#include <algorithm>
#include <cmath>

namespace calmora {

namespace {

// The engine's finest-band value per 8-bit level of the pixels' noise
// deviation, for white noise as the noise estimate reads it. A fixed
// property of the engine's measurement (the largest neighbour difference in
// flat blocks) and of the estimate, so it is a table and not a fit per
// photo. Taken once from flat grey charts (eleven patches, one per
// brightness point) under the quality kit's white noise models of three
// cameras at ISO 800, 3200 and 12800, three seeds each: the median over the
// charts' inner points of the engine's value over the estimate's deviation,
// each channel with a quartile spread of about +-12 %.
constexpr double kWhitePerDeviation[kChannels] = { 10.8, 11.4, 11.5 };

} // namespace

bool lowerToPixelNoise(NoiseProfile& profile, const PixelNoise& noise)
{
    if (!noise.measured || profile.bandCount <= 0)
        return false;
    NoiseBand& band = profile.bands[0];
    const int points = std::clamp(band.pointCount, 0, kMaxPoints);
    const int channels = noise.grey ? 1 : kChannels;
    bool lowered = false;
    for (int c = 0; c < channels; ++c) {
        // Smoothed noise (JPEG, demosaicing) is read from the flattest
        // patches' whole variance, which fine texture still inflates and
        // JPEG's quantisation deflates: there the estimate is no surer than
        // the engine's own reading. On the kit's JPEGs it taught up to 30 %
        // too little for one camera at ISO 12800, and still +60 % at ISO 800.
        if (noise.smoothedShare[static_cast<size_t>(c)] > 0.0)
            continue;
        const double scale = kWhitePerDeviation[c];
        for (int p = 0; p < points; ++p) {
            const double luma = lumaOfProfilePoint(p + 0.5);
            // A brightness the photo holds no patches of reads its
            // neighbours' noise: nothing to judge the engine's reading by.
            const int bin = std::clamp(static_cast<int>(luma / 32.0), 0, PixelNoise::kBins - 1);
            if (band.weight[p][c] <= 0 || noise.share[static_cast<size_t>(bin)] <= 0.0)
                continue;
            const double variance = noise.at(luma, c);
            if (!(variance > 0.0))
                continue;
            const double reading = std::max(1.0, std::round(scale * std::sqrt(variance)));
            if (reading < band.noise[p][c]) {
                band.noise[p][c] = static_cast<int16_t>(reading);
                lowered = true;
            }
        }
    }
    return lowered;
}

NoiseProfile learnedReading(const NoiseProfile& own, const PixelNoise& noise)
{
    NoiseProfile reading = own;
    lowerToPixelNoise(reading, noise);
    return reading;
}

} // namespace calmora

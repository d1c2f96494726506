// Turns the measurement histograms into the noise profile. Per band (band b
// from histogram record b, finest first): the lower median of each point's
// sample list in 1/16 plane units, points without evidence filled from their
// neighbours, the luminance curve bent towards a smooth shape, and each band
// capped by the band below. Every noise value and weight of the meaningful
// points ends at least 1; values are 16-bit.
#include "engine/engine.h"
#include "engine/fixed_point.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace calmora {
namespace {

// Histogram samples are in plane units; the profile keeps 1/16 of them.
constexpr int kSampleShift = 4;

using PointValues = int16_t[kMaxPoints][kChannels];

// Truncation toward zero of a double. A value that does not fit in 32 bits (or
// is not a number) can only come from a corrupt profile, for instance a
// negative mean level that makes the blend divide by zero; it is clamped
// instead of being undefined.
int32_t truncToInt(double value)
{
    if (std::isnan(value))
        return 0;
    if (value <= static_cast<double>(INT32_MIN))
        return INT32_MIN;
    if (value >= static_cast<double>(INT32_MAX))
        return INT32_MAX;
    return static_cast<int32_t>(value);
}

void takeMedians(LevelHistogram* histogram, NoiseBand& band, int32_t n)
{
    for (int c = 0; c < kChannels; ++c) {
        for (int32_t p = 0; p < n; ++p) {
            int32_t value = 0;
            if (histogram != nullptr) {
                IntList& list = histogram->bins[4 * p + c];
                const int32_t count
                    = std::clamp<int32_t>(list.count, 0, static_cast<int32_t>(list.items.size()));
                if (count > 0) {
                    // Reorders the list in place; it is not used again.
                    auto middle = list.items.begin() + (count - 1) / 2;
                    std::nth_element(list.items.begin(), middle, list.items.begin() + count);
                    value = asr(*middle, kSampleShift);
                }
            }
            band.noise[p][c] = static_cast<int16_t>(value);
        }
    }
}

// Points without evidence take a distance-weighted mix of the nearest points
// with evidence on either side; a side without one is faded from the other.
void fillEmptyPoints(NoiseBand& band, int32_t n)
{
    PointValues measured;
    std::copy(&band.noise[0][0], &band.noise[0][0] + kMaxPoints * kChannels, &measured[0][0]);
    for (int c = 0; c < kChannels; ++c) {
        for (int32_t p = 0; p < n; ++p) {
            if (band.weight[p][c] >= 1)
                continue;
            int32_t a = 0;
            int32_t forward = n - p;
            for (int32_t q = p + 1; q < n; ++q) {
                if (band.weight[q][c] > 0) {
                    a = measured[q][c];
                    forward = q - p;
                    break;
                }
            }
            int32_t z = 0;
            int32_t backward = p + 1;
            for (int32_t q = p - 1; q >= 0; --q) {
                if (band.weight[q][c] > 0) {
                    z = measured[q][c];
                    backward = p - q;
                    break;
                }
            }
            if (a == 0)
                a = z / (forward + 1);
            if (z == 0)
                z = a / (backward + 1);
            band.noise[p][c] = static_cast<int16_t>(
                band.noise[p][c] + (backward * a + forward * z) / (backward + forward));
        }
    }
    for (int32_t p = 0; p < n; ++p)
        for (int c = 0; c < kChannels; ++c)
            if (band.noise[p][c] == 0)
                band.noise[p][c] = 1;
}

// Bends the luminance curve towards constant curvature (if it is concave) or a
// straight line, anchored at the second-to-last point, then blends each point
// between the smooth and the measured curve. Needs n >= 4. Every double step
// is one IEEE operation in the written order.
void shapeLuminance(NoiseBand& band, int32_t n)
{
    double slope[kMaxPoints] = {};
    double slopeSum = 0.0;
    for (int32_t k = 1; k < n; ++k) {
        slope[k] = static_cast<double>(band.noise[k][kY] - band.noise[k - 1][kY]);
        slopeSum = slopeSum + slope[k];
    }
    const double meanSlope = slopeSum / static_cast<double>(n - 1);

    double curvatureSum = 0.0;
    for (int32_t k = 2; k <= n - 2; ++k) {
        // The slopes are whole numbers here; each curvature is kept to 16 bits.
        const int16_t curvature = static_cast<int16_t>(truncToInt(slope[k] - slope[k - 1]));
        curvatureSum = curvatureSum + static_cast<double>(curvature);
    }
    const double meanCurvature = curvatureSum / static_cast<double>(n - 3);

    if (meanCurvature < 0.0) {
        for (int32_t k = 2; k <= n - 2; ++k)
            slope[k] = slope[k - 1] + meanCurvature;
    } else {
        for (int32_t k = 1; k < n; ++k)
            slope[k] = meanSlope;
    }

    int16_t measured[kMaxPoints];
    for (int32_t k = 0; k < n; ++k)
        measured[k] = band.noise[k][kY];

    for (int32_t k = 1; k < n; ++k)
        band.noise[k][kY] = static_cast<int16_t>(
            truncToInt(static_cast<double>(band.noise[k - 1][kY]) + slope[k]));

    const int32_t anchorGap = band.noise[n - 2][kY] - measured[n - 2];
    int32_t levelSum = 0;
    int32_t weightSum = 0;
    for (int32_t k = 0; k < n; ++k) {
        levelSum += measured[k];
        weightSum += band.weight[k][kY];
    }
    const double meanLevel = static_cast<double>(levelSum) / static_cast<double>(n);
    double meanWeight = static_cast<double>(weightSum) / static_cast<double>(n);
    if (meanWeight == 0.0)
        meanWeight = 1.0;

    for (int32_t k = 1; k < n; ++k) {
        band.noise[k][kY]
            = static_cast<int16_t>(band.noise[k][kY] - divTrunc(anchorGap * k, n - 2));
        const int32_t m = band.noise[k][kY];
        const int32_t v = measured[k];
        if (m == v)
            continue;
        const int32_t evidence = band.weight[k][kY];
        const double smooth = static_cast<double>(m);
        const double gap = std::fabs(smooth - meanLevel);
        int32_t blended;
        if (gap == 0.0 && evidence != 0) {
            // The weight of the measured value is infinite: the blend's limit.
            blended = v;
        } else {
            // Without evidence the weight is 0 even where the smooth value
            // equals the mean level, and the quotient below is evaluated as
            // is: L * m / L may truncate to m - 1.
            const double w = gap == 0.0 ? 0.0 : meanLevel / gap * static_cast<double>(evidence);
            const double numerator = w * static_cast<double>(v) + meanWeight * smooth;
            blended = truncToInt(numerator / (w + meanWeight));
        }
        if (blended < 1)
            blended = 1;
        band.noise[k][kY] = static_cast<int16_t>(blended);
        if (v < band.noise[k][kY] && evidence != 0)
            band.noise[k][kY] = static_cast<int16_t>(v);
    }
}

// A coarser band never shows more noise than the finer band below it; its
// luminance may exceed the finer luminance only by half its own colour noise.
void capByBandBelow(NoiseBand& band, const NoiseBand& below, int32_t n)
{
    for (int32_t p = 0; p < n; ++p) {
        const int32_t belowY = below.noise[p][kY];
        if (belowY != 0 && band.noise[p][kY] != 0) {
            const int32_t fromCr = (belowY + band.noise[p][kCr]) / 2;
            const int32_t fromCb = (belowY + band.noise[p][kCb]) / 2;
            const int32_t ceiling = std::max(fromCr, fromCb);
            if (ceiling < band.noise[p][kY])
                band.noise[p][kY] = static_cast<int16_t>(ceiling);
        }
        for (int c : { kCr, kCb }) {
            if (below.noise[p][c] != 0 && band.noise[p][c] != 0)
                band.noise[p][c] = std::min(band.noise[p][c], below.noise[p][c]);
        }
    }
}

} // namespace

void estimateProfile(LevelHistogram* histograms, NoiseProfile& profile)
{
    resetProfile(profile, true);
    // The band count and point counts are clamped to the records' room; the
    // reset has just set them to 4 and 11.
    const int32_t bandCount
        = std::clamp(profile.bandCount, 0, std::min(kProfileBands, kHistogramLevels));
    for (int32_t b = 0; b < bandCount; ++b) {
        NoiseBand& band = profile.bands[b];
        const int32_t n = std::clamp(band.pointCount, 0, kMaxPoints);
        takeMedians(histograms != nullptr ? &histograms[b] : nullptr, band, n);
        fillEmptyPoints(band, n);
        // The curve's mean curvature needs at least four points.
        if (n >= 4)
            shapeLuminance(band, n);
        if (b > 0)
            capByBandBelow(band, profile.bands[b - 1], n);
        // Only the meaningful points; the rest of the record is left as it is.
        for (int32_t p = 0; p < n; ++p)
            for (int c = 0; c < kChannels; ++c)
                if (band.weight[p][c] < 1)
                    band.weight[p][c] = 1;
    }
}

} // namespace calmora

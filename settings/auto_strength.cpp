#include "settings/auto_strength.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <iterator>

namespace calmora {

namespace {

// The rule was fitted by tools/auto_strength/fit.py on the quality kit's
// photos (six photos, three cameras at ISO 800, 3200 and 12800, PNG and
// JPEG), each photo held out in turn; rerun it to refit and copy its table.

// The noise estimate. The finest band's luminance noise alone reads fine
// texture as noise: on a detailed photo at ISO 800 it reads as high as on a
// plain one at ISO 3200. What a picture shows also fills its coarse bands,
// where white noise has faded: the luminance and above all the colour of
// band 2 measure content, and the more of it a photo has, the more of its
// finest band is texture. So
//   log sigma = kFine * log Y0 + kCoarseLuma * log Y2 + kCoarseColour * log C2
//               + kOffset,
// Yb being band b's luminance noise and Cb its colour noise (Cr and Cb
// pooled), each the median over the brightness points. Fitted to the noise
// the kit added, it leaves a typical error of a quarter of the estimate (the
// finest band alone, a third).
constexpr double kFine = 1.3842;
constexpr double kCoarseLuma = -0.0857;
constexpr double kCoarseColour = -0.3660;
constexpr double kOffset = -2.9889;

// Below kUntouchedBelow the untouched picture scores best: with every
// suppression at zero the filter still moves the luminance by about three
// levels (the colour round trip and the sharpening), more than such weak
// noise is worth. Above it, row r covers estimates from kRows[r].from up to
// the next row's.
constexpr double kUntouchedBelow = 1.2;

struct Row {
    double from;
    FilterSettings values;
};

// Every row turns the sharpening off: on these photos it costs more than it
// brings back at any noise level. Weak noise takes light suppression, and the
// strongest rows lower the luminance threshold below the measured level
// while suppressing almost fully. Columns: degree, lumaLevel, colorLevel,
// freqLevel0..3, sharpening, crFactor, cbFactor, lumaSuppression,
// colorSuppression, freqSuppression0..3.
const std::array<Row, 4> kRows = { {
    { 1.2, { 0, 0, 0, { 0, 0, 0, 0 }, -5, 20, 20, 4, 8, { 20, 20, 20, 20 } } },
    { 1.6, { 0, 0, 0, { 0, 0, 0, 0 }, -5, 20, 20, 8, 12, { 20, 20, 20, 20 } } },
    { 2.2, { 0, -4, 0, { 0, 0, 0, 0 }, -5, 20, 20, 17, 18, { 20, 20, 20, 20 } } },
    { 4.5, { 0, -8, 0, { 0, 0, 0, 0 }, -5, 20, 20, 20, 20, { 20, 20, 20, 20 } } },
} };

// Median over a band's brightness points of its luminance noise, or of its
// colour noise with Cr and Cb pooled; at least 1, so that the logarithm stays
// defined.
double bandMedian(const NoiseBand& band, bool colour)
{
    const int points = std::clamp(band.pointCount, 0, kMaxPoints);
    std::array<int, 2 * kMaxPoints> values {};
    int count = 0;
    for (int p = 0; p < points; ++p) {
        if (colour) {
            values[static_cast<size_t>(count++)] = band.noise[p][kCr];
            values[static_cast<size_t>(count++)] = band.noise[p][kCb];
        } else {
            values[static_cast<size_t>(count++)] = band.noise[p][kY];
        }
    }
    if (count == 0)
        return 1.0;
    std::sort(values.begin(), values.begin() + count);
    const size_t half = static_cast<size_t>(count / 2);
    const double median
        = count % 2 == 1 ? values[half] : 0.5 * (values[half - 1] + values[half]);
    return std::max(median, 1.0);
}

} // namespace

double estimateNoiseLevel(const NoiseProfile& profile)
{
    if (profile.bandCount < 3)
        return 0.0;
    return std::exp(kFine * std::log(bandMedian(profile.bands[0], false))
        + kCoarseLuma * std::log(bandMedian(profile.bands[2], false))
        + kCoarseColour * std::log(bandMedian(profile.bands[2], true)) + kOffset);
}

AutoStrength chooseAutoStrength(const NoiseProfile& profile)
{
    AutoStrength choice;
    choice.noiseLevel = estimateNoiseLevel(profile);
    choice.filter = choice.noiseLevel >= kUntouchedBelow;
    // The last row that starts at or below the estimate; the first for any
    // estimate below it.
    const auto next = std::upper_bound(kRows.begin(), kRows.end(), choice.noiseLevel,
        [](double level, const Row& row) { return level < row.from; });
    choice.values = next == kRows.begin() ? kRows.front().values : std::prev(next)->values;
    return choice;
}

} // namespace calmora

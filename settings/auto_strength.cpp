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
// plain one at ISO 3200. Texture carries on into the coarser bands and white
// noise does not, so log sigma = sum of kBandWeight[b] * log(median of band
// b) + kOffset discounts it (the coarsest of the three counts against). The
// fit leaves a typical error of about 30 % of the estimate.
constexpr std::array<double, 3> kBandWeight = { 1.0014, 0.2072, -0.2199 };
constexpr double kOffset = -2.6172;

// Below kUntouchedBelow the untouched picture scores best: with every
// suppression at zero the filter still moves the luminance by about three
// levels (the colour round trip and the sharpening), more than such weak
// noise is worth. Above it, row r covers estimates from kRows[r].from up to
// the next row's.
constexpr double kUntouchedBelow = 1.0;

struct Row {
    double from;
    FilterSettings values;
};

// Every row turns the sharpening off: on these photos it costs more than it
// brings back at any noise level. Weak noise takes light suppression, and the
// strongest rows lower the luminance threshold below the measured level
// while suppressing fully. Columns: degree, lumaLevel, colorLevel,
// freqLevel0..3, sharpening, crFactor, cbFactor, lumaSuppression,
// colorSuppression, freqSuppression0..3.
const std::array<Row, 4> kRows = { {
    { 1.0, { 0, 0, 0, { 0, 0, 0, 0 }, -5, 20, 20, 2, 4, { 20, 20, 20, 20 } } },
    { 1.6, { 0, 0, 0, { 0, 0, 0, 0 }, -5, 20, 20, 8, 12, { 20, 20, 20, 20 } } },
    { 2.5, { 0, -4, 0, { 0, 0, 0, 0 }, -5, 20, 20, 17, 18, { 20, 20, 20, 20 } } },
    { 4.0, { 0, -8, 0, { 0, 0, 0, 0 }, -5, 20, 20, 20, 20, { 20, 20, 20, 20 } } },
} };

// Median of one channel's points in a band; 1 for a band without points, so
// that the logarithm stays defined.
double bandMedian(const NoiseBand& band, int channel)
{
    const int count = std::clamp(band.pointCount, 0, kMaxPoints);
    std::array<int, kMaxPoints> values {};
    for (int p = 0; p < count; ++p)
        values[static_cast<size_t>(p)] = band.noise[p][channel];
    if (count == 0)
        return 1.0;
    auto begin = values.begin();
    std::sort(begin, begin + count);
    const double median = count % 2 == 1
        ? values[static_cast<size_t>(count / 2)]
        : 0.5 * (values[static_cast<size_t>(count / 2 - 1)] + values[static_cast<size_t>(count / 2)]);
    return std::max(median, 1.0);
}

} // namespace

double estimateNoiseLevel(const NoiseProfile& profile)
{
    if (profile.bandCount < static_cast<int32_t>(kBandWeight.size()))
        return 0.0;
    double logSigma = kOffset;
    for (size_t b = 0; b < kBandWeight.size(); ++b)
        logSigma += kBandWeight[b] * std::log(bandMedian(profile.bands[b], kY));
    return std::exp(logSigma);
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

#include "settings/auto_strength.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <iterator>

namespace calmora {

namespace {

// The rule was fitted by tools/auto_strength/fit.py on the quality kit's
// photos (six photos, three cameras at ISO 800, 3200 and 12800, PNG and
// JPEG), each photo held out in turn, among candidates that
// tools/auto_strength/search.py found; rerun them to refit and copy the table.

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

// Below kUntouchedBelow the picture is saved untouched. A picture without
// noise, such as a smooth synthetic gradient, reads about 0.9: its
// quantisation steps look like fine noise, and it has no colour noise to
// discount them. The kit's quietest photos (ISO 800, about 0.6 levels of true
// noise) read 0.6 to 1.4 and gain a little from the lightest row, a fifth of
// a dB on average, which the untouched range gives up so as not to smooth a
// clean picture. With sharpening off and every suppression at zero the filter
// leaves an 8-bit picture exactly as it was; what the rows cost a clean
// picture is their smoothing and sharpening alone.
constexpr double kUntouchedBelow = 1.0;

struct Row {
    double from;
    FilterSettings values;
};

// Found by a coordinate descent over the sixteen settings per range of noise
// (tools/auto_strength/search.py, on four of the six photos), then chosen per
// range by fit.py, each scored as PSNR gain plus 10 dB per unit of SSIM gain.
// What the search found, against the presets: a little sharpening (-3)
// rather than none or the presets' 0; the processing degree forced
// ("Normal" for weak and mild noise, "High" above) rather than left to the
// engine; the coarser bands barely suppressed (for mild noise only the
// finest band is) with their thresholds lowered, since white noise has faded
// there and what they carry is picture; colour thresholds far below the
// measured level except for the weakest noise, which instead suppresses
// colour and the mid band lightly (30 %). Columns: degree, lumaLevel,
// colorLevel, freqLevel0..3, sharpening, crFactor, cbFactor,
// lumaSuppression, colorSuppression, freqSuppression0..3.
const std::array<Row, 4> kRows = { {
    { 1.0, { 2, -12, 20, { 16, -20, -20, 0 }, -3, 20, 20, 12, 6, { 18, 6, 2, 0 } } },
    { 1.1, { 2, -8, -12, { 8, -20, -20, 0 }, -3, 20, 20, 14, 12, { 20, 0, 0, 0 } } },
    { 2.0, { 1, -4, -16, { -4, -12, -16, 0 }, -3, 20, 20, 19, 18, { 20, 14, 0, 0 } } },
    { 4.0, { 1, -4, -4, { -4, -4, -12, 0 }, -3, 20, 20, 20, 20, { 20, 16, 4, 0 } } },
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

#include "settings/derive_params.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace calmora {

namespace {

// Values in their fields' ranges give level factors from -100 to 1700 and
// suppression factors from 0 to 128. Values from elsewhere (a foreign stored
// preset) must not overflow: inputs are first limited to +-2^16, which leaves
// every product below 2^50 in 64 bits, and results are clamped to 16 bits.
// Integer divisions truncate toward zero.
constexpr int64_t kInputBound = 1 << 16;

int64_t wide(int32_t value)
{
    return std::clamp<int64_t>(value, -kInputBound, kInputBound);
}

int16_t toFactor(int64_t value)
{
    return static_cast<int16_t>(std::clamp<int64_t>(
        value, std::numeric_limits<int16_t>::min(), std::numeric_limits<int16_t>::max()));
}

int16_t levelFactor(int32_t channelLevel, int32_t bandLevel)
{
    return toFactor((wide(channelLevel) + 20) * (wide(bandLevel) + 20) * 25 / 100 - 100);
}

int16_t weightedColorFactor(int32_t colorLevel, int32_t channelWeight, int32_t bandLevel)
{
    const int64_t weighted = (wide(colorLevel) + 20) * wide(channelWeight) * 25 / 100;
    return toFactor(weighted * (wide(bandLevel) + 20) * 5 / 100 - 100);
}

// The product of two suppressions is a percentage; it becomes a strength in
// 1/128 units through a double-precision scaling truncated toward zero.
int16_t suppressionFactor(int32_t channelSuppression, int32_t bandSuppression)
{
    const int64_t percent = wide(channelSuppression) * wide(bandSuppression) * 25 / 100;
    return toFactor(static_cast<int64_t>(std::trunc(static_cast<double>(percent) * 128.0 / 100.0)));
}

void writeSuppressionAndMode(const FilterSettings& settings, FilterParams& params)
{
    for (int b = 0; b < kBandCount; ++b) {
        params.suppressionFactor[b][kY]
            = suppressionFactor(settings.lumaSuppression, settings.freqSuppression[b]);
        const int16_t colour
            = suppressionFactor(settings.freqSuppression[b], settings.colorSuppression);
        params.suppressionFactor[b][kCr] = colour;
        params.suppressionFactor[b][kCb] = colour;
    }
    params.sharpenAmount = static_cast<int32_t>(wide(settings.sharpening) + 5);
    params.classSelector = settings.degree;
}

} // namespace

bool deriveDocumentParams(const FilterSettings& settings, FilterParams& params)
{
    const FilterParams before = params;
    for (int b = 0; b < kBandCount; ++b) {
        params.levelFactor[b][kY] = levelFactor(settings.lumaLevel, settings.freqLevel[b]);
        params.levelFactor[b][kCr]
            = weightedColorFactor(settings.colorLevel, settings.crFactor, settings.freqLevel[b]);
        params.levelFactor[b][kCb]
            = weightedColorFactor(settings.colorLevel, settings.cbFactor, settings.freqLevel[b]);
    }
    writeSuppressionAndMode(settings, params);
    return std::memcmp(before.levelFactor, params.levelFactor, sizeof params.levelFactor) != 0
        || std::memcmp(
               before.suppressionFactor, params.suppressionFactor, sizeof params.suppressionFactor)
        != 0
        || before.sharpenAmount != params.sharpenAmount
        || before.classSelector != params.classSelector;
}

void derivePresetParams(const FilterSettings& settings, FilterParams& params)
{
    for (int b = 0; b < kBandCount; ++b) {
        params.levelFactor[b][kY] = levelFactor(settings.lumaLevel, settings.freqLevel[b]);
        const int16_t colour = levelFactor(settings.colorLevel, settings.freqLevel[b]);
        params.levelFactor[b][kCr] = colour;
        params.levelFactor[b][kCb] = colour;
    }
    writeSuppressionAndMode(settings, params);
}

} // namespace calmora

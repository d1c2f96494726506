#include "settings/auto_strength.h"

#include "engine/engine.h"
#include "settings/derive_params.h"
#include "settings/learned_reading.h"
#include "settings/noise_estimate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <limits>
#include <ostream>
#include <vector>

namespace calmora {
namespace {

// A picture in the engine's layout with its clean original, so that the
// true error of a filtering can be measured.
struct Picture {
    int32_t width = 0;
    int32_t height = 0;
    int32_t bitsPerPixel = 32;
    int32_t stride = 0;
    std::vector<uint8_t> noisy;
    std::vector<uint8_t> clean;

    ImageDesc desc(std::vector<uint8_t>& pixels) const
    {
        return { 0, width, height, stride, 1, static_cast<uint16_t>(bitsPerPixel), pixels.data() };
    }
};

// Deterministic deviates, as the platform's distributions are not.
struct Deviates {
    uint64_t state;
    double uniform()
    {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<double>(state >> 11) * 0x1.0p-53;
    }
    double normal()
    {
        const double u = uniform() + 1e-12;
        return std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * uniform());
    }
};

// Soft gradients with a hard-edged disc, `texture` levels of fine stripes
// over the left three fifths (or of grey grain all over, which leaves no
// flat patch), and white noise of `sigma` levels per channel (or, as a
// JPEG leaves it, the same deviate in every channel and a faint, smooth
// colour one).
Picture makePicture(int32_t width, int32_t height, int32_t bitsPerPixel, double sigma,
    double texture = 0.0, bool grain = false, bool greyNoise = false)
{
    Picture p;
    p.width = width;
    p.height = height;
    p.bitsPerPixel = bitsPerPixel;
    p.stride = static_cast<int32_t>(rowStride(width, height, bitsPerPixel,
        static_cast<int64_t>(width) * (bitsPerPixel / 8) * height));
    p.noisy.assign(static_cast<size_t>(p.stride) * height, 0);
    p.clean = p.noisy;
    Deviates random { 42 };
    // Random values two pixels apart, joined linearly: smooth at the finest
    // scale, like gravel or glitter seen from afar.
    auto grainAt = [](int32_t x, int32_t y) {
        auto knot = [](uint32_t i, uint32_t j) {
            uint32_t h = i * 0x9E3779B1u ^ j * 0x85EBCA77u;
            h = (h ^ (h >> 15)) * 0x2C1B3C6Du;
            return static_cast<double>(h >> 8) / (1u << 24) * 2.0 - 1.0;
        };
        const uint32_t i = static_cast<uint32_t>(x) / 2;
        const uint32_t j = static_cast<uint32_t>(y) / 2;
        const double u = (x % 2) / 2.0;
        const double v = (y % 2) / 2.0;
        return (1 - v) * ((1 - u) * knot(i, j) + u * knot(i + 1, j))
            + v * ((1 - u) * knot(i, j + 1) + u * knot(i + 1, j + 1));
    };
    const int bytes = bitsPerPixel / 8;
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            const double u = static_cast<double>(x) / width;
            const double v = static_cast<double>(y) / height;
            double rgb[3] = { 70 + 120 * u, 90 + 80 * v, 150 - 60 * u * v };
            const double dx = x - 0.6 * width;
            const double dy = y - 0.4 * height;
            if (dx * dx + dy * dy < 0.05 * width * height) {
                rgb[0] = 200;
                rgb[1] = 60;
                rgb[2] = 40;
            }
            const double stripes = grain ? texture * grainAt(x, y)
                : x < 3 * width / 5        ? texture * std::sin(x * 1.3 + std::sin(y * 0.2) * 4)
                                           : 0.0;
            const size_t at = static_cast<size_t>(y) * p.stride + static_cast<size_t>(x) * bytes;
            const double shared = greyNoise ? random.normal() : 0.0;
            for (int c = 0; c < std::min(bytes, 3); ++c) {
                const double value = rgb[2 - c] + stripes;
                const double deviate = greyNoise
                    ? shared + 1.5 * grainAt(x + 2 * 7919 * (c + 1), y)
                    : random.normal();
                p.clean[at + c] = static_cast<uint8_t>(std::clamp(std::lround(value), 0L, 255L));
                p.noisy[at + c]
                    = static_cast<uint8_t>(std::clamp(std::lround(value + sigma * deviate), 0L, 255L));
            }
            if (bytes == 4)
                p.clean[at + 3] = p.noisy[at + 3] = 255;
        }
    }
    return p;
}

NoiseProfile measure(Picture& picture, bool smooth = true)
{
    TileList tiles;
    buildTileList(picture.width, picture.height, tiles);
    NoiseProfile profile;
    resetProfile(profile, false);
    EXPECT_TRUE(buildProfile(picture.desc(picture.noisy), tiles, profile, nullptr, nullptr));
    if (smooth)
        smoothProfile(profile);
    return profile;
}

// The mean squared error per sample of `pixels` against the clean picture.
double errorOf(const Picture& picture, const std::vector<uint8_t>& pixels)
{
    const int bytes = picture.bitsPerPixel / 8;
    const int channels = std::min(bytes, 3);
    double sum = 0.0;
    for (int32_t y = 0; y < picture.height; ++y)
        for (int32_t x = 0; x < picture.width; ++x)
            for (int c = 0; c < channels; ++c) {
                const size_t at = static_cast<size_t>(y) * picture.stride + static_cast<size_t>(x) * bytes + c;
                sum += (pixels[at] - picture.clean[at]) * (pixels[at] - picture.clean[at]);
            }
    return sum / (static_cast<double>(picture.width) * picture.height * channels);
}

// The error that filtering the whole picture with `values` leaves.
double trueError(Picture& picture, const NoiseProfile& profile, const FilterSettings& values)
{
    FilterParams params;
    deriveDocumentParams(values, params);
    std::vector<uint8_t> output = picture.noisy;
    TileList tiles;
    buildTileList(picture.width, picture.height, tiles);
    EXPECT_TRUE(filterImage(picture.desc(picture.noisy), picture.desc(output), nullptr, nullptr,
        picture.bitsPerPixel, tiles, profile, params, nullptr, nullptr));
    return errorOf(picture, output);
}

struct Case {
    const char* name;
    int32_t width;
    int32_t height;
    int32_t bitsPerPixel;
    double sigma;
    double texture;
    bool filters;
    // Above 0: the picture is filtered with a learned profile, its own one
    // with the finest band's noise scaled by this; the noise level read is
    // then `lowered` times the pixels' own.
    double learned = 0.0;
    double lowered = 1.0;
    bool grain = false;
    // Above 0: what the photo teaches a learned-profile store (its finest
    // band's luminance) lies within this share of what the engine reads on
    // the same picture and noise without the stripes.
    double taught = 0.0;
    bool greyNoise = false;
};

void PrintTo(const Case& row, std::ostream* os)
{
    *os << row.name;
}

// The luminance deviation of white noise of sigma per R, G, B channel.
double lumaSigma(double sigma)
{
    return sigma * std::sqrt(0.299 * 0.299 + 0.587 * 0.587 + 0.114 * 0.114);
}

class AutoStrengthCase : public ::testing::TestWithParam<Case> { };

// The noise level is read from the pixels, texture or not; every candidate's
// estimate follows its true error closely enough to choose by; a clean
// picture is left as it is; and the values stay in their ranges.
TEST_P(AutoStrengthCase, EstimatesFollowTheTrueErrorAndTheChoiceTheNoise)
{
    const Case& row = GetParam();
    Picture picture
        = makePicture(row.width, row.height, row.bitsPerPixel, row.sigma, row.texture, row.grain, row.greyNoise);
    const NoiseProfile own = measure(picture);
    const bool learned = row.learned > 0.0;
    NoiseProfile profile = own;
    for (auto& point : profile.bands[0].noise)
        for (int16_t& value : point)
            value = learned ? static_cast<int16_t>(std::lround(value * row.learned)) : value;
    const std::vector<uint8_t> before = picture.noisy;
    const AutoStrength choice
        = chooseAutoStrength(picture.desc(picture.noisy), profile, 2, learned ? &own : nullptr);
    EXPECT_EQ(picture.noisy, before);
    EXPECT_EQ(choice.filter, row.filters);
    // A learned profile that reads clearly less than the own one lowers the
    // noise; one that reads about as much or more changes nothing.
    EXPECT_EQ(choice.learnedNoise, row.lowered < 1.0);
    const double expected
        = (row.bitsPerPixel == 8 || row.greyNoise ? row.sigma : lumaSigma(row.sigma)) * row.lowered;
    EXPECT_NEAR(choice.noiseLevel, expected, 0.3 * expected + 0.3);
    // Caution only takes a lighter choice whose estimate is near the best.
    double lowest = std::numeric_limits<double>::infinity();
    for (const AutoCandidate& candidate : choice.candidates)
        lowest = std::min(lowest, candidate.estimatedError);
    if (choice.filter && !choice.cautious) {
        EXPECT_EQ(choice.candidates[static_cast<size_t>(choice.chosen)].estimatedError, lowest);
    }
    ASSERT_FALSE(choice.candidates.empty());
    ASSERT_GE(choice.chosen, 0);
    ASSERT_LT(choice.chosen, static_cast<int>(choice.candidates.size()));
    EXPECT_EQ(choice.values, choice.candidates[static_cast<size_t>(choice.chosen)].values);
    if (row.taught > 0.0) {
        const NoiseProfile raw = measure(picture, false);
        const NoiseProfile taught = learnedReading(raw, estimatePixelNoise(picture.desc(picture.noisy)));
        Picture plain = makePicture(row.width, row.height, row.bitsPerPixel, row.sigma);
        const NoiseBand& truth = measure(plain, false).bands[0];
        std::vector<double> ratios;
        for (int p = 0; p < raw.bands[0].pointCount; ++p) {
            EXPECT_LE(taught.bands[0].noise[p][kY], raw.bands[0].noise[p][kY]) << "never raised";
            if (raw.bands[0].weight[p][kY] >= 8 && truth.weight[p][kY] >= 8)
                ratios.push_back(static_cast<double>(taught.bands[0].noise[p][kY]) / truth.noise[p][kY]);
        }
        ASSERT_FALSE(ratios.empty());
        std::nth_element(ratios.begin(), ratios.begin() + ratios.size() / 2, ratios.end());
        EXPECT_NEAR(ratios[ratios.size() / 2], 1.0, row.taught);
    }
    const double untouched = errorOf(picture, picture.noisy);
    for (const AutoCandidate& candidate : choice.candidates) {
        FilterSettings values = candidate.values;
        EXPECT_TRUE(sanitiseFilterSettings(values).isEmpty());
        // At 20 the colour factors make the document's derivation (what the
        // pane and the batch use) equal a preset's.
        EXPECT_EQ(values.crFactor, 20);
        EXPECT_EQ(values.cbFactor, 20);
        ASSERT_TRUE(std::isfinite(candidate.estimatedError));
        // Rows whose regions only sample the picture are not compared with
        // the whole picture's error; white noise lets the estimate be close.
        if (static_cast<int64_t>(row.width) * row.height <= 400000 && row.sigma > 0.0
            && !choice.learnedNoise) {
            EXPECT_NEAR(candidate.estimatedError, trueError(picture, profile, candidate.values),
                0.2 * untouched + 0.3);
        }
    }
}

const Case kCases[] = {
    { "clean gradient", 192, 160, 32, 0.0, 0.0, false },
    { "clean texture", 192, 160, 32, 0.0, 12.0, false },
    { "light noise", 192, 160, 32, 2.0, 0.0, true },
    { "strong noise", 192, 160, 32, 12.0, 0.0, true },
    { "strong noise on texture", 192, 160, 32, 12.0, 12.0, true },
    { "light noise on stronger texture", 192, 160, 32, 2.0, 6.0, true, 0.0, 1.0, false, 0.2 },
    // No flat patch anywhere: only the colour differences, which grey grain
    // leaves alone, tell that the grain is not smoothed noise.
    { "light noise under grain all over", 192, 160, 32, 2.0, 8.0, false, 0.0, 1.0, true },
    // Nor does smoothed noise ever leave the colour differences this far
    // below the luminance.
    { "light noise without colour under grain all over", 192, 160, 32, 1.5, 16.0, false, 0.0, 1.0, true, 0.0,
        true },
    { "grey", 192, 160, 8, 10.0, 0.0, true },
    { "24 bits per pixel", 190, 161, 24, 10.0, 0.0, true },
    { "sampled by regions", 720, 600, 32, 10.0, 4.0, true, 0.0, 1.0, false, 0.2 },
    { "learned profile reads far less", 192, 160, 32, 10.0, 6.0, true, 0.35, 0.5 },
    { "learned profile reads a little less", 192, 160, 32, 6.0, 0.0, true, 0.9 },
    { "learned profile reads more", 192, 160, 32, 6.0, 0.0, true, 1.5 },
};

INSTANTIATE_TEST_SUITE_P(Pictures, AutoStrengthCase, ::testing::ValuesIn(kCases),
    [](const ::testing::TestParamInfo<Case>& info) {
        std::string name = info.param.name;
        for (char& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c)))
                c = '_';
        return name;
    });

// Jobs run side by side in any order; the sums are made in one order, so
// the estimates are the same to the last bit with any number of threads, and
// with the noise estimate given as learning made it.
TEST(AutoStrength, ThreadsDoNotChangeTheChoice)
{
    Picture picture = makePicture(160, 128, 32, 6.0, 3.0);
    const NoiseProfile profile = measure(picture);
    const AutoStrength one = chooseAutoStrength(picture.desc(picture.noisy), profile, 1);
    const PixelNoise noise = estimatePixelNoise(picture.desc(picture.noisy));
    for (const AutoStrength& other :
        { chooseAutoStrength(picture.desc(picture.noisy), profile, 3),
            chooseAutoStrength(picture.desc(picture.noisy), profile, 1, nullptr, &noise) }) {
        ASSERT_EQ(one.candidates.size(), other.candidates.size());
        for (size_t c = 0; c < one.candidates.size(); ++c)
            EXPECT_EQ(one.candidates[c].estimatedError, other.candidates[c].estimatedError);
        EXPECT_EQ(one.untouchedError, other.untouchedError);
        EXPECT_EQ(one.chosen, other.chosen);
    }
}

// What the engine refuses or cannot be judged leaves the picture untouched,
// with values still in range for a front end that filters regardless.
TEST(AutoStrength, UnusableInputIsLeftAlone)
{
    Picture picture = makePicture(64, 48, 32, 8.0);
    const NoiseProfile profile = measure(picture);
    NoiseProfile noBands = profile;
    noBands.bandCount = 0;
    ImageDesc noPixels = picture.desc(picture.noisy);
    noPixels.pixels = nullptr;
    ImageDesc highDepth = picture.desc(picture.noisy);
    highDepth.bitsPerPixel = 48;
    Picture tiny = makePicture(3, 2, 32, 8.0);
    struct Row {
        const char* name;
        ImageDesc desc;
        const NoiseProfile* profile;
    };
    const Row rows[] = {
        { "profile without bands", picture.desc(picture.noisy), &noBands },
        { "no pixels", noPixels, &profile },
        { "high depth", highDepth, &profile },
        { "3 x 2 pixels", tiny.desc(tiny.noisy), &profile },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const AutoStrength choice = chooseAutoStrength(row.desc, *row.profile);
        EXPECT_FALSE(choice.filter);
        EXPECT_TRUE(std::isfinite(choice.noiseLevel));
        FilterSettings values = choice.values;
        EXPECT_TRUE(sanitiseFilterSettings(values).isEmpty());
    }
}

} // namespace
} // namespace calmora

#include "test_images.h"

#include "engine/engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace calmora::test {

ImageDesc TestImage::desc()
{
    ImageDesc d;
    d.width = width;
    d.height = height;
    d.stride = static_cast<int32_t>(stride);
    d.bitsPerPixel = static_cast<uint16_t>(bitsPerPixel);
    d.pixels = pixels.data();
    return d;
}

uint32_t TestRandom::next()
{
    m_state ^= m_state << 13;
    m_state ^= m_state >> 7;
    m_state ^= m_state << 17;
    return static_cast<uint32_t>(m_state >> 32);
}

double TestRandom::gaussian()
{
    double sum = 0;
    for (int i = 0; i < 12; ++i)
        sum += next() / 4294967296.0;
    return sum - 6.0;
}

int64_t strideFor(int32_t width, int32_t bitsPerPixel)
{
    const int64_t rowBytes = static_cast<int64_t>(width) * (bitsPerPixel / 8);
    return bitsPerPixel == 24 ? (rowBytes + 3) / 4 * 4 : rowBytes;
}

namespace {

TestImage blank(int32_t width, int32_t height, int32_t bitsPerPixel)
{
    TestImage image;
    image.width = width;
    image.height = height;
    image.bitsPerPixel = bitsPerPixel;
    image.stride = strideFor(width, bitsPerPixel);
    image.pixels.assign(static_cast<size_t>(image.stride * height), 0);
    return image;
}

// Writes a colour (0..1 per channel, blue green red) into pixel (x, y).
void put(TestImage& image, int32_t x, int32_t y, const double bgr[3])
{
    uint8_t* p = image.pixels.data() + y * image.stride;
    auto to8 = [](double v) {
        return static_cast<uint8_t>(std::clamp(std::lround(v * 255.0), 0L, 255L));
    };
    auto to16 = [](double v) {
        return static_cast<uint16_t>(std::clamp(std::lround(v * 65535.0), 0L, 65535L));
    };
    switch (image.bitsPerPixel) {
    case 32:
    case 24: {
        const int bytes = image.bitsPerPixel / 8;
        for (int c = 0; c < 3; ++c)
            p[x * bytes + c] = to8(bgr[c]);
        if (bytes == 4)
            p[x * 4 + 3] = static_cast<uint8_t>(x * 7 + y);
        break;
    }
    case 8:
        p[x] = to8((bgr[0] + bgr[1] + bgr[2]) / 3.0);
        break;
    case 48:
        for (int c = 0; c < 3; ++c) {
            const uint16_t v = to16(bgr[c]);
            p[x * 6 + c * 2] = static_cast<uint8_t>(v & 0xFF);
            p[x * 6 + c * 2 + 1] = static_cast<uint8_t>(v >> 8);
        }
        break;
    case 16: {
        const uint16_t v = to16((bgr[0] + bgr[1] + bgr[2]) / 3.0);
        p[x * 2] = static_cast<uint8_t>(v & 0xFF);
        p[x * 2 + 1] = static_cast<uint8_t>(v >> 8);
        break;
    }
    default:
        break;
    }
}

} // namespace

TestImage makeFlatImage(int32_t width, int32_t height, int32_t bitsPerPixel, uint8_t value)
{
    TestImage image = blank(width, height, bitsPerPixel);
    const double v = value / 255.0;
    const double bgr[3] = { v, v, v };
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x)
            put(image, x, y, bgr);
    return image;
}

TestImage makeSceneImage(
    int32_t width, int32_t height, int32_t bitsPerPixel, double sigma, uint64_t seed, bool texture)
{
    TestImage image = blank(width, height, bitsPerPixel);
    TestRandom random(seed);
    const double noise = sigma / 255.0;
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            const double u = static_cast<double>(x) / std::max(1, width - 1);
            const double v = static_cast<double>(y) / std::max(1, height - 1);
            double bgr[3] = { 0.25 + 0.5 * u, 0.2 + 0.6 * v, 0.7 - 0.4 * u * v };
            // A disc and a bar with hard edges, and a fine ripple.
            const double dx = x - width * 0.35, dy = y - height * 0.4;
            if (dx * dx + dy * dy < (width * 0.15) * (height * 0.15)) {
                bgr[0] = 0.15;
                bgr[1] = 0.35;
                bgr[2] = 0.85;
            }
            if (x > width * 0.6 && x < width * 0.7)
                bgr[0] = bgr[1] = bgr[2] = 0.92;
            const double ripple = texture ? 0.04 * std::sin(x * 0.9) * std::cos(y * 0.7) : 0.0;
            for (double& c : bgr)
                c += ripple + noise * random.gaussian();
            put(image, x, y, bgr);
        }
    }
    return image;
}

NoiseProfile makeSyntheticProfile(int scale)
{
    NoiseProfile profile;
    resetProfile(profile, false);
    for (int b = 0; b < kBandCount; ++b) {
        for (int p = 0; p < kPointCount; ++p) {
            profile.bands[b].noise[p][kY] = static_cast<int16_t>(scale * (60 + 6 * p) / (b + 1));
            profile.bands[b].noise[p][kCr] = static_cast<int16_t>(scale * 45 / (b + 1));
            profile.bands[b].noise[p][kCb] = static_cast<int16_t>(scale * 50 / (b + 1));
            for (int c = 0; c < kChannels; ++c)
                profile.bands[b].weight[p][c] = 100;
        }
    }
    return profile;
}

FilterParams makeParams(int16_t lumaSuppression, int16_t colourSuppression, int32_t sharpenAmount,
    int32_t classSelector, int16_t levelFactor)
{
    FilterParams params;
    for (int b = 0; b < kBandCount; ++b) {
        params.suppressionFactor[b][kY] = lumaSuppression;
        params.suppressionFactor[b][kCr] = colourSuppression;
        params.suppressionFactor[b][kCb] = colourSuppression;
        for (int c = 0; c < kChannels; ++c)
            params.levelFactor[b][c] = levelFactor;
    }
    params.sharpenAmount = sharpenAmount;
    params.classSelector = classSelector;
    return params;
}

void fillThresholds(LevelParams& params, int32_t threshold)
{
    for (auto& level : params.scaledNoise)
        for (auto& channel : level)
            for (int32_t& bin : channel)
                bin = threshold;
}

std::vector<KernelSet> kernelSets()
{
    const KernelSet before = activeKernelSet();
    std::vector<KernelSet> sets;
    for (KernelSet set : { KernelSet::kScalar, KernelSet::kVector, KernelSet::kSse4,
             KernelSet::kAvx2, KernelSet::kAvx512 }) {
        if (selectKernelSet(set))
            sets.push_back(set);
    }
    selectKernelSet(before);
    return sets;
}

uint64_t checksum(const uint8_t* data, size_t size)
{
    uint64_t hash = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < size; ++i) {
        hash ^= data[i];
        hash *= 0x100000001b3ull;
    }
    return hash;
}

std::string hex(uint64_t value)
{
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

namespace {

// How a test picture's bytes split into samples.
struct SampleLayout {
    int32_t channels;
    int32_t sampleBytes;
};

SampleLayout sampleLayout(int32_t bitsPerPixel)
{
    if (bitsPerPixel == 16 || bitsPerPixel == 48)
        return { bitsPerPixel / 16, 2 };
    return { bitsPerPixel / 8, 1 };
}

int32_t sampleAt(const std::vector<uint8_t>& bytes, int64_t offset, int32_t sampleBytes)
{
    if (sampleBytes == 1)
        return bytes[static_cast<size_t>(offset)];
    uint16_t value = 0;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

// Grey for one channel, colour from the first three of more; a fourth is left out.
void writePnm(const std::string& path, const std::vector<uint8_t>& bytes, const TestImage& like)
{
    const SampleLayout layout = sampleLayout(like.bitsPerPixel);
    const int32_t shown = layout.channels >= 3 ? 3 : 1;
    std::ofstream out(path, std::ios::binary);
    out << (shown == 3 ? "P6" : "P5") << '\n'
        << like.width << ' ' << like.height << '\n'
        << (layout.sampleBytes == 2 ? 65535 : 255) << '\n';
    for (int32_t y = 0; y < like.height; ++y) {
        for (int32_t x = 0; x < like.width; ++x) {
            for (int32_t c = shown - 1; c >= 0; --c) { // stored blue first
                const int64_t offset = y * like.stride
                    + (static_cast<int64_t>(x) * layout.channels + c) * layout.sampleBytes;
                const int32_t value = sampleAt(bytes, offset, layout.sampleBytes);
                if (layout.sampleBytes == 2)
                    out.put(static_cast<char>(value >> 8));
                out.put(static_cast<char>(value & 0xff));
            }
        }
    }
}

} // namespace

void expectChecksum(const std::string& name, const std::vector<uint8_t>& pixels,
    const TestImage& like, uint64_t expected, const std::vector<uint8_t>& reference)
{
    const uint64_t actual = checksum(pixels.data(), pixels.size());
    if (actual == expected)
        return;
    std::string stem = name;
    for (char& c : stem) {
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '-';
    }
    const std::string folder = ::testing::TempDir();
    const std::string picture = folder + "calmora-" + stem + ".pnm";
    const std::string map = folder + "calmora-" + stem + "-difference.pgm";
    writePnm(picture, pixels, like);

    const SampleLayout layout = sampleLayout(like.bitsPerPixel);
    std::vector<int32_t> largest(static_cast<size_t>(like.width) * like.height, 0);
    int32_t worst = -1;
    int32_t worstX = 0, worstY = 0, worstChannel = 0, got = 0, wanted = 0;
    const bool comparable = reference.size() == pixels.size();
    for (int32_t y = 0; comparable && y < like.height; ++y) {
        for (int32_t x = 0; x < like.width; ++x) {
            for (int32_t c = 0; c < layout.channels; ++c) {
                const int64_t offset = y * like.stride
                    + (static_cast<int64_t>(x) * layout.channels + c) * layout.sampleBytes;
                const int32_t a = sampleAt(pixels, offset, layout.sampleBytes);
                const int32_t b = sampleAt(reference, offset, layout.sampleBytes);
                const int32_t difference = std::abs(a - b);
                int32_t& cell = largest[static_cast<size_t>(y) * like.width + x];
                cell = std::max(cell, difference);
                if (difference > worst) {
                    worst = difference;
                    worstX = x, worstY = y, worstChannel = c, got = a, wanted = b;
                }
            }
        }
    }
    std::ofstream out(map, std::ios::binary);
    out << "P5\n" << like.width << ' ' << like.height << "\n255\n";
    for (const int32_t difference : largest)
        out.put(static_cast<char>(worst > 0 ? difference * 255 / worst : 0));

    std::ostringstream where;
    if (!comparable)
        where << "the reference has another size";
    else if (worst == 0)
        where << "every sample equals the reference's: the reference strays too";
    else
        where << "largest difference " << worst << " at x " << worstX << ", y " << worstY
              << ", channel " << worstChannel << ": " << got << " where the reference has "
              << wanted;
    ADD_FAILURE() << name << ": checksum " << hex(actual) << ", expected " << hex(expected)
                  << "\n  picture: " << picture << "\n  difference (brightest = largest): " << map
                  << "\n  " << where.str();
}

} // namespace calmora::test

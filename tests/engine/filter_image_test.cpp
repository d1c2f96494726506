#include "engine/engine.h"
#include "test_images.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace calmora {
namespace {

using test::TestImage;

// A copy of `pixels` that starts `offset` bytes past an aligned address.
struct ShiftedBuffer {
    std::vector<uint8_t> storage;
    int32_t offset;

    ShiftedBuffer(const std::vector<uint8_t>& pixels, int32_t offset)
        : storage(pixels.size() + static_cast<size_t>(offset))
        , offset(offset)
    {
        std::copy(pixels.begin(), pixels.end(), storage.begin() + offset);
    }
    uint8_t* data() { return storage.data() + offset; }
    std::vector<uint8_t> pixels() const { return { storage.begin() + offset, storage.end() }; }
};

// Filters an 8-bit-path image from a copy of itself; returns the display.
// `offset` moves both buffers off their alignment.
std::vector<uint8_t> filter8(TestImage& original, const NoiseProfile& profile,
    const FilterParams& params, int32_t threads = 1, int32_t offset = 0)
{
    ShiftedBuffer from(original.pixels, offset);
    ShiftedBuffer to(original.pixels, offset);
    ImageDesc originalDesc = original.desc();
    ImageDesc displayDesc = original.desc();
    originalDesc.pixels = from.data();
    displayDesc.pixels = to.data();
    TileList tiles;
    buildTileList(original.width, original.height, tiles);
    EXPECT_TRUE(filterImage(originalDesc, displayDesc, nullptr, nullptr, original.bitsPerPixel,
        tiles, profile, params, nullptr, nullptr, nullptr, threads));
    return to.pixels();
}

// A 16-bit-per-channel image: its display of 24 or 8 bits per pixel and the
// filtered high-depth result.
struct HighDepthResult {
    std::vector<uint8_t> display;
    std::vector<uint8_t> high;
};

HighDepthResult filter16(TestImage& original, const NoiseProfile& profile,
    const FilterParams& params, int32_t offset = 0)
{
    const int32_t displayDepth = original.bitsPerPixel / 2;
    TestImage display = test::makeFlatImage(original.width, original.height, displayDepth, 0);
    ShiftedBuffer from(original.pixels, offset);
    ShiftedBuffer high(std::vector<uint8_t>(original.pixels.size(), 0), offset);
    TileList tiles;
    buildTileList(original.width, original.height, tiles);
    ImageDesc none = display.desc();
    EXPECT_TRUE(filterImage(none, display.desc(), from.data(), high.data(), original.bitsPerPixel,
        tiles, profile, params, nullptr, nullptr));
    return { display.pixels, high.pixels() };
}

const int32_t kDepths[] = { 32, 24, 8, 48, 16 };

TEST(FilterImage, ConstantImageStaysConstantAtEveryDepth)
{
    const NoiseProfile profile = test::makeSyntheticProfile(3);
    const FilterParams params = test::makeParams(128, 128, 10, 0);
    for (int32_t depth : kDepths) {
        SCOPED_TRACE(depth);
        TestImage image = test::makeFlatImage(70, 50, depth, 128);
        const std::vector<uint8_t> pixels = depth == 48 || depth == 16
            ? filter16(image, profile, params).high
            : filter8(image, profile, params);
        const int32_t bytes = depth / 8;
        for (int32_t y = 0; y < image.height; ++y) {
            for (int32_t x = 0; x < image.width * bytes; ++x) {
                const size_t at = static_cast<size_t>(y * image.stride + x);
                // Grey 128 converts in and out exactly in the 8-bit path; the
                // 16-bit path truncates, so it only has to stay close.
                if (bytes == 2 || bytes == 6) {
                    if (x % 2 == 1) {
                        ASSERT_LE(std::abs(pixels[at] - image.pixels[at]), 1) << "byte " << at;
                    }
                } else {
                    ASSERT_EQ(pixels[at], image.pixels[at]) << "(" << x / bytes << "," << y << ")";
                }
                if (bytes != 4 || x % 4 != 3) {
                    ASSERT_EQ(pixels[at], pixels[static_cast<size_t>(x)])
                        << "not constant at " << at;
                }
            }
        }
    }
}

TEST(FilterImage, FiltersNoiseAway)
{
    // More suppression leaves a smoother image than none.
    TestImage noisy = test::makeSceneImage(200, 160, 32, 12.0, 9, false);
    TestImage clean = test::makeSceneImage(200, 160, 32, 0.0, 9, false);
    const NoiseProfile profile = test::makeSyntheticProfile(4);
    auto error = [&](const std::vector<uint8_t>& pixels) {
        int64_t sum = 0;
        for (size_t i = 0; i < pixels.size(); ++i)
            if (i % 4 != 3)
                sum += std::abs(pixels[i] - clean.pixels[i]);
        return sum;
    };
    const int64_t untouched = error(noisy.pixels);
    const int64_t filtered = error(filter8(noisy, profile, test::makeParams(128, 128, 5, 0)));
    EXPECT_LT(filtered, untouched * 3 / 4);
}

TEST(FilterImage, HighDepthDisplayShowsTheTruncatedResultUpsideDown)
{
    for (int32_t depth : { 48, 16 }) {
        SCOPED_TRACE(depth);
        TestImage image = test::makeSceneImage(90, 40, depth, 6.0, 11);
        const HighDepthResult result
            = filter16(image, test::makeSyntheticProfile(), test::makeParams(100, 100, 5, 0));
        const int32_t samples = image.width * depth / 16;
        const int64_t displayStride = test::strideFor(image.width, depth / 2);
        for (int32_t i = 0; i < image.height; ++i) {
            for (int32_t s = 0; s < samples; ++s) {
                const uint8_t high = result.high[static_cast<size_t>(
                    (image.height - 1 - i) * image.stride + 2 * s + 1)];
                ASSERT_EQ(result.display[static_cast<size_t>(i * displayStride + s)], high)
                    << "display row " << i << ", sample " << s;
            }
        }
    }
}

TEST(FilterImage, RefusesProfilesWithoutBandsAndMismatchedBuffers)
{
    TestImage image = test::makeFlatImage(20, 20, 32, 50);
    TestImage display = image;
    TileList tiles;
    buildTileList(20, 20, tiles);
    const FilterParams params = test::makeParams(128, 128, 5, 0);
    NoiseProfile empty {};
    EXPECT_FALSE(filterImage(image.desc(), display.desc(), nullptr, nullptr, 32, tiles, empty,
        params, nullptr, nullptr));
    ImageDesc narrow = image.desc();
    narrow.width = 19;
    EXPECT_FALSE(filterImage(narrow, display.desc(), nullptr, nullptr, 32, tiles,
        test::makeSyntheticProfile(), params, nullptr, nullptr));
    // A 48-bit document needs both high-depth buffers.
    EXPECT_FALSE(filterImage(image.desc(), display.desc(), nullptr, nullptr, 48, tiles,
        test::makeSyntheticProfile(), params, nullptr, nullptr));
    EXPECT_EQ(display.pixels, image.pixels);
}

TEST(FilterImage, TinyImagesAndASingleLevel)
{
    NoiseProfile oneBand = test::makeSyntheticProfile(3);
    oneBand.bandCount = 1;
    for (int32_t size : { 1, 2, 5 }) {
        SCOPED_TRACE(size);
        TestImage image = test::makeSceneImage(size, size, 32, 20.0, 12);
        filter8(image, test::makeSyntheticProfile(3), test::makeParams(128, 128, 10, 0));
        filter8(image, oneBand, test::makeParams(128, 128, 10, 0));
    }
}

// Checksums of the filtered output of fixed, generated inputs: any change of
// a single output bit shows here. Update them only for a deliberate change
// of the filter, with its reason. Every kernel set must give them, whatever
// the rows' widths (vectors filled or not) and the buffers' alignment.
struct GoldenRow {
    const char* name;
    int32_t depth;
    FilterParams params;
    int profileScale;
    uint64_t expected;
    int32_t width = 700;
    int32_t height = 630;
    int32_t offset = 0; // bytes the buffers start past an aligned address
};

TEST(FilterImage, RegressionChecksums)
{
    const FilterParams neutral = test::makeParams(89, 102, 5, 0);
    const FilterParams full = test::makeParams(128, 128, 5, 1);
    const FilterParams strong = test::makeParams(128, 128, 10, 0, 60);
    const FilterParams weak = test::makeParams(40, 60, 0, 3, -64);
    const GoldenRow rows[] = {
        { "32-bit, default preset", 32, neutral, 4, 0x1aad9b0250674e97ull },
        { "32-bit, full suppression", 32, full, 4, 0x637766e9c712981bull },
        { "32-bit, strong levels and sharpening", 32, strong, 6, 0xa51bdf91bb1abb14ull },
        { "24-bit, weak", 24, weak, 4, 0xbfc90ea51b874f4full },
        { "24-bit, default preset", 24, neutral, 4, 0xe6e5dc46be9b0ac7ull },
        { "8-bit, strong", 8, strong, 6, 0x323da5416ca7f043ull },
        { "48-bit, default preset", 48, neutral, 4, 0xaf525957369e641aull },
        { "16-bit, strong", 16, strong, 6, 0xc57d88409f44fa02ull },
        { "32-bit, one pixel", 32, neutral, 4, 0x40fdce3d767859e7ull, 1, 1, 1 },
        { "32-bit, 7 wide", 32, strong, 6, 0x067c88a5770a1396ull, 7, 90, 3 },
        { "24-bit, 15 wide", 24, neutral, 4, 0x830960ce0e7b74c5ull, 15, 80, 2 },
        { "48-bit, 17 wide", 48, strong, 6, 0xc28e868906883f74ull, 17, 70, 2 },
        { "8-bit, 33 wide", 8, neutral, 4, 0x10ebe422364ccd18ull, 33, 60, 1 },
        { "16-bit, 33 high", 16, full, 4, 0xa14415d3fe35269full, 120, 33 },
        { "32-bit, tall", 32, full, 4, 0xd20432d89e749dd5ull, 40, 1400, 1 },
        { "48-bit, wide", 48, neutral, 4, 0xad6759c3abf1a069ull, 1400, 40, 2 },
    };
    for (const GoldenRow& row : rows) {
        SCOPED_TRACE(row.name);
        TestImage image = test::makeSceneImage(row.width, row.height, row.depth, 10.0, 21);
        const NoiseProfile profile = test::makeSyntheticProfile(row.profileScale);
        // The scalar loops run first; a vector set that strays is shown against them.
        std::vector<uint8_t> reference = image.pixels;
        for (KernelSet set : test::kernelSets()) {
            const test::ActiveKernelSet active(set);
            const std::vector<uint8_t> pixels = row.depth == 48 || row.depth == 16
                ? filter16(image, profile, row.params, row.offset).high
                : filter8(image, profile, row.params, 1, row.offset);
            test::expectChecksum(std::string(row.name) + " " + kernelSetName(set), pixels, image,
                row.expected, reference);
            if (set == KernelSet::kScalar)
                reference = pixels;
        }
    }
}

} // namespace
} // namespace calmora

#include "engine/engine.h"
#include "test_images.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace calmora {
namespace {

using test::TestImage;

bool build(TestImage& image, NoiseProfile& profile, TileCallback callback = nullptr)
{
    TileList tiles;
    buildTileList(image.width, image.height, tiles);
    return buildProfile(image.desc(), tiles, profile, callback, nullptr);
}

NoiseProfile freshProfile()
{
    NoiseProfile profile;
    resetProfile(profile, false);
    return profile;
}

int32_t brightnessPoint(uint8_t grey)
{
    // Grey v has luminance 5498 * v / 64 in plane units.
    return (5498 * grey >> 6) >> 11;
}

TEST(BuildProfile, FlatImageMeasuresNoNoiseWithEvidenceAtItsBrightness)
{
    TestImage image = test::makeFlatImage(300, 260, 32, 160);
    NoiseProfile profile = freshProfile();
    ASSERT_TRUE(build(image, profile));
    const int32_t point = brightnessPoint(160);
    for (int b = 0; b < kBandCount; ++b) {
        const NoiseBand& band = profile.bands[b];
        EXPECT_EQ(band.pointCount, kPointCount);
        for (int p = 0; p < kPointCount; ++p) {
            for (int c = 0; c < kChannels; ++c) {
                SCOPED_TRACE("band " + std::to_string(b) + ", point " + std::to_string(p)
                    + ", channel " + std::to_string(c));
                EXPECT_EQ(band.noise[p][c], 1);
                if (p == point) {
                    EXPECT_GT(band.weight[p][c], 1);
                } else {
                    EXPECT_EQ(band.weight[p][c], 1);
                }
            }
        }
    }
}

TEST(BuildProfile, TooSmallForBlocksEndsAtOneEverywhere)
{
    // A 20-pixel image has no 8x8 block from level 2 on.
    TestImage image = test::makeSceneImage(20, 20, 24, 8.0, 3);
    NoiseProfile profile = freshProfile();
    ASSERT_TRUE(build(image, profile));
    for (int b = 2; b < kBandCount; ++b) {
        for (int p = 0; p < kPointCount; ++p) {
            for (int c = 0; c < kChannels; ++c) {
                EXPECT_EQ(profile.bands[b].noise[p][c], 1) << b << "," << p << "," << c;
                EXPECT_EQ(profile.bands[b].weight[p][c], 1) << b << "," << p << "," << c;
            }
        }
    }
}

TEST(BuildProfile, SecondBuildSkipsPointsWithEnoughEvidence)
{
    // Six tiles of flat grey: every weight of the grey's point exceeds 1024
    // in band 0 after one build, so a second build adds nothing there.
    TestImage image = test::makeFlatImage(1800, 1200, 32, 100);
    NoiseProfile profile = freshProfile();
    ASSERT_TRUE(build(image, profile));
    const int32_t point = brightnessPoint(100);
    for (int c = 0; c < kChannels; ++c)
        ASSERT_GT(profile.bands[0].weight[point][c], 1024) << c;
    const NoiseProfile first = profile;
    ASSERT_TRUE(build(image, profile));
    for (int c = 0; c < kChannels; ++c)
        EXPECT_EQ(profile.bands[0].weight[point][c], first.bands[0].weight[point][c]) << c;
}

TEST(BuildProfile, StoppedBuildLeavesTheProfileAsReset)
{
    TestImage image = test::makeSceneImage(700, 650, 32, 8.0, 4);
    NoiseProfile profile = freshProfile();
    profile.bands[1].noise[3][kCr] = 77;
    auto refuseLast = [](TileCallbackInfo& info) {
        return info.processed == 0 && info.tileIndex == info.tiles->count() - 1 ? 0 : 1;
    };
    EXPECT_FALSE(build(image, profile, refuseLast));
    EXPECT_EQ(profile.bandCount, kBandCount);
    EXPECT_EQ(profile.bands[1].noise[3][kCr], 77);
    for (int b = 0; b < kBandCount; ++b)
        for (int p = 0; p < kPointCount; ++p) {
            if (!(b == 1 && p == 3)) {
                EXPECT_EQ(profile.bands[b].noise[p][kY], 0);
            }
        }
}

TEST(BuildProfile, MoreInjectedNoiseIsMeasuredAsMoreNoise)
{
    double previous = -1;
    for (double sigma : { 0.0, 2.0, 4.0, 8.0, 16.0 }) {
        SCOPED_TRACE(sigma);
        TestImage image = test::makeFlatImage(640, 480, 32, 120);
        test::TestRandom random(17);
        for (size_t i = 0; i < image.pixels.size(); ++i) {
            if (i % 4 == 3)
                continue;
            const double v = 120 + sigma * random.gaussian();
            image.pixels[i] = static_cast<uint8_t>(std::clamp(v, 0.0, 255.0));
        }
        NoiseProfile profile = freshProfile();
        ASSERT_TRUE(build(image, profile));
        smoothProfile(profile);
        const int32_t point = brightnessPoint(120);
        const double luma = profile.bands[0].noise[point][kY];
        EXPECT_GT(luma, previous);
        previous = luma;
    }
}

// Checksums of whole profiles built from fixed inputs; see the filter's
// regression checksums for when to change them.
TEST(BuildProfile, RegressionChecksums)
{
    const struct {
        const char* name;
        int32_t depth, width, height;
        double sigma;
        uint64_t expected;
    } rows[] = {
        { "32-bit scene", 32, 1300, 700, 9.0, 0x13d3c1afb87ad373ull },
        { "24-bit scene", 24, 650, 610, 5.0, 0xccad2e982335eaa9ull },
        { "8-bit scene", 8, 700, 500, 12.0, 0xec8ed12309f0be95ull },
        { "32-bit, narrow", 32, 17, 300, 9.0, 0x48e84fa0e3ef5830ull },
        { "8-bit, wide", 8, 2000, 40, 12.0, 0x9d2caec87335ba36ull },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TestImage image = test::makeSceneImage(row.width, row.height, row.depth, row.sigma, 31);
        for (KernelSet set : test::kernelSets()) {
            SCOPED_TRACE(kernelSetName(set));
            const test::ActiveKernelSet active(set);
            NoiseProfile profile = freshProfile();
            ASSERT_TRUE(build(image, profile));
            smoothProfile(profile);
            uint8_t bytes[sizeof(NoiseProfile)];
            std::memcpy(bytes, &profile, sizeof bytes);
            EXPECT_EQ(test::hex(test::checksum(bytes, sizeof bytes)), test::hex(row.expected));
        }
    }
}

} // namespace
} // namespace calmora

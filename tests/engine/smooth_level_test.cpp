#include "engine/pyramid.h"
#include "test_images.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

namespace calmora {
namespace {

using PlaneFn = std::function<int32_t(int32_t, int32_t)>;

// One level with constant noise thresholds and suppression strengths.
template <typename Sample>
struct LevelFixture {
    std::unique_ptr<LevelParams> params = std::make_unique<LevelParams>();
    int16_t strengths[5][3] = {};
    PyramidLevel<Sample> level;
    PyramidLevel<Sample> child;

    LevelFixture(int32_t width, int32_t height, int32_t levelNumber, int32_t lastLevel,
        int32_t threshold, int16_t strength, const PlaneFn& y, bool grey = false)
    {
        params->lastLevel = lastLevel;
        params->suppression = strengths;
        for (auto& triple : strengths)
            for (int16_t& s : triple)
                s = strength;
        test::fillThresholds(*params, threshold);
        level.params = params.get();
        level.width = width;
        level.height = height;
        level.level = levelNumber;
        level.grey = grey;
        level.bytesPerPixel = grey ? 1 : 4;
        for (int32_t j = 0; j < height; ++j)
            for (int32_t i = 0; i < width; ++i)
                level.yIn.push_back(static_cast<Sample>(y(i, j)));
        level.crIn.assign(level.sampleCount(), 0);
        level.cbIn.assign(level.sampleCount(), 0);
        level.yOut = level.yIn;
        level.crOut = level.crIn;
        level.cbOut = level.cbIn;
        for (std::vector<uint8_t>* map : { &level.yClass, &level.crClass, &level.cbClass,
                 &level.direction, &level.smoothedDirection })
            map->assign(level.sampleCount(), 0);
    }

    void addChild()
    {
        child.bytesPerPixel = level.bytesPerPixel;
        makeChild(level, child);
        level.child = &child;
    }
};

// Centre 1064 among 1000s with thresholds of base 64: every neighbour weighs
// 63, and the full weighted mean is 1076096 / 1072 = 1003.
TEST(SmoothLuminance, CoarsestLevelBlendsTheMeanByItsSuppression)
{
    const struct {
        int16_t strength;
        int32_t expected;
    } rows[] = { { 0, 1064 }, { 64, 1033 }, { 128, 1003 } };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.strength);
        LevelFixture<int16_t> f(3, 3, 0, 0, 64 * 64, row.strength,
            [](int32_t x, int32_t y) { return x == 1 && y == 1 ? 1064 : 1000; });
        smoothLuminance(f.level, false);
        EXPECT_EQ(f.level.yOut[f.level.index(1, 1)], row.expected);
    }
}

// The walk goes on to distance 2 (where every sample is 1064) only if the
// last sample it looked at in distance 1 was not rejected.
TEST(SmoothLuminance, WalkStopsAfterADistanceEndingInARejectedSample)
{
    const struct {
        const char* name;
        int32_t outlierX, outlierY;
        bool reachesDistanceTwo;
    } rows[] = {
        { "outlier is the last sample of distance 1", 3, 4, false },
        { "outlier is the first sample of distance 1", 2, 2, true },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        LevelFixture<int16_t> f(7, 7, 0, 0, 64 * 64, 128, [&](int32_t x, int32_t y) {
            if (x == row.outlierX && y == row.outlierY)
                return 5000;
            const bool distanceOne = std::abs(x - 3) <= 1 && std::abs(y - 3) <= 1;
            return distanceOne ? 1000 : 1064;
        });
        smoothLuminance(f.level, false);
        const int32_t centre = f.level.yOut[f.level.index(3, 3)];
        if (row.reachesDistanceTwo) {
            EXPECT_GT(centre, 1000);
        } else {
            EXPECT_EQ(centre, 1000);
        }
    }
}

TEST(SmoothLuminance, DirectionSearchFollowsTheEdge)
{
    const struct {
        const char* name;
        PlaneFn onLine;
        uint8_t label;
    } rows[] = {
        { "vertical line", [](int32_t x, int32_t) { return x == 8; }, 4 },
        { "horizontal line", [](int32_t, int32_t y) { return y == 8; }, 3 },
        { "falling diagonal", [](int32_t x, int32_t y) { return x == y; }, 1 },
        { "rising diagonal", [](int32_t x, int32_t y) { return x + y == 15; }, 2 },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        LevelFixture<int16_t> f(16, 16, 0, 1, 64 * 64, 128,
            [&](int32_t x, int32_t y) { return row.onLine(x, y) ? 3000 : 1000; });
        f.level.levelClass = 1;
        for (int32_t y = 0; y < 16; ++y)
            for (int32_t x = 0; x < 16; ++x)
                if (row.onLine(x, y))
                    f.level.yClass[f.level.index(x, y)] = 1;
        f.addChild();
        smoothLuminance(f.level, true);
        for (int32_t y = 3; y < 13; ++y) {
            for (int32_t x = 3; x < 13; ++x) {
                if (row.onLine(x, y)) {
                    EXPECT_EQ(f.level.direction[f.level.index(x, y)], row.label) << x << "," << y;
                }
            }
        }
    }
}

// Class 2 at level 0 walks no distance at all: the weighted mean of the
// centre alone.
TEST(SmoothLuminance, ClassTwoAtLevelZeroKeepsEdgeSamples)
{
    LevelFixture<int16_t> f(12, 12, 0, 1, 64 * 64, 128,
        [](int32_t x, int32_t y) { return (x * 37 + y * 91) % 700 + 4000; });
    f.level.levelClass = 2;
    f.level.yClass.assign(f.level.sampleCount(), 1);
    f.addChild();
    smoothLuminance(f.level, true);
    EXPECT_EQ(f.level.yOut, f.level.yIn);
}

TEST(SmoothColour, GreyLevelIsLeftAlone)
{
    LevelFixture<int16_t> f(
        6, 6, 0, 0, 64 * 64, 128, [](int32_t x, int32_t) { return 100 * x; }, true);
    for (size_t i = 0; i < f.level.sampleCount(); ++i)
        f.level.crIn[i] = f.level.crOut[i] = static_cast<int16_t>(i * 13 % 50);
    const std::vector<int16_t> before = f.level.crOut;
    smoothColour(f.level, false);
    EXPECT_EQ(f.level.crOut, before);
}

TEST(SmoothColour, CoarsestLevelAveragesNeighboursWithinTheThreshold)
{
    // Cr 640 at the centre of zeros (w = threshold - 10): every neighbour is
    // used, so the centre takes the unweighted mean 640 / 17. Weights are
    // formed in 32 bits, so a threshold beyond 16 bits smooths just as well.
    // A neighbour too different (w < 1) closes the walk unused.
    const struct {
        const char* name;
        int32_t threshold;
        int32_t expected;
    } rows[] = {
        { "threshold 2048", 2048, 640 / 17 },
        { "threshold 40000", 40000, 640 / 17 },
        { "threshold 8: every neighbour too different", 8, 640 },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        LevelFixture<int16_t> f(
            9, 9, 0, 0, row.threshold, 128, [](int32_t, int32_t) { return 5000; });
        f.level.crIn[f.level.index(4, 4)] = 640;
        f.level.crOut = f.level.crIn;
        smoothColour(f.level, false);
        EXPECT_EQ(f.level.crOut[f.level.index(4, 4)], row.expected);
    }
}

// Centre 2000 among 1000s with class 1: the mean of the ten samples is 1200.
TEST(Sharpen, StrengthFallsWithTheLevel)
{
    const struct {
        const char* name;
        int32_t level, amount, levelClass;
        int32_t expected;
    } rows[] = {
        { "level 0, amount 5 (b = 32)", 0, 5, 0, 2266 },
        { "level 1, amount 5 (b = 15)", 1, 5, 0, 2106 },
        { "level 2, amount 5 (b = 7)", 2, 5, 0, 2046 },
        { "level 3 is never sharpened", 3, 5, 0, 2000 },
        { "amount 0 does nothing", 0, 0, 0, 2000 },
        { "level 0, class 2 (b = 25)", 0, 5, 2, 2194 },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        LevelFixture<int16_t> f(5, 5, row.level, 3, 0, 128,
            [](int32_t x, int32_t y) { return x == 2 && y == 2 ? 2000 : 1000; });
        f.level.sharpenAmount = row.amount;
        f.level.levelClass = row.levelClass;
        f.level.yClass[f.level.index(2, 2)] = 1;
        sharpen(f.level);
        EXPECT_EQ(f.level.yOut[f.level.index(2, 2)], row.expected);
    }
}

TEST(Sharpen, LeavesFlatAreasAndLowLevelsAlone)
{
    LevelFixture<int16_t> flat(9, 9, 0, 3, 0, 128, [](int32_t, int32_t) { return 7000; });
    flat.level.sharpenAmount = 10;
    flat.level.yClass.assign(flat.level.sampleCount(), 1);
    sharpen(flat.level);
    EXPECT_EQ(flat.level.yOut, flat.level.yIn);

    LevelFixture<int16_t> low(
        9, 4, 0, 3, 0, 128, [](int32_t x, int32_t) { return 1000 * (x % 2); });
    low.level.sharpenAmount = 10;
    low.level.yClass.assign(low.level.sampleCount(), 1);
    sharpen(low.level);
    EXPECT_EQ(low.level.yOut, low.level.yIn);
}

// The 8-bit path stops at white; the 16-bit path leaves that to the output
// conversion, which clamps.
TEST(Sharpen, OnlyTheEightBitPathIsCapped)
{
    auto bright = [](int32_t x, int32_t y) { return x == 2 && y == 2 ? 21000 : 0; };
    LevelFixture<int16_t> eight(5, 5, 0, 3, 0, 128, bright);
    LevelFixture<int32_t> sixteen(5, 5, 0, 3, 0, 128, bright);
    eight.level.sharpenAmount = sixteen.level.sharpenAmount = 5;
    eight.level.yClass[eight.level.index(2, 2)] = 1;
    sixteen.level.yClass[sixteen.level.index(2, 2)] = 1;
    sharpen(eight.level);
    sharpen(sixteen.level);
    EXPECT_EQ(eight.level.yOut[eight.level.index(2, 2)], 21906);
    EXPECT_EQ(sixteen.level.yOut[sixteen.level.index(2, 2)], 26600);
}

} // namespace
} // namespace calmora

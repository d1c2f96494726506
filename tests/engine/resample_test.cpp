#include "engine/pyramid.h"
#include "test_images.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace calmora {
namespace {

// A level with all three planes holding `values` (row-major) and every
// class map zero.
template <typename Sample>
PyramidLevel<Sample> levelOf(int32_t width, int32_t height, const std::vector<int32_t>& values,
    const LevelParams* params, int32_t level = 0)
{
    PyramidLevel<Sample> l;
    l.width = width;
    l.height = height;
    l.level = level;
    l.params = params;
    l.bytesPerPixel = sizeof(Sample) == 2 ? 4 : 6;
    std::vector<Sample> plane(values.begin(), values.end());
    l.yIn = l.crIn = l.cbIn = l.yOut = l.crOut = l.cbOut = plane;
    const std::vector<uint8_t> zeros(l.sampleCount(), 0);
    l.yClass = l.crClass = l.cbClass = l.direction = l.smoothedDirection = zeros;
    return l;
}

TEST(MakeChild, SizesRoundUp)
{
    const int32_t sizes[][2]
        = { { 5, 3 }, { 601, 301 }, { 301, 151 }, { 151, 76 }, { 1, 1 }, { 2, 1 } };
    for (const auto& size : sizes) {
        SCOPED_TRACE(size[0]);
        PyramidLevel<int16_t> parent = levelOf<int16_t>(size[0], size[0],
            std::vector<int32_t>(static_cast<size_t>(size[0] * size[0]), 7), nullptr);
        PyramidLevel<int16_t> child;
        makeChild(parent, child);
        EXPECT_EQ(child.width, size[1]);
        EXPECT_EQ(child.height, size[1]);
        EXPECT_EQ(child.parent, &parent);
        EXPECT_EQ(child.yIn, child.yOut);
    }
}

// A 5x5 parent whose samples are nine times their row-major index.
TEST(MakeChild, DivisorsAtCornerEdgeAndInside)
{
    std::vector<int32_t> values(25, 0);
    for (int32_t i = 0; i < 25; ++i)
        values[static_cast<size_t>(i)] = 9 * i;
    PyramidLevel<int32_t> parent = levelOf<int32_t>(5, 5, values, nullptr);
    PyramidLevel<int32_t> child;
    makeChild(parent, child);
    // Corner (0,0): samples 0,1,5,6 -> 9*12/4 = 27.
    EXPECT_EQ(child.yIn[0], 27);
    // Edge (1,0): columns 1..3, rows 0..1 -> indexes 1,2,3,6,7,8 -> 9*27/6.
    EXPECT_EQ(child.yIn[1], 9 * 27 / 6);
    // Inside (1,1): 3x3 around (2,2) -> mean index 12 -> 108.
    EXPECT_EQ(child.yIn[4], 108);
}

struct RoundingRow {
    const char* name;
    std::vector<int32_t> values; // a 2x2 corner window, divided by 4
    int32_t eightBit;
    int32_t sixteenBit;
};

TEST(MakeChild, EightBitRoundsHalfDownSixteenBitTruncates)
{
    const RoundingRow rows[] = {
        { "exact", { 4, 4, 4, 4 }, 4, 4 },
        { "n + 0.5 gives n", { 2, 2, 2, 4 }, 2, 2 },
        { "n + 0.75 rounds up", { 2, 2, 3, 4 }, 3, 2 },
        { "-0.5 gives -1", { 0, 0, 0, -2 }, -1, 0 },
        { "-0.25 gives 0", { 0, 0, 0, -1 }, 0, 0 },
        { "-0.75 gives -1", { 0, 0, -1, -2 }, -1, 0 },
    };
    for (const RoundingRow& row : rows) {
        SCOPED_TRACE(row.name);
        PyramidLevel<int16_t> parent8 = levelOf<int16_t>(2, 2, row.values, nullptr);
        PyramidLevel<int16_t> child8;
        makeChild(parent8, child8);
        EXPECT_EQ(child8.yIn[0], row.eightBit);
        PyramidLevel<int32_t> parent16 = levelOf<int32_t>(2, 2, row.values, nullptr);
        PyramidLevel<int32_t> child16;
        makeChild(parent16, child16);
        EXPECT_EQ(child16.yIn[0], row.sixteenBit);
    }
}

// Parameters with the same strength triple at every level and a constant
// noise threshold of `threshold` at every bin.
std::unique_ptr<LevelParams> paramsWith(int16_t strength, int32_t threshold)
{
    static int16_t strengths[5][3];
    for (auto& triple : strengths)
        for (int16_t& s : triple)
            s = strength;
    auto params = std::make_unique<LevelParams>();
    params->lastLevel = 3;
    params->suppression = strengths;
    test::fillThresholds(*params, threshold);
    return params;
}

TEST(MergeChild, InterpolatesBetweenChildSamplesAndKeepsOddBorders)
{
    // Strength 128 and class 0: the parent takes the interpolated child.
    auto params = paramsWith(128, 1000);
    PyramidLevel<int16_t> parent = levelOf<int16_t>(5, 1, { 0, 0, 0, 0, 0 }, params.get());
    PyramidLevel<int16_t> child = levelOf<int16_t>(3, 1, { 10, 21, 40 }, params.get(), 1);
    child.parent = &parent;
    mergeChild(child);
    // Column 3 averages child columns 1 and 2 (floor of 61 / 2); column 4
    // maps on child column 2 alone.
    EXPECT_EQ(parent.yOut, (std::vector<int16_t> { 10, 15, 21, 30, 40 }));

    PyramidLevel<int16_t> even = levelOf<int16_t>(4, 1, { 0, 0, 0, 0 }, params.get());
    PyramidLevel<int16_t> evenChild = levelOf<int16_t>(2, 1, { -3, 8 }, params.get(), 1);
    evenChild.parent = &even;
    mergeChild(evenChild);
    // Floor of the half of 5 is 2; the last odd column has no right neighbour.
    EXPECT_EQ(even.yOut, (std::vector<int16_t> { -3, 2, 8, 8 }));
}

TEST(MergeChild, ZeroStrengthKeepsTheInputMinusTheNoiseRemovedBelow)
{
    auto params = paramsWith(0, 1000);
    PyramidLevel<int16_t> parent = levelOf<int16_t>(2, 2, { 100, 200, 300, 400 }, params.get());
    PyramidLevel<int16_t> child = levelOf<int16_t>(1, 1, { 250 }, params.get(), 1);
    child.yOut = { 240 }; // the child removed 10 of noise
    child.parent = &parent;
    mergeChild(child);
    EXPECT_EQ(parent.yOut, (std::vector<int16_t> { 90, 190, 290, 390 }));
}

struct PullRow {
    const char* name;
    int32_t childLevel;
    uint8_t yClass, colourClass;
    int32_t expectedY, expectedColour;
};

// Parent output 0, child output 800 (input equal): the parent moves by the
// class-scaled pull.
TEST(MergeChild, EdgeClassesScaleThePull)
{
    const PullRow rows[] = {
        { "flat, fine child", 1, 0, 0, 800, 800 },
        { "class 1, fine child", 1, 1, 1, 100, 0 },
        { "class 2, fine child", 1, 2, 2, 400, 200 },
        { "class 3, fine child", 1, 3, 3, 600, 400 },
        { "class 4, fine child", 1, 4, 4, 800, 600 },
        { "class 2, coarse child", 3, 2, 2, 200, 100 },
        { "class 3, coarse child", 3, 3, 3, 400, 200 },
        { "class 4, coarse child", 3, 4, 4, 800, 400 },
        // At coarse levels a luminance edge caps the colour classes.
        { "coarse child, colour 4 capped by luma 1", 3, 1, 4, 100, 0 },
        { "coarse child, colour 0 below luma 1", 3, 1, 0, 100, 800 },
    };
    for (const PullRow& row : rows) {
        SCOPED_TRACE(row.name);
        auto params = paramsWith(128, 100000);
        PyramidLevel<int16_t> parent = levelOf<int16_t>(1, 1, { 0 }, params.get());
        parent.yClass = { row.yClass };
        parent.crClass = { row.colourClass };
        parent.cbClass = { row.colourClass };
        PyramidLevel<int16_t> child = levelOf<int16_t>(1, 1, { 800 }, params.get(), row.childLevel);
        child.parent = &parent;
        mergeChild(child);
        EXPECT_EQ(parent.yOut[0], row.expectedY);
        EXPECT_EQ(parent.crOut[0], row.expectedColour);
        EXPECT_EQ(parent.cbOut[0], row.expectedColour);
    }
}

TEST(MergeChild, ColourPullIsLimitedFromLevelTwoOn)
{
    for (int32_t childLevel : { 1, 2 }) {
        SCOPED_TRACE(childLevel);
        auto params = paramsWith(128, 300);
        PyramidLevel<int16_t> parent = levelOf<int16_t>(1, 1, { 0 }, params.get());
        PyramidLevel<int16_t> child = levelOf<int16_t>(1, 1, { 800 }, params.get(), childLevel);
        child.crIn = child.crOut = { -900 };
        child.parent = &parent;
        mergeChild(child);
        EXPECT_EQ(parent.yOut[0], 800);
        EXPECT_EQ(parent.cbOut[0], childLevel == 2 ? 300 : 800);
        EXPECT_EQ(parent.crOut[0], childLevel == 2 ? -300 : -900);
    }
}

} // namespace
} // namespace calmora

#include "engine/pyramid.h"
#include "test_images.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

namespace calmora {
namespace {

// A level without a child, every noise threshold `threshold`, planes
// filled by `y`, `cr` and `cb` of (x, y).
struct ClassifyFixture {
    std::unique_ptr<LevelParams> params = std::make_unique<LevelParams>();
    PyramidLevel<int16_t> level;

    ClassifyFixture(int32_t width, int32_t height, int32_t levelNumber, int32_t levelClass,
        int32_t threshold, const std::function<int32_t(int32_t, int32_t)>& y,
        const std::function<int32_t(int32_t, int32_t)>& cr = nullptr, bool grey = false)
    {
        params->lastLevel = 3;
        test::fillThresholds(*params, threshold);
        level.params = params.get();
        level.width = width;
        level.height = height;
        level.level = levelNumber;
        level.levelClass = levelClass;
        level.grey = grey;
        level.bytesPerPixel = grey ? 1 : 4;
        for (int32_t j = 0; j < height; ++j) {
            for (int32_t i = 0; i < width; ++i) {
                level.yOut.push_back(static_cast<int16_t>(y(i, j)));
                level.crOut.push_back(static_cast<int16_t>(cr ? cr(i, j) : 0));
                level.cbOut.push_back(0);
            }
        }
        level.yIn = level.yOut;
        level.crIn = level.crOut;
        level.cbIn = level.cbOut;
    }

    int32_t count(const std::vector<uint8_t>& map) const
    {
        int32_t n = 0;
        for (uint8_t v : map)
            n += v != 0;
        return n;
    }
};

TEST(ClassifyEdges, QuietInputsLeaveEveryMapEmpty)
{
    struct Row {
        const char* name;
        int32_t level;
        std::function<int32_t(int32_t, int32_t)> y;
    };
    const Row rows[] = {
        { "flat plane, level 0", 0, [](int32_t, int32_t) { return 9000; } },
        { "flat plane, level 2", 2, [](int32_t, int32_t) { return 9000; } },
        // Every centre that sees the outlier is at least two samples from it
        // and from the others: no 3x3 window holds two marks.
        { "single luminance outlier, level 0", 0,
            [](int32_t x, int32_t y) { return x == 20 && y == 21 ? 12000 : 9000; } },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ClassifyFixture f(40, 40, row.level, 0, 640, row.y);
        classifyEdges(f.level);
        EXPECT_EQ(f.count(f.level.yClass), 0);
        EXPECT_EQ(f.count(f.level.crClass), 0);
        EXPECT_EQ(f.count(f.level.cbClass), 0);
        EXPECT_EQ(f.count(f.level.direction), 0);
        EXPECT_EQ(f.count(f.level.smoothedDirection), 0);
    }
}

// A colour pattern of period 3 along both axes differs only along the
// diagonals at distance 2, which level 0 does not look at.
TEST(ClassifyEdges, LevelZeroLooksForColourOnlyAlongTheAxes)
{
    auto flat = [](int32_t, int32_t) { return 9000; };
    auto diagonal = [](int32_t x, int32_t y) { return 3000 * ((x + y) % 3); };
    ClassifyFixture level0(30, 30, 0, 0, 1000, flat, diagonal);
    classifyEdges(level0.level);
    EXPECT_EQ(level0.count(level0.level.crClass), 0);

    ClassifyFixture level1(30, 30, 1, 0, 1000, flat, diagonal);
    classifyEdges(level1.level);
    EXPECT_GT(level1.count(level1.level.crClass), 0);

    ClassifyFixture grey(30, 30, 1, 0, 1000, flat, diagonal, true);
    classifyEdges(grey.level);
    EXPECT_EQ(grey.count(grey.level.crClass), 0);
    EXPECT_EQ(grey.count(grey.level.cbClass), 0);
}

// Around a vertical luminance step: confirmed edges get a first ring of 2,
// and a second ring of 3 only where that step runs.
TEST(ClassifyEdges, ConfirmedEdgesGrowRings)
{
    struct Row {
        const char* name;
        int32_t level, levelClass;
        bool secondRing;
    };
    const Row rows[] = {
        { "level 0, class 0", 0, 0, true },
        { "level 0, class 1", 0, 1, false },
        { "level 2, class 2", 2, 2, true },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ClassifyFixture f(40, 40, row.level, row.levelClass, 640,
            [](int32_t x, int32_t) { return x < 20 ? 5000 : 10000; });
        classifyEdges(f.level);
        const PyramidLevel<int16_t>& l = f.level;
        int32_t strong = 0;
        bool ringOfTwo = true;
        bool ringOfThree = true;
        bool anyThreeInside = false;
        for (int32_t y = 1; y < l.height - 1; ++y) {
            for (int32_t x = 1; x < l.width - 1; ++x) {
                const uint8_t c = l.yClass[l.index(x, y)];
                strong += c == 1;
                anyThreeInside |= c == 3 && x > 2 && x < l.width - 3 && y > 2 && y < l.height - 3;
                for (int32_t j = -1; j <= 1; ++j) {
                    for (int32_t i = -1; i <= 1; ++i) {
                        const uint8_t n = l.yClass[l.index(x + i, y + j)];
                        if (c == 1 && n == 0)
                            ringOfTwo = false;
                        if (c == 2 && n == 0)
                            ringOfThree = false;
                    }
                }
            }
        }
        EXPECT_GT(strong, 0);
        EXPECT_TRUE(ringOfTwo);
        EXPECT_EQ(ringOfThree, row.secondRing);
        EXPECT_EQ(anyThreeInside, row.secondRing);
    }
}

// Confirmation does not visit the samples within its radius of the border:
// an outlier in the corner keeps the raw class of the detection, while the
// mark it left on the centre that saw it is erased.
TEST(ClassifyEdges, BorderSamplesKeepTheirDetectionClass)
{
    ClassifyFixture f(
        40, 40, 0, 0, 640, [](int32_t x, int32_t y) { return x == 0 && y == 0 ? 12000 : 9000; });
    classifyEdges(f.level);
    const PyramidLevel<int16_t>& l = f.level;
    EXPECT_EQ(l.yClass[l.index(0, 0)], 3);
    EXPECT_EQ(f.count(l.yClass), 1);
}

} // namespace
} // namespace calmora

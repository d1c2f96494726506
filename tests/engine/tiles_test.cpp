#include "engine/engine.h"
#include "test_images.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

namespace calmora {
namespace {

using test::TestImage;

struct TileGeometryRow {
    const char* name;
    int32_t width, height;
    std::vector<int32_t> columnWidths; // raster order of the first row
    std::vector<int32_t> rowHeights;
};

TEST(BuildTileList, GeometryAndReverseSlotOrder)
{
    const TileGeometryRow rows[] = {
        { "one exact tile", 600, 600, { 600 }, { 600 } },
        { "remainder of 64 absorbed", 664, 100, { 664 }, { 100 } },
        { "remainder of 65 gets a tile", 665, 100, { 600, 65 }, { 100 } },
        { "smaller than the margin", 63, 50, { 63 }, { 50 } },
        { "two columns, one row", 1250, 650, { 600, 650 }, { 650 } },
        { "three by two", 1300, 700, { 600, 600, 100 }, { 600, 100 } },
    };
    for (const TileGeometryRow& row : rows) {
        SCOPED_TRACE(row.name);
        TileList list;
        buildTileList(row.width, row.height, list);
        const int32_t columns = static_cast<int32_t>(row.columnWidths.size());
        const int32_t tileRows = static_cast<int32_t>(row.rowHeights.size());
        ASSERT_EQ(list.count(), columns * tileRows);
        int32_t top = 0;
        for (int32_t i = 0; i < tileRows; ++i) {
            int32_t left = 0;
            for (int32_t k = 0; k < columns; ++k) {
                const Tile& tile
                    = list.tiles[static_cast<size_t>(list.count() - 1 - (i * columns + k))];
                SCOPED_TRACE("row " + std::to_string(i) + ", column " + std::to_string(k));
                EXPECT_EQ(tile.dest.left, left);
                EXPECT_EQ(tile.dest.top, top);
                EXPECT_EQ(tile.dest.width(), row.columnWidths[static_cast<size_t>(k)]);
                EXPECT_EQ(tile.dest.height(), row.rowHeights[static_cast<size_t>(i)]);
                EXPECT_EQ(tile.source.left, std::max(left - 16, 0));
                EXPECT_EQ(tile.source.top, std::max(top - 16, 0));
                EXPECT_EQ(tile.source.right, std::min(tile.dest.right + 16, row.width));
                EXPECT_EQ(tile.source.bottom, std::min(tile.dest.bottom + 16, row.height));
                const bool border = i == 0 || k == 0 || i == tileRows - 1 || k == columns - 1;
                EXPECT_EQ(tile.onBorder, border ? 1 : 0);
                EXPECT_EQ(tile.filtered, 0);
                left += row.columnWidths[static_cast<size_t>(k)];
            }
            top += row.rowHeights[static_cast<size_t>(i)];
        }
    }
}

TEST(BuildTileList, FreeReportsWhetherTheListWasEmpty)
{
    TileList list;
    EXPECT_TRUE(freeTileList(list));
    buildTileList(1300, 700, list);
    EXPECT_FALSE(freeTileList(list));
    EXPECT_EQ(list.count(), 0);
    EXPECT_TRUE(freeTileList(list));
}

TEST(RowStride, TwentyFourBitRowsArePaddedOthersComeFromTheSize)
{
    EXPECT_EQ(rowStride(5, 3, 24, 0), 16);
    EXPECT_EQ(rowStride(4, 3, 24, 0), 12);
    EXPECT_EQ(rowStride(5, 3, 32, 3 * 24), 24);
    EXPECT_EQ(rowStride(5, 3, 8, 3 * 8), 8);
}

// Runs the filter mode of the tile driver over a test image into `output`.
bool runFilter(TileList& list, TestImage& input, std::vector<uint8_t>& output,
    TileCallback callback, void* user, int32_t threads)
{
    NoiseProfile profile = test::makeSyntheticProfile();
    const FilterParams params = test::makeParams(102, 102, 5, 0);
    return runTiles(list, input.width, input.height, output.data(), input.pixels.data(),
        input.bitsPerPixel, input.bufferSize(), &params, profile, false, user, callback, nullptr,
        nullptr, threads);
}

TEST(RunTiles, RefusingEveryTileLeavesTheOutputUntouched)
{
    for (int32_t threads : { 1, 2 }) {
        SCOPED_TRACE(threads);
        TestImage input = test::makeSceneImage(700, 650, 32, 8.0, 1);
        std::vector<uint8_t> output(input.pixels.size(), 0x5A);
        TileList list;
        buildTileList(input.width, input.height, list);
        auto refuse = [](TileCallbackInfo&) { return 0; };
        EXPECT_FALSE(runFilter(list, input, output, refuse, nullptr, threads));
        for (uint8_t byte : output)
            ASSERT_EQ(byte, 0x5A);
        for (const Tile& tile : list.tiles)
            EXPECT_EQ(tile.filtered, 0);
    }
}

TEST(RunTiles, EmptyListSucceeds)
{
    TestImage input = test::makeFlatImage(8, 8, 32, 10);
    std::vector<uint8_t> output(input.pixels.size());
    TileList list;
    EXPECT_TRUE(runFilter(list, input, output, nullptr, nullptr, 1));
}

// Which slots the callback refuses before, and which stops the run after.
struct ReturnRuleRow {
    const char* name;
    int32_t refuseSlot;
    int32_t stopAfterSlot;
    bool expected;
};

struct ReturnRuleProbe {
    int32_t refuseSlot;
    int32_t stopAfterSlot;
};

TEST(RunTiles, ReturnValueFollowsTheLastSlot)
{
    const ReturnRuleRow rows[] = {
        { "all tiles processed", -1, -1, true },
        { "first slot refused", 0, -1, true },
        { "last slot refused", 3, -1, false },
        { "stopped after the first slot", -1, 0, false },
        { "stopped after the last slot", -1, 3, false },
    };
    for (const ReturnRuleRow& row : rows) {
        for (int32_t threads : { 1, 2 }) {
            SCOPED_TRACE(std::string(row.name) + ", threads " + std::to_string(threads));
            TestImage input = test::makeSceneImage(1200, 700, 24, 4.0, 2);
            std::vector<uint8_t> output(input.pixels.size(), 0);
            TileList list;
            buildTileList(1200, 700, list);
            ASSERT_EQ(list.count(), 4);
            ReturnRuleProbe probe { row.refuseSlot, row.stopAfterSlot };
            auto callback = [](TileCallbackInfo& info) {
                const auto* p = static_cast<const ReturnRuleProbe*>(info.user);
                if (info.processed == 0)
                    return info.tileIndex == p->refuseSlot ? 0 : 1;
                return info.tileIndex == p->stopAfterSlot ? 0 : 1;
            };
            EXPECT_EQ(runFilter(list, input, output, callback, &probe, threads), row.expected);
        }
    }
}

TEST(RunTiles, MeasureModeNeitherReadsInputNorWritesTheImage)
{
    TestImage image = test::makeSceneImage(300, 200, 32, 6.0, 3);
    const std::vector<uint8_t> before = image.pixels;
    TileList list;
    buildTileList(image.width, image.height, list);
    NoiseProfile profile;
    resetProfile(profile, false);
    std::vector<LevelHistogram> histograms(kHistogramLevels);
    EXPECT_TRUE(runTiles(list, image.width, image.height, image.pixels.data(), nullptr, 32,
        image.bufferSize(), nullptr, profile, true, nullptr, nullptr, histograms.data(), nullptr));
    EXPECT_EQ(image.pixels, before);
    EXPECT_EQ(list.tiles[0].measured, 1);
    EXPECT_EQ(list.tiles[0].filtered, 0);
}

TEST(RunTiles, MarginIsReadButNeverWrittenBack)
{
    // Only the tile at slot 0 (the bottom-right one) is let through: every
    // byte outside its centre keeps the output's old value.
    TestImage input = test::makeSceneImage(1300, 700, 32, 8.0, 4);
    std::vector<uint8_t> output(input.pixels.size(), 0x33);
    TileList list;
    buildTileList(input.width, input.height, list);
    auto onlySlotZero = [](TileCallbackInfo& info) { return info.tileIndex == 0 ? 1 : 0; };
    runFilter(list, input, output, onlySlotZero, nullptr, 1);
    const Rect dest = list.tiles[0].dest;
    for (int32_t y = 0; y < input.height; ++y) {
        for (int32_t x = 0; x < input.width; ++x) {
            const bool inside
                = x >= dest.left && x < dest.right && y >= dest.top && y < dest.bottom;
            if (inside)
                continue;
            const size_t at = static_cast<size_t>(y * input.stride + x * 4);
            ASSERT_EQ(output[at], 0x33) << "(" << x << "," << y << ")";
        }
    }
}

struct CallbackLog {
    std::atomic<int> inside { 0 };
    bool overlapped = false;
    std::vector<int32_t> finished;
    int32_t stopAfter = -1;
    int32_t startedAfterStop = 0;
    bool stopped = false;
};

int logCallback(TileCallbackInfo& info)
{
    auto* log = static_cast<CallbackLog*>(info.user);
    if (log->inside.fetch_add(1) != 0)
        log->overlapped = true;
    int result = 1;
    if (info.processed == 0) {
        if (log->stopped) {
            ++log->startedAfterStop;
            result = 0;
        }
    } else {
        log->finished.push_back(info.tileIndex);
        if (info.tileIndex == log->stopAfter) {
            log->stopped = true;
            result = 0;
        }
    }
    log->inside.fetch_sub(1);
    return result;
}

TEST(RunTiles, ManyThreadsGiveTheOutputOfOne)
{
    TestImage input = test::makeSceneImage(1900, 1300, 32, 10.0, 5);
    std::vector<uint8_t> single(input.pixels.size(), 0);
    std::vector<uint8_t> parallel(input.pixels.size(), 0);
    TileList one;
    TileList many;
    buildTileList(input.width, input.height, one);
    buildTileList(input.width, input.height, many);
    ASSERT_GE(one.count(), 6);
    CallbackLog log;
    EXPECT_TRUE(runFilter(one, input, single, nullptr, nullptr, 1));
    EXPECT_TRUE(runFilter(many, input, parallel, logCallback, &log, 4));
    EXPECT_TRUE(single == parallel)
        << "checksums " << test::hex(test::checksum(single.data(), single.size())) << " and "
        << test::hex(test::checksum(parallel.data(), parallel.size()));
    EXPECT_FALSE(log.overlapped);
    std::vector<int32_t> inOrder(static_cast<size_t>(many.count()));
    for (int32_t i = 0; i < many.count(); ++i)
        inOrder[static_cast<size_t>(i)] = i;
    EXPECT_EQ(log.finished, inOrder);
    for (const Tile& tile : many.tiles)
        EXPECT_EQ(tile.filtered, 1);
}

// A preview lets through only the tiles under the view, and a stop ends a
// run after a tile: what they leave is the same under every kernel set.
TEST(RunTiles, KernelSetsAgreeOnPreviewsAndStops)
{
    const struct {
        const char* name;
        int32_t depth;
        bool preview;
        int32_t threads;
    } rows[] = {
        { "32-bit preview", 32, true, 1 },
        { "32-bit stop", 32, false, 1 },
        { "48-bit preview, two threads", 48, true, 2 },
    };
    auto underView = [](TileCallbackInfo& info) {
        const Rect view { 620, 300, 690, 400 };
        return info.processed != 0 || info.tiles->tiles[info.tileIndex].dest.intersects(view) ? 1
                                                                                              : 0;
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TestImage input = test::makeSceneImage(700, 650, row.depth, 9.0, 8);
        std::vector<uint8_t> scalar;
        for (KernelSet set : test::kernelSets()) {
            SCOPED_TRACE(kernelSetName(set));
            const test::ActiveKernelSet active(set);
            std::vector<uint8_t> output(input.pixels.size(), 0x5A);
            TileList list;
            buildTileList(input.width, input.height, list);
            CallbackLog log;
            log.stopAfter = 0;
            if (row.preview)
                runFilter(list, input, output, underView, nullptr, row.threads);
            else
                runFilter(list, input, output, logCallback, &log, row.threads);
            if (scalar.empty())
                scalar = output;
            EXPECT_TRUE(output == scalar);
        }
    }
}

TEST(RunTiles, StopStartsNoFurtherTile)
{
    TestImage input = test::makeSceneImage(1900, 1300, 32, 10.0, 6);
    std::vector<uint8_t> output(input.pixels.size(), 0);
    TileList list;
    buildTileList(input.width, input.height, list);
    CallbackLog log;
    log.stopAfter = 1;
    EXPECT_FALSE(runFilter(list, input, output, logCallback, &log, 2));
    EXPECT_FALSE(log.overlapped);
    EXPECT_EQ(log.finished.back(), 1);
    int32_t filtered = 0;
    for (const Tile& tile : list.tiles)
        filtered += tile.filtered;
    // Slots 0 and 1, plus at most the one tile already running beside them.
    EXPECT_GE(filtered, 2);
    EXPECT_LE(filtered, 3);
}

TEST(RunTiles, RefusesBuffersThatDoNotHoldTheImage)
{
    TestImage input = test::makeFlatImage(64, 64, 32, 10);
    std::vector<uint8_t> output(input.pixels.size());
    TileList list;
    buildTileList(128, 64, list); // tiles wider than the buffer
    NoiseProfile profile = test::makeSyntheticProfile();
    const FilterParams params = test::makeParams(128, 128, 0, 0);
    EXPECT_FALSE(runTiles(list, 128, 64, output.data(), input.pixels.data(), 32, input.bufferSize(),
        &params, profile, false, nullptr, nullptr, nullptr, nullptr));
    buildTileList(64, 64, list);
    EXPECT_FALSE(runTiles(list, 64, 64, output.data(), input.pixels.data(), 12, input.bufferSize(),
        &params, profile, false, nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(runTiles(list, 64, 64, output.data(), input.pixels.data(), 32, input.bufferSize(),
        nullptr, profile, false, nullptr, nullptr, nullptr, nullptr));
}

} // namespace
} // namespace calmora

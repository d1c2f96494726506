#include "engine/engine.h"
#include "test_images.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace calmora {
namespace {

using test::TestImage;

// Everything a measure run leaves behind.
struct Measured {
    bool completed = false;
    NoiseProfile profile;
    std::unique_ptr<LevelHistogram[]> histograms
        = std::make_unique<LevelHistogram[]>(kHistogramLevels);
    std::vector<uint8_t> measuredTiles;
};

Measured measure(TestImage& image, const NoiseProfile& start, int32_t threads,
    TileCallback callback = nullptr, void* user = nullptr)
{
    Measured run;
    run.profile = start;
    TileList tiles;
    buildTileList(image.width, image.height, tiles);
    run.completed = runTiles(tiles, image.width, image.height, image.pixels.data(), nullptr,
        image.bitsPerPixel, image.bufferSize(), nullptr, run.profile, true, user, callback,
        run.histograms.get(), nullptr, threads);
    for (const Tile& tile : tiles.tiles)
        run.measuredTiles.push_back(tile.measured);
    return run;
}

void expectSameRun(const Measured& expected, const Measured& actual)
{
    EXPECT_EQ(actual.completed, expected.completed);
    EXPECT_EQ(actual.measuredTiles, expected.measuredTiles);
    EXPECT_EQ(std::memcmp(&actual.profile, &expected.profile, sizeof(NoiseProfile)), 0)
        << "weights differ";
    for (int l = 0; l < kHistogramLevels; ++l) {
        const LevelHistogram& want = expected.histograms[l];
        const LevelHistogram& got = actual.histograms[l];
        EXPECT_EQ(got.allowExtended, want.allowExtended) << "level " << l;
        for (int i = 0; i < kHistogramLists; ++i) {
            ASSERT_TRUE(
                got.bins[i].count == want.bins[i].count && got.bins[i].items == want.bins[i].items)
                << "level " << l << ", list " << i << ": expected " << want.bins[i].count
                << " entries, got " << got.bins[i].count;
        }
    }
}

NoiseProfile freshProfile()
{
    NoiseProfile profile;
    resetProfile(profile, false);
    return profile;
}

TEST(RunTilesMeasure, ManyThreadsMeasureWhatOneMeasures)
{
    const struct {
        const char* name;
        int32_t depth, width, height;
        double sigma; // below 0: a flat grey, whose evidence fills up during the run
    } rows[] = {
        { "one tile, 32-bit", 32, 300, 260, 8.0 },
        { "12 tiles, ragged last row and column, 32-bit", 32, 1900, 1300, 10.0 },
        { "absorbed remainders, 24-bit", 24, 1250, 640, 6.0 },
        { "grey 8-bit", 8, 1300, 700, 12.0 },
        { "flat 32-bit, colour evidence enough mid-run", 32, 2400, 1200, -1.0 },
    };
    for (const auto& row : rows) {
        TestImage image = row.sigma < 0
            ? test::makeFlatImage(row.width, row.height, row.depth, 100)
            : test::makeSceneImage(row.width, row.height, row.depth, row.sigma, 41);
        // A second build starts from the first one's weights.
        const NoiseProfile starts[] = { freshProfile(), measure(image, freshProfile(), 1).profile };
        for (int build = 0; build < 2; ++build) {
            const Measured reference = measure(image, starts[build], 1);
            ASSERT_TRUE(reference.completed);
            for (int32_t threads : { 2, 3, 8 }) {
                SCOPED_TRACE(std::string(row.name) + ", build " + std::to_string(build + 1)
                    + ", threads " + std::to_string(threads));
                expectSameRun(reference, measure(image, starts[build], threads));
            }
        }
        TileList tiles;
        NoiseProfile one = freshProfile();
        NoiseProfile many = freshProfile();
        buildTileList(image.width, image.height, tiles);
        ASSERT_TRUE(buildProfile(image.desc(), tiles, one, nullptr, nullptr, nullptr, 1));
        ASSERT_TRUE(buildProfile(image.desc(), tiles, many, nullptr, nullptr, nullptr, 3));
        EXPECT_EQ(std::memcmp(&one, &many, sizeof(NoiseProfile)), 0) << row.name << ": profile";
    }
}

struct StopProbe {
    StopProbe(int32_t refuse, int32_t stopAfter)
        : refuseSlot(refuse)
        , stopAfterSlot(stopAfter)
    { }
    int32_t refuseSlot;
    int32_t stopAfterSlot;
    std::thread::id caller = std::this_thread::get_id();
    bool offThread = false;
    std::vector<int32_t> finished;
};

int stopCallback(TileCallbackInfo& info)
{
    auto* probe = static_cast<StopProbe*>(info.user);
    probe->offThread |= std::this_thread::get_id() != probe->caller || info.filtering != 0;
    if (info.processed == 0)
        return info.tileIndex == probe->refuseSlot ? 0 : 1;
    probe->finished.push_back(info.tileIndex);
    return info.tileIndex == probe->stopAfterSlot ? 0 : 1;
}

TEST(RunTilesMeasure, StoppedRunLeavesWhatOneThreadLeaves)
{
    const struct {
        const char* name;
        int32_t refuseSlot, stopAfterSlot;
    } rows[] = {
        { "stopped after the first slot", -1, 0 },
        { "stopped in the middle", -1, 4 },
        { "stopped after the last slot", -1, 11 },
        { "last slot refused", 11, -1 },
    };
    TestImage image = test::makeSceneImage(1900, 1300, 32, 10.0, 43);
    for (const auto& row : rows) {
        StopProbe single { row.refuseSlot, row.stopAfterSlot };
        const Measured reference = measure(image, freshProfile(), 1, stopCallback, &single);
        ASSERT_FALSE(reference.completed) << row.name;
        for (int32_t threads : { 2, 3, 8 }) {
            SCOPED_TRACE(std::string(row.name) + ", threads " + std::to_string(threads));
            StopProbe probe { row.refuseSlot, row.stopAfterSlot };
            expectSameRun(reference, measure(image, freshProfile(), threads, stopCallback, &probe));
            EXPECT_FALSE(probe.offThread);
            EXPECT_EQ(probe.finished, single.finished);
        }
    }
}

} // namespace
} // namespace calmora

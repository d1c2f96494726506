// Tiles and the tile driver: every engine run goes through runTiles, which
// runs the pyramid on each tile with its margin and, when filtering, writes
// the tile's centre into the output.

#include "engine.h"
#include "fixed_point.h"
#include "pyramid.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace calmora {

void resetProfile(NoiseProfile& profile, bool keepValues)
{
    profile.bandCount = kBandCount;
    for (int b = 0; b < kProfileBands; ++b) {
        NoiseBand& band = profile.bands[b];
        band.pointCount = kPointCount;
        band.bandIndex = b;
        if (!keepValues) {
            std::memset(band.noise, 0, sizeof band.noise);
            std::memset(band.weight, 0, sizeof band.weight);
        }
    }
}

namespace {

// A remainder of up to 64 pixels is absorbed by the last tile of a row or
// column; a larger one gets a tile of its own.
constexpr int32_t kAbsorbedRemainderPx = 64;

int32_t tileCountAlong(int32_t length)
{
    const int32_t count
        = length / kTileSizePx + (length % kTileSizePx > kAbsorbedRemainderPx ? 1 : 0);
    return count > 0 ? count : 1;
}

} // namespace

void buildTileList(int32_t width, int32_t height, TileList& tiles)
{
    width = std::max(width, 0);
    height = std::max(height, 0);
    const int32_t columns = tileCountAlong(width);
    const int32_t rows = tileCountAlong(height);
    const int32_t count = rows * columns;
    tiles.tiles.assign(static_cast<size_t>(count), Tile {});
    for (int32_t i = 0; i < rows; ++i) {
        for (int32_t k = 0; k < columns; ++k) {
            Tile tile;
            tile.dest.left = kTileSizePx * k;
            tile.dest.top = kTileSizePx * i;
            tile.dest.right = k == columns - 1 ? width : kTileSizePx * (k + 1);
            tile.dest.bottom = i == rows - 1 ? height : kTileSizePx * (i + 1);
            tile.dest.right = std::clamp(tile.dest.right, 0, width);
            tile.dest.bottom = std::clamp(tile.dest.bottom, 0, height);
            tile.dest.left = std::min(tile.dest.left, tile.dest.right);
            tile.dest.top = std::min(tile.dest.top, tile.dest.bottom);
            tile.source.left = std::max(tile.dest.left - kTileMarginPx, 0);
            tile.source.top = std::max(tile.dest.top - kTileMarginPx, 0);
            tile.source.right = std::min(tile.dest.right + kTileMarginPx, width);
            tile.source.bottom = std::min(tile.dest.bottom + kTileMarginPx, height);
            tile.onBorder = (i == 0 || k == 0 || i == rows - 1 || k == columns - 1) ? 1 : 0;
            // Reverse order: the first tile of the first row goes into the last slot.
            tiles.tiles[static_cast<size_t>(count - 1 - (i * columns + k))] = tile;
        }
    }
}

bool freeTileList(TileList& tiles)
{
    const bool wasEmpty = tiles.tiles.empty();
    tiles.tiles.clear();
    tiles.tiles.shrink_to_fit();
    return wasEmpty;
}

int64_t rowStride(int32_t width, int32_t height, int32_t bitsPerPixel, int64_t bufferSize)
{
    if (bitsPerPixel == 24) {
        const int64_t rowBytes = static_cast<int64_t>(width) * 3;
        return rowBytes + (4 - rowBytes % 4) % 4;
    }
    return height > 0 ? bufferSize / height : 0;
}

namespace {

int32_t shlWrap(int32_t value, int shift)
{
    return static_cast<int32_t>(static_cast<uint32_t>(value) << shift);
}

int32_t pointCountOf(const NoiseBand& band)
{
    return std::clamp(band.pointCount, 0, kMaxPoints);
}

// Luminance thresholds above these fractions of white make a level noisy
// enough for the stronger processing classes.
int32_t computeLevelClass(
    const LevelParams& params, const FilterParams& settings, int32_t level, int32_t points)
{
    switch (settings.classSelector) {
    case 1:
        return 0;
    case 2:
        return 1;
    case 3:
        return 2;
    default:
        break;
    }
    int32_t sum = 0;
    for (int32_t p = 0; p < points; ++p)
        sum = addWrap(sum, params.scaledNoise[level][kY][p]);
    const int32_t mean = points > 0 ? divTrunc(sum, points) : 0;
    const int32_t v = mulWrap(level + 1, mean);
    const int32_t u = settings.suppressionFactor[level][kY];
    // The 16-bit path compares against the same number, unscaled.
    if (mulWrap(10, v) > kMaxLuma8 && u > 76)
        return 0;
    if (mulWrap(15, v) > kMaxLuma8 && u > 64)
        return 1;
    return 2;
}

void prepareLevelParams(LevelParams& params, NoiseProfile& profile, const FilterParams* settings,
    int32_t bitsPerPixel, bool measure, const TileList& tiles)
{
    params.lastLevel = profile.bandCount - 1;
    params.profileBands = profile.bands;
    params.runTiles = &tiles;
    if (measure || settings == nullptr)
        return;
    params.suppression = settings->suppressionFactor;
    params.settingsWord = settings->sharpenAmount;
    params.reserved = 0;
    const int shift = isHighDepth(bitsPerPixel) ? PathTraits<int32_t>::kNoiseShift
                                                : PathTraits<int16_t>::kNoiseShift;
    for (int32_t b = 0; b <= params.lastLevel; ++b) {
        const NoiseBand& band = profile.bands[b];
        const int32_t points = pointCountOf(band);
        for (int32_t p = 0; p < points; ++p) {
            for (int c = 0; c < kChannels; ++c) {
                const int32_t factor = settings->levelFactor[b][c] + kStrengthOne;
                params.scaledNoise[b][c][p]
                    = shlWrap(asr(mulWrap(band.noise[p][c], factor), kStrengthShift), shift);
            }
        }
        params.levelClass[b] = computeLevelClass(params, *settings, b, points);
    }
}

bool isSupportedDepth(int32_t bitsPerPixel)
{
    return bitsPerPixel == 32 || bitsPerPixel == 24 || bitsPerPixel == 8 || bitsPerPixel == 48
        || bitsPerPixel == 16;
}

using Clock = std::chrono::steady_clock;

int32_t millisecondsSince(Clock::time_point start)
{
    const auto elapsed
        = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    return static_cast<int32_t>(std::min<int64_t>(elapsed.count(), INT32_MAX));
}

// Everything one tile needs besides the buffers.
struct RunContext {
    TileList& tiles;
    uint8_t* output;
    const uint8_t* input;
    int32_t bytesPerPixel;
    int64_t stride;
    bool measure;
    bool highDepth;
    const LevelParams& params;
    // Measure mode: filed into on the calling thread only.
    NoiseBand* bands;
    LevelHistogram* histograms;
};

// The pyramid contexts a thread keeps from tile to tile, of both sample
// paths (a run uses one of them).
struct TileWorkspace {
    LevelStack<int16_t> eightBit;
    LevelStack<int32_t> sixteenBit;
};

// Where a tile's pixels come from and go: a buffer provider's working
// buffer, which holds the source rectangle and takes the whole result, or
// else the images themselves. Reading the tile from the input image when
// it starts and writing its centre into the output image when it ends is
// what copying it in and out of a private buffer did, without the copies;
// the margin is read, never written, so neighbouring tiles never overwrite
// each other.
template <typename Sample>
void placeTile(const RunContext& run, const Tile& tile, uint8_t* work, PyramidLevel<Sample>& top)
{
    if (work != nullptr) {
        top.pixels = work;
        return;
    }
    const int64_t bytes = run.bytesPerPixel;
    const uint8_t* image = run.measure ? run.output : run.input;
    top.imageInput = image + tile.source.top * run.stride + tile.source.left * bytes;
    top.imageStride = run.stride;
    if (run.measure)
        return;
    top.imageOutput = run.output + tile.dest.top * run.stride + tile.dest.left * bytes;
    top.outputArea = { tile.dest.left - tile.source.left, tile.dest.top - tile.source.top,
        tile.dest.right - tile.source.left, tile.dest.bottom - tile.source.top };
}

// `work` is a buffer provider's buffer, or null to work on the images.
// Measure mode evaluates into `measurement`, which must already hold the
// band weights to start from (startMeasurement).
void runPyramid(const RunContext& run, const Tile& tile, uint8_t* work,
    TileMeasurement* measurement, TileWorkspace& workspace)
{
    const int32_t w = tile.source.width();
    const int32_t h = tile.source.height();
    if (run.highDepth) {
        // Profiles are only measured on 8-bit buffers.
        if (run.measure)
            return;
        PyramidLevel<int32_t>& top = workspace.sixteenBit.levels[0];
        top.reset();
        top.bytesPerPixel = run.bytesPerPixel;
        top.width = w;
        top.height = h;
        placeTile(run, tile, work, top);
        processLevel(top, run.params, 0, false, nullptr, workspace.sixteenBit.levels + 1);
        return;
    }
    PyramidLevel<int16_t>& top = workspace.eightBit.levels[0];
    top.reset();
    top.bytesPerPixel = run.bytesPerPixel;
    top.skip = std::max(tile.levelArgA - w, 0);
    placeTile(run, tile, work, top);
    top.levelArgB = tile.levelArgB;
    top.width = w;
    top.height = h;
    top.source = tile.source;
    processLevel(top, run.params, 0, run.measure, measurement, workspace.eightBit.levels + 1);
}

// Weights only grow during a run, so a copy taken now can only understate
// what the tile will find when it is filed; fileLevel re-checks.
void startMeasurement(const RunContext& run, TileMeasurement& measurement)
{
    measurement.levelCount = 0;
    for (int b = 0; b < kProfileBands; ++b)
        std::memcpy(measurement.evidence[b], run.bands[b].weight, sizeof measurement.evidence[b]);
}

bool runSequential(
    const RunContext& run, void* user, TileCallback tileCallback, BufferProvider bufferProvider)
{
    TileList& tiles = run.tiles;
    bool result = true;
    TileWorkspace workspace;
    TileMeasurement measurement;
    for (int32_t slot = 0; slot < tiles.count(); ++slot) {
        Tile& tile = tiles.tiles[static_cast<size_t>(slot)];
        const Clock::time_point start = Clock::now();
        TileCallbackInfo info;
        info.tileIndex = slot;
        info.processed = 0;
        info.filtering = run.measure ? 0 : 1;
        info.tiles = &tiles;
        info.user = user;
        if (tileCallback != nullptr && tileCallback(info) == 0) {
            result = false;
            continue;
        }
        uint8_t* buffer = nullptr;
        if (bufferProvider != nullptr) {
            buffer = bufferProvider(info);
            if (buffer == nullptr)
                continue;
        }
        if (run.measure) {
            startMeasurement(run, measurement);
            runPyramid(run, tile, buffer, &measurement, workspace);
            fileTile(measurement, run.bands, run.histograms);
        } else {
            runPyramid(run, tile, buffer, nullptr, workspace);
        }
        info.processed = 1;
        (run.measure ? tile.measured : tile.filtered) = 1;
        tile.elapsedMs = millisecondsSince(start);
        if (bufferProvider != nullptr)
            bufferProvider(info);
        if (tileCallback != nullptr && tileCallback(info) == 0)
            return false;
        result = true;
    }
    return result;
}

// A small pool that runs tiles side by side. Each tile reads the untouched
// image with its margin and writes only its own centre (filter mode) or its
// own measurement record (measure mode), so the order in which tiles finish
// cannot change the result.
class TilePool {
public:
    TilePool(const RunContext& run, int32_t threadCount)
        : m_run(run)
    {
        m_done.assign(static_cast<size_t>(run.tiles.count()), 0);
        m_elapsedMs.assign(static_cast<size_t>(run.tiles.count()), 0);
        for (int32_t i = 0; i < threadCount; ++i)
            m_threads.emplace_back([this] { work(); });
    }

    ~TilePool()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_quit = true;
        }
        m_workReady.notify_all();
        for (std::thread& thread : m_threads)
            thread.join();
    }

    // `measurement` (measure mode) belongs to the worker until wait(slot).
    void submit(int32_t slot, TileMeasurement* measurement)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_queue.push_back({ slot, measurement });
        }
        m_workReady.notify_one();
    }

    // Returns the tile's processing time once it is done.
    int32_t wait(int32_t slot)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_slotDone.wait(lock, [&] { return m_done[static_cast<size_t>(slot)] != 0; });
        return m_elapsedMs[static_cast<size_t>(slot)];
    }

private:
    struct Job {
        int32_t slot;
        TileMeasurement* measurement;
    };

    void work()
    {
        TileWorkspace workspace;
        for (;;) {
            Job job {};
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_workReady.wait(lock, [&] { return m_quit || !m_queue.empty(); });
                if (m_queue.empty())
                    return;
                job = m_queue.front();
                m_queue.pop_front();
            }
            const Clock::time_point start = Clock::now();
            const Tile& tile = m_run.tiles.tiles[static_cast<size_t>(job.slot)];
            runPyramid(m_run, tile, nullptr, job.measurement, workspace);
            const int32_t elapsed = millisecondsSince(start);
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_done[static_cast<size_t>(job.slot)] = 1;
                m_elapsedMs[static_cast<size_t>(job.slot)] = elapsed;
            }
            m_slotDone.notify_all();
        }
    }

    const RunContext& m_run;
    std::mutex m_mutex;
    std::condition_variable m_workReady;
    std::condition_variable m_slotDone;
    std::deque<Job> m_queue;
    std::vector<uint8_t> m_done;
    std::vector<int32_t> m_elapsedMs;
    bool m_quit = false;
    std::vector<std::thread> m_threads;
};

// A tile in flight and, when measuring, the record it measures into.
struct RunningTile {
    int32_t slot = 0;
    std::unique_ptr<TileMeasurement> measurement;
};

// Callbacks stay on the calling thread, one at a time: the pre-tile call of a
// slot is made when a thread is free for it, the post-tile calls in slot
// order. A stop starts no further tile. Filtered tiles already running are
// finished and keep their results, as the tile in hand does in a one-thread
// run; measured ones are dropped unfiled, since a one-thread run would not
// have reached them.
//
// Measurements are filed here, in slot order, rather than merged from
// per-thread sums, because nothing a tile files commutes with the tiles
// before it: list entries are appended (concatenation keeps order); the band
// weights are a saturating sum, which alone would commute, but later tiles
// read them back to skip points with enough evidence, so a tile's entries
// depend on every tile filed before it; allowExtended is overwritten level by
// level. Only the evaluation, which reads the tile's pixels and a copy of the
// weights, runs on the pool; it costs nearly all the time.
bool runParallel(const RunContext& run, void* user, TileCallback tileCallback, int32_t threadCount)
{
    TileList& tiles = run.tiles;
    TilePool pool(run, threadCount);
    std::deque<RunningTile> running;
    // Filed records go back here for the next tiles, with their block lists.
    std::vector<std::unique_ptr<TileMeasurement>> spare;
    bool lastSlotRefused = false;
    bool stopped = false;
    int32_t next = 0;

    auto finish = [&](RunningTile& done, bool keep) {
        Tile& tile = tiles.tiles[static_cast<size_t>(done.slot)];
        const int32_t elapsedMs = pool.wait(done.slot);
        if (!keep)
            return;
        tile.elapsedMs = elapsedMs;
        if (run.measure) {
            fileTile(*done.measurement, run.bands, run.histograms);
            spare.push_back(std::move(done.measurement));
            tile.measured = 1;
        } else {
            tile.filtered = 1;
        }
    };

    while (!stopped && (next < tiles.count() || !running.empty())) {
        while (next < tiles.count() && static_cast<int32_t>(running.size()) < threadCount) {
            const int32_t slot = next++;
            TileCallbackInfo info;
            info.filtering = run.measure ? 0 : 1;
            info.tileIndex = slot;
            info.tiles = &tiles;
            info.user = user;
            if (tileCallback != nullptr && tileCallback(info) == 0) {
                lastSlotRefused = slot == tiles.count() - 1;
                continue;
            }
            lastSlotRefused = false;
            RunningTile tile { slot, nullptr };
            if (run.measure) {
                if (spare.empty()) {
                    tile.measurement = std::make_unique<TileMeasurement>();
                } else {
                    tile.measurement = std::move(spare.back());
                    spare.pop_back();
                }
                startMeasurement(run, *tile.measurement);
            }
            pool.submit(slot, tile.measurement.get());
            running.push_back(std::move(tile));
        }
        if (running.empty())
            break;
        RunningTile done = std::move(running.front());
        running.pop_front();
        finish(done, true);
        TileCallbackInfo info;
        info.filtering = run.measure ? 0 : 1;
        info.tileIndex = done.slot;
        info.processed = 1;
        info.tiles = &tiles;
        info.user = user;
        if (tileCallback != nullptr && tileCallback(info) == 0)
            stopped = true;
    }
    for (RunningTile& tile : running)
        finish(tile, !run.measure);
    return !stopped && !lastSlotRefused;
}

bool rangesOverlap(const uint8_t* a, const uint8_t* b, int64_t size)
{
    const auto x = reinterpret_cast<uintptr_t>(a);
    const auto y = reinterpret_cast<uintptr_t>(b);
    const auto n = static_cast<uintptr_t>(size);
    return x < y + n && y < x + n;
}

} // namespace

bool runTiles(TileList& tiles, int32_t width, int32_t height, uint8_t* output, const uint8_t* input,
    int32_t bitsPerPixel, int64_t bufferSize, const FilterParams* settings, NoiseProfile& profile,
    bool measure, void* user, TileCallback tileCallback, LevelHistogram* histograms,
    BufferProvider bufferProvider, int32_t threadCount)
{
    if (!isSupportedDepth(bitsPerPixel) || width <= 0 || height <= 0)
        return false;
    if (profile.bandCount < 1 || profile.bandCount > kProfileBands)
        return false;
    if (measure ? histograms == nullptr : settings == nullptr)
        return false;
    const int32_t bytesPerPixel = bitsPerPixel / 8;
    const int64_t stride = rowStride(width, height, bitsPerPixel, bufferSize);
    const bool buffersNeeded = bufferProvider == nullptr;
    if (buffersNeeded) {
        if (output == nullptr || (!measure && input == nullptr))
            return false;
        if (stride < static_cast<int64_t>(width) * bytesPerPixel || stride * height > bufferSize)
            return false;
    }
    // Tiles must lie inside the image they are run on.
    for (const Tile& tile : tiles.tiles) {
        if (tile.source.left < 0 || tile.source.top < 0 || tile.source.right > width
            || tile.source.bottom > height || tile.source.isEmpty()
            || tile.dest.left < tile.source.left || tile.dest.top < tile.source.top
            || tile.dest.right > tile.source.right || tile.dest.bottom > tile.source.bottom)
            return false;
    }

    // Large (about 12 kB), so it lives on the heap.
    auto params = std::make_unique<LevelParams>();
    prepareLevelParams(*params, profile, settings, bitsPerPixel, measure, tiles);
    const RunContext run { tiles, output, input, bytesPerPixel, stride, measure,
        isHighDepth(bitsPerPixel), *params, profile.bands, histograms };

    if (threadCount == kAllThreads)
        threadCount = static_cast<int32_t>(std::max(1u, std::thread::hardware_concurrency()));
    threadCount = std::min(threadCount, tiles.count());
    // A buffer provider hands out one buffer at a time, and filtering in place
    // would let a tile read a neighbour's result: those run on the calling
    // thread alone. Measuring only reads the image.
    const bool parallel = threadCount > 1 && buffersNeeded
        && (measure || !rangesOverlap(input, output, bufferSize));
    if (parallel)
        return runParallel(run, user, tileCallback, threadCount);
    return runSequential(run, user, tileCallback, bufferProvider);
}

} // namespace calmora

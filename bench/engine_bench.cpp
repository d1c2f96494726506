// Speed and memory of the engine on a 24-megapixel photo-like image with
// realistic noise: the whole-image filter with the "Default" preset's
// parameters on one thread and on every core, and the profile build.
//
// Reported counters: MP/s (megapixels per second), peakHeapMB (the largest
// amount of heap the call held on top of the two image buffers) and
// peakRatio ((two image buffers + peak heap) / two image buffers).

#include "bench/bench_random.h"
#include "engine/engine.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <malloc.h>
#include <new>
#include <vector>

namespace {

std::atomic<int64_t> g_liveBytes { 0 };
std::atomic<int64_t> g_peakBytes { 0 };

void noteAllocation(void* p)
{
    if (p == nullptr)
        return;
    const int64_t live = g_liveBytes.fetch_add(static_cast<int64_t>(malloc_usable_size(p)))
        + static_cast<int64_t>(malloc_usable_size(p));
    int64_t peak = g_peakBytes.load();
    while (live > peak && !g_peakBytes.compare_exchange_weak(peak, live)) { }
}

} // namespace

void* operator new(size_t size)
{
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr)
        throw std::bad_alloc();
    noteAllocation(p);
    return p;
}

// The replaced operator new takes its memory from malloc.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept
{
    if (p == nullptr)
        return;
    g_liveBytes.fetch_sub(static_cast<int64_t>(malloc_usable_size(p)));
    std::free(p);
}

void operator delete(void* p, size_t) noexcept
{
    operator delete(p);
}
#pragma GCC diagnostic pop

namespace {

using namespace calmora;
using calmora::bench::Random;

constexpr int32_t kWidth = 6000;
constexpr int32_t kHeight = 4000;

// A scene of soft gradients, hard-edged discs and fine texture, with
// signal-dependent noise per channel as a small sensor at high ISO gives.
const std::vector<uint8_t>& photo()
{
    static const std::vector<uint8_t> pixels = [] {
        std::vector<uint8_t> image(static_cast<size_t>(kWidth) * kHeight * 4);
        Random random;
        struct Disc {
            double x, y, r, b, g, red;
        };
        std::vector<Disc> discs;
        for (int i = 0; i < 60; ++i)
            discs.push_back({ random.uniform() * kWidth, random.uniform() * kHeight,
                40 + random.uniform() * 500, random.uniform(), random.uniform(),
                random.uniform() });
        for (int32_t y = 0; y < kHeight; ++y) {
            for (int32_t x = 0; x < kWidth; ++x) {
                const double u = static_cast<double>(x) / kWidth;
                const double v = static_cast<double>(y) / kHeight;
                double bgr[3] = { 0.2 + 0.6 * v, 0.3 + 0.4 * u, 0.5 + 0.3 * std::sin(6 * u * v) };
                for (const Disc& d : discs) {
                    if ((x - d.x) * (x - d.x) + (y - d.y) * (y - d.y) < d.r * d.r) {
                        bgr[0] = d.b;
                        bgr[1] = d.g;
                        bgr[2] = d.red;
                    }
                }
                const double texture = 0.03 * std::sin(x * 0.31 + std::sin(y * 0.05) * 3);
                uint8_t* p = image.data() + (static_cast<size_t>(y) * kWidth + x) * 4;
                for (int c = 0; c < 3; ++c) {
                    const double signal = std::clamp(bgr[c] + texture, 0.0, 1.0);
                    const double sigma = std::sqrt(0.0004 + 0.004 * signal);
                    const double value = signal + sigma * random.gaussian() * 1.7;
                    p[c] = static_cast<uint8_t>(std::clamp(std::lround(value * 255), 0L, 255L));
                }
                p[3] = 255;
            }
        }
        return image;
    }();
    return pixels;
}

ImageDesc describe(std::vector<uint8_t>& pixels)
{
    ImageDesc desc;
    desc.width = kWidth;
    desc.height = kHeight;
    desc.stride = kWidth * 4;
    desc.bitsPerPixel = 32;
    desc.pixels = pixels.data();
    return desc;
}

FilterParams defaultPresetParams()
{
    FilterParams params;
    for (int b = 0; b < kBandCount; ++b) {
        params.suppressionFactor[b][kY] = 89;
        params.suppressionFactor[b][kCr] = 102;
        params.suppressionFactor[b][kCb] = 102;
    }
    params.sharpenAmount = 5;
    params.classSelector = 0;
    return params;
}

NoiseProfile measuredProfile()
{
    static const NoiseProfile profile = [] {
        std::vector<uint8_t> pixels = photo();
        TileList tiles;
        buildTileList(kWidth, kHeight, tiles);
        NoiseProfile p;
        resetProfile(p, false);
        buildProfile(describe(pixels), tiles, p, nullptr, nullptr);
        smoothProfile(p);
        return p;
    }();
    return profile;
}

void reportMemory(benchmark::State& state, int64_t baseline)
{
    const double buffers = 2.0 * kWidth * kHeight * 4;
    const double peakHeap = static_cast<double>(g_peakBytes.load() - baseline);
    state.counters["peakHeapMB"] = peakHeap / (1024.0 * 1024.0);
    state.counters["peakRatio"] = (buffers + peakHeap) / buffers;
}

void filterWholeImage(benchmark::State& state)
{
    std::vector<uint8_t> original = photo();
    std::vector<uint8_t> display(original.size());
    const NoiseProfile profile = measuredProfile();
    const FilterParams params = defaultPresetParams();
    const int32_t threads = static_cast<int32_t>(state.range(0));
    const int64_t baseline = g_liveBytes.load();
    g_peakBytes.store(baseline);
    for (auto _ : state) {
        TileList tiles;
        buildTileList(kWidth, kHeight, tiles);
        filterImage(describe(original), describe(display), nullptr, nullptr, 32, tiles, profile,
            params, nullptr, nullptr, nullptr, threads);
        benchmark::DoNotOptimize(display.data());
    }
    state.counters["MP/s"]
        = benchmark::Counter(kWidth * kHeight / 1e6, benchmark::Counter::kIsIterationInvariantRate);
    reportMemory(state, baseline);
}

// A 16-bit-per-channel image: the photo's samples × 257 with fine noise in
// the low byte, filtered from its high-depth original into its high-depth
// result, the 24-bit display refreshed. Memory is judged against the image's
// own buffers: budgetMB is three times the two high-depth buffers plus the
// display, totalMB what the call held with them.
void filterWholeImage16(benchmark::State& state)
{
    const std::vector<uint8_t>& photo32 = photo();
    const size_t pixels = size_t(kWidth) * kHeight;
    std::vector<uint16_t> original(pixels * 3);
    Random random;
    for (size_t i = 0; i < pixels; ++i) {
        for (int c = 0; c < 3; ++c)
            original[3 * i + c] = uint16_t(photo32[4 * i + c] * 256 + (random.next() & 0xff));
    }
    std::vector<uint16_t> result(original.size());
    ImageDesc display;
    display.width = kWidth;
    display.height = kHeight;
    display.stride = (kWidth * 3 + 3) / 4 * 4;
    display.bitsPerPixel = 24;
    std::vector<uint8_t> displayPixels(size_t(display.stride) * kHeight);
    display.pixels = displayPixels.data();
    ImageDesc originalDisplay = display;
    originalDisplay.pixels = nullptr;
    const NoiseProfile profile = measuredProfile();
    const FilterParams params = defaultPresetParams();
    const int32_t threads = static_cast<int32_t>(state.range(0));
    const int64_t baseline = g_liveBytes.load();
    g_peakBytes.store(baseline);
    for (auto _ : state) {
        TileList tiles;
        buildTileList(kWidth, kHeight, tiles);
        filterImage(originalDisplay, display, reinterpret_cast<const uint8_t*>(original.data()),
            reinterpret_cast<uint8_t*>(result.data()), 48, tiles, profile, params, nullptr, nullptr,
            nullptr, threads);
        benchmark::DoNotOptimize(result.data());
    }
    state.counters["MP/s"]
        = benchmark::Counter(kWidth * kHeight / 1e6, benchmark::Counter::kIsIterationInvariantRate);
    const double highDepth = 2.0 * pixels * 6;
    const double shown = double(displayPixels.size());
    const double peakHeap = static_cast<double>(g_peakBytes.load() - baseline);
    const double megabyte = 1024.0 * 1024.0;
    state.counters["peakHeapMB"] = peakHeap / megabyte;
    state.counters["totalMB"] = (highDepth + shown + peakHeap) / megabyte;
    state.counters["budgetMB"] = (3 * highDepth + shown) / megabyte;
}

void buildWholeProfile(benchmark::State& state)
{
    std::vector<uint8_t> pixels = photo();
    const int32_t threads = static_cast<int32_t>(state.range(0));
    const int64_t baseline = g_liveBytes.load();
    g_peakBytes.store(baseline);
    for (auto _ : state) {
        TileList tiles;
        buildTileList(kWidth, kHeight, tiles);
        NoiseProfile profile;
        resetProfile(profile, false);
        buildProfile(describe(pixels), tiles, profile, nullptr, nullptr, nullptr, threads);
        benchmark::DoNotOptimize(profile);
    }
    state.counters["MP/s"]
        = benchmark::Counter(kWidth * kHeight / 1e6, benchmark::Counter::kIsIterationInvariantRate);
    reportMemory(state, baseline);
}

} // namespace

// Argument: threads (0 = one per core).
BENCHMARK(filterWholeImage)
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);
BENCHMARK(filterWholeImage16)
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2);
BENCHMARK(buildWholeProfile)
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

BENCHMARK_MAIN();

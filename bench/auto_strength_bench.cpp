// What choosing `--preset auto` costs. The choice filters a bounded sample
// of the photo with every candidate twice, so its time hardly grows with the
// photo; it must add at most 30 % to the profile and filter time of a
// 20-megapixel photo (autoShare), and take at most 150 ms for the desktop
// program's "Auto" button on a 24-megapixel one.
#include "bench/bench_random.h"
#include "engine/engine.h"
#include "settings/auto_strength.h"
#include "settings/derive_params.h"
#include "settings/learned_reading.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

namespace {

using namespace calmora;

// A photo-like scene (soft gradients, hard-edged discs, fine texture) under
// signal-dependent noise, 32 bits per pixel.
std::vector<uint8_t> makePhoto(int32_t width, int32_t height)
{
    std::vector<uint8_t> image(static_cast<size_t>(width) * height * 4);
    bench::Random random;
    struct Disc {
        double x, y, r, colour[3];
    };
    std::vector<Disc> discs;
    for (int i = 0; i < 60; ++i)
        discs.push_back({ random.uniform() * width, random.uniform() * height,
            40 + random.uniform() * 500, { random.uniform(), random.uniform(), random.uniform() } });
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            const double u = static_cast<double>(x) / width;
            const double v = static_cast<double>(y) / height;
            double bgr[3] = { 0.2 + 0.6 * v, 0.3 + 0.4 * u, 0.5 + 0.3 * std::sin(6 * u * v) };
            for (const Disc& d : discs) {
                if ((x - d.x) * (x - d.x) + (y - d.y) * (y - d.y) < d.r * d.r)
                    std::copy(d.colour, d.colour + 3, bgr);
            }
            const double texture = 0.03 * std::sin(x * 0.31 + std::sin(y * 0.05) * 3);
            uint8_t* p = image.data() + (static_cast<size_t>(y) * width + x) * 4;
            for (int c = 0; c < 3; ++c) {
                const double signal = std::clamp(bgr[c] + texture, 0.0, 1.0);
                const double sigma = std::sqrt(0.0004 + 0.004 * signal);
                p[c] = static_cast<uint8_t>(std::clamp(
                    std::lround((signal + sigma * random.gaussian() * 1.7) * 255), 0L, 255L));
            }
            p[3] = 255;
        }
    }
    return image;
}

ImageDesc describe(std::vector<uint8_t>& pixels, int32_t width, int32_t height)
{
    return { 0, width, height, width * 4, 1, 32, pixels.data() };
}

// The photo's profile as the engine measures it, unsmoothed.
NoiseProfile measuredProfile(std::vector<uint8_t>& pixels, int32_t width, int32_t height)
{
    TileList tiles;
    buildTileList(width, height, tiles);
    NoiseProfile profile;
    resetProfile(profile, false);
    buildProfile(describe(pixels, width, height), tiles, profile, nullptr, nullptr);
    return profile;
}

double msSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

// The whole `denoise --preset auto` of a 20-MP photo, stage by stage: the
// profile, the choice and the filter. autoShare = choose / (profile + filter).
void autoOn20MP(benchmark::State& state)
{
    constexpr int32_t kWidth = 5472;
    constexpr int32_t kHeight = 3648;
    std::vector<uint8_t> original = makePhoto(kWidth, kHeight);
    std::vector<uint8_t> display(original.size());
    const int32_t threads = static_cast<int32_t>(state.range(0));
    double profileMs = 0.0;
    double chooseMs = 0.0;
    double filterMs = 0.0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        TileList tiles;
        buildTileList(kWidth, kHeight, tiles);
        NoiseProfile profile;
        resetProfile(profile, false);
        buildProfile(describe(original, kWidth, kHeight), tiles, profile, nullptr, nullptr, nullptr,
            threads);
        smoothProfile(profile);
        profileMs += msSince(start);

        start = std::chrono::steady_clock::now();
        const AutoStrength choice
            = chooseAutoStrength(describe(original, kWidth, kHeight), profile, threads);
        chooseMs += msSince(start);

        start = std::chrono::steady_clock::now();
        FilterParams params;
        deriveDocumentParams(choice.values, params);
        filterImage(describe(original, kWidth, kHeight), describe(display, kWidth, kHeight),
            nullptr, nullptr, 32, tiles, profile, params, nullptr, nullptr, nullptr, threads);
        filterMs += msSince(start);
        benchmark::DoNotOptimize(choice.chosen);
        benchmark::DoNotOptimize(display.data());
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["profileMs"] = profileMs / n;
    state.counters["chooseMs"] = chooseMs / n;
    state.counters["filterMs"] = filterMs / n;
    state.counters["autoShare"] = chooseMs / (profileMs + filterMs);
}
BENCHMARK(autoOn20MP)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(3);

// The desktop program's "Auto" button: the choice alone, on a 24-MP photo,
// with every core.
void autoButtonOn24MP(benchmark::State& state)
{
    constexpr int32_t kWidth = 6000;
    constexpr int32_t kHeight = 4000;
    std::vector<uint8_t> original = makePhoto(kWidth, kHeight);
    NoiseProfile profile = measuredProfile(original, kWidth, kHeight);
    smoothProfile(profile);
    for (auto _ : state) {
        const AutoStrength choice
            = chooseAutoStrength(describe(original, kWidth, kHeight), profile, kAllThreads);
        benchmark::DoNotOptimize(choice.chosen);
    }
}
BENCHMARK(autoButtonOn24MP)->Unit(benchmark::kMillisecond)->Iterations(5);

// What a 20-MP photo's reading for the learned-profile store adds to
// learning from it: the pixels' noise estimate and the lowering of the
// finest band (the store's own learn and look-up: learned_profile_bench).
void learnedReadingOn20MP(benchmark::State& state)
{
    constexpr int32_t kWidth = 5472;
    constexpr int32_t kHeight = 3648;
    std::vector<uint8_t> original = makePhoto(kWidth, kHeight);
    const NoiseProfile profile = measuredProfile(original, kWidth, kHeight);
    for (auto _ : state) {
        const NoiseProfile reading
            = learnedReading(profile, estimatePixelNoise(describe(original, kWidth, kHeight)));
        benchmark::DoNotOptimize(reading.bands[0].noise[0][kY]);
    }
}
BENCHMARK(learnedReadingOn20MP)->Unit(benchmark::kMillisecond)->Iterations(10);

} // namespace

BENCHMARK_MAIN();

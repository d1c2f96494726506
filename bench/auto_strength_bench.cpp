// The choice of `--preset auto` from a measured profile: it runs once per
// file, between the profile pass and the filter pass, and must stay far
// below a millisecond.
#include "settings/auto_strength.h"

#include <benchmark/benchmark.h>

namespace {

calmora::NoiseProfile measuredLooking()
{
    calmora::NoiseProfile profile;
    profile.bandCount = calmora::kBandCount;
    for (int b = 0; b < calmora::kBandCount; ++b) {
        calmora::NoiseBand& band = profile.bands[b];
        band.pointCount = calmora::kPointCount;
        for (int p = 0; p < calmora::kPointCount; ++p)
            for (int c = 0; c < calmora::kChannels; ++c)
                band.noise[p][c] = static_cast<int16_t>((40 >> b) + 3 * p % 7 + c);
    }
    return profile;
}

void BM_ChooseAutoStrength(benchmark::State& state)
{
    const calmora::NoiseProfile profile = measuredLooking();
    for (auto _ : state) {
        calmora::AutoStrength choice = calmora::chooseAutoStrength(profile);
        benchmark::DoNotOptimize(choice);
    }
}
BENCHMARK(BM_ChooseAutoStrength);

} // namespace

BENCHMARK_MAIN();

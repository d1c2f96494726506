// The learned-profile store: what learning and looking up add to each
// photo on the worker (target: under 2 ms together), and reading a folder
// of a thousand keys, each with its full count of photos (target: under
// 50 ms). The folder lies under the system's temporary folder.
#include "settings/learned_profile_folder.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {

using namespace calmora;

ExifRecord cameraAt(int32_t iso)
{
    ExifRecord exif;
    exif.make = "Canon";
    exif.model = "Canon PowerShot G7 X";
    exif.isoSpeed = iso;
    exif.pictureWidth = 5472;
    exif.pictureHeight = 3648;
    return exif;
}

NoiseProfile measuredLooking(int seed)
{
    NoiseProfile profile;
    profile.bandCount = kBandCount;
    for (int b = 0; b < kBandCount; ++b) {
        NoiseBand& band = profile.bands[b];
        band.pointCount = kPointCount;
        for (int p = 0; p < kPointCount; ++p)
            for (int c = 0; c < kChannels; ++c) {
                band.noise[p][c] = static_cast<int16_t>((60 >> b) + (3 * p + seed) % 7 + c);
                band.weight[p][c] = static_cast<int16_t>(1 + (p * 97 + seed * 31) % 900);
            }
    }
    return profile;
}

// One photo as the worker offers it: learned, then looked up. The store's
// writer puts it on the disk meanwhile; that is waited for outside the
// timing, so that every photo finds the key's file full.
void BM_LearnAndLookUp(benchmark::State& state)
{
    QTemporaryDir dir;
    LearnedProfileFolder store(dir.path());
    const ExifRecord exif = cameraAt(3200);
    for (int i = 0; i < kMaxLearnedPhotos; ++i)
        store.learn(QStringLiteral("old%1.jpg").arg(i), exif, measuredLooking(i));
    store.flush();
    int photo = 0;
    for (auto _ : state) {
        NoiseProfile own = measuredLooking(photo);
        store.learn(QStringLiteral("IMG_%1.JPG").arg(photo++), exif, own);
        benchmark::DoNotOptimize(store.lookUp(exif, own));
        state.PauseTiming();
        store.flush();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_LearnAndLookUp)->Unit(benchmark::kMillisecond)->Iterations(200);

void BM_ListThousandKeys(benchmark::State& state)
{
    QTemporaryDir dir;
    {
        LearnedProfileFolder store(dir.path());
        for (int key = 0; key < 1000; ++key)
            for (int i = 0; i < kMaxLearnedPhotos; ++i)
                store.learn(
                    QStringLiteral("p%1.jpg").arg(i), cameraAt(100 + key), measuredLooking(i));
    }
    LearnedProfileFolder store(dir.path());
    for (auto _ : state) {
        const std::vector<LearnedProfileEntry> entries = store.list();
        if (entries.size() != 1000)
            state.SkipWithError("the folder does not hold 1000 keys");
        benchmark::DoNotOptimize(entries.data());
    }
}
BENCHMARK(BM_ListThousandKeys)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();

// Speed and size of the PNG and TIFF encoders on a generated 20-megapixel
// photo-like image with sensor noise, at 8 and 16 bits per channel, at the
// default level on every core; Qt's own writers (PNG at zlib's default level,
// TIFF with LZW) are timed beside them as the reference.
//
// Reported counters: MB/s (megabytes of samples encoded per second) and
// fileMB (the size of the file).

#include "bench/bench_photo.h"
#include "document/image_encoders.h"

#include <benchmark/benchmark.h>

#include <QBuffer>
#include <QImage>
#include <QImageWriter>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using namespace calmora;
using namespace calmora::bench;

void report(benchmark::State& state, int bits, qsizetype fileBytes)
{
    const double sampleBytes = double(kWidth) * kHeight * 3 * (bits / 8);
    state.counters["MB/s"]
        = benchmark::Counter(sampleBytes / 1e6, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["fileMB"] = double(fileBytes) / 1e6;
}

// Arguments: bits per channel, compression level (-1 the default).
void encodeOurs(benchmark::State& state, bool png)
{
    const int bits = int(state.range(0));
    EncodeRequest request = photoRequest(bits);
    request.compression = int(state.range(1));
    QByteArray file;
    QString reason;
    for (auto _ : state) {
        const bool ok = png ? encodePng(request, file, reason) : encodeTiff(request, file, reason);
        if (!ok) {
            state.SkipWithError(qPrintable(reason));
            return;
        }
        benchmark::DoNotOptimize(file.data());
    }
    report(state, bits, file.size());
}

void encodePngOurs(benchmark::State& state)
{
    encodeOurs(state, true);
}

void encodeTiffOurs(benchmark::State& state)
{
    encodeOurs(state, false);
}

// Argument: bits per channel. PNG at zlib's default level with libpng's
// adaptive filters; TIFF with LZW and no predictor.
void encodeQt(benchmark::State& state, const char* format)
{
    const int bits = int(state.range(0));
    const QImage image = photoImage(bits);
    QByteArray file;
    for (auto _ : state) {
        file.clear();
        QBuffer buffer(&file);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, format);
        if (qstrcmp(format, "tiff") == 0)
            writer.setCompression(1);
        if (!writer.write(image)) {
            state.SkipWithError(qPrintable(writer.errorString()));
            return;
        }
    }
    report(state, bits, file.size());
}

void encodePngQt(benchmark::State& state)
{
    encodeQt(state, "png");
}

void encodeTiffQt(benchmark::State& state)
{
    encodeQt(state, "tiff");
}

} // namespace

BENCHMARK(encodePngOurs)
    ->Args({ 8, -1 })
    ->Args({ 16, -1 })
    ->Args({ 8, 6 })
    ->Args({ 8, 9 })
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);
BENCHMARK(encodeTiffOurs)
    ->Args({ 8, -1 })
    ->Args({ 16, -1 })
    ->Args({ 8, 9 })
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);
BENCHMARK(encodePngQt)
    ->Arg(8)
    ->Arg(16)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);
BENCHMARK(encodeTiffQt)
    ->Arg(8)
    ->Arg(16)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

BENCHMARK_MAIN();

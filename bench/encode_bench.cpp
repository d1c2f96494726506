// Speed and size of the PNG and TIFF encoders on a generated 20-megapixel
// photo-like image with sensor noise, at 8 and 16 bits per channel, at the
// default level on every core; Qt's own writers (PNG at zlib's default level,
// TIFF with LZW) are timed beside them as the reference.
//
// Reported counters: MB/s (megabytes of samples encoded per second) and
// fileMB (the size of the file).

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

// 5472 x 3648: a 20-megapixel 3:2 sensor.
constexpr int32_t kWidth = 5472;
constexpr int32_t kHeight = 3648;

// xorshift: fast and the same on every run.
struct Random {
    uint64_t state = 0x2545F4914F6CDD1Dull;
    uint32_t next()
    {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return static_cast<uint32_t>(state >> 32);
    }
    double uniform() { return next() / 4294967296.0; }
    double gaussian() { return uniform() + uniform() + uniform() + uniform() - 2.0; }
};

// Soft gradients, hard-edged discs and fine texture under signal-dependent
// noise, as in the engine's benchmark; R, G, B samples at 16 bits whose low
// byte is noise too, as a raw converter's output has.
const std::vector<uint16_t>& photo()
{
    static const std::vector<uint16_t> samples = [] {
        std::vector<uint16_t> image(size_t(kWidth) * kHeight * 3);
        Random random;
        struct Disc {
            double x, y, r, colour[3];
        };
        std::vector<Disc> discs;
        for (int i = 0; i < 60; ++i)
            discs.push_back({ random.uniform() * kWidth, random.uniform() * kHeight,
                40 + random.uniform() * 500,
                { random.uniform(), random.uniform(), random.uniform() } });
        for (int32_t y = 0; y < kHeight; ++y) {
            for (int32_t x = 0; x < kWidth; ++x) {
                const double u = double(x) / kWidth;
                const double v = double(y) / kHeight;
                double rgb[3] = { 0.5 + 0.3 * std::sin(6 * u * v), 0.3 + 0.4 * u, 0.2 + 0.6 * v };
                for (const Disc& d : discs) {
                    if ((x - d.x) * (x - d.x) + (y - d.y) * (y - d.y) < d.r * d.r)
                        std::copy(d.colour, d.colour + 3, rgb);
                }
                const double texture = 0.03 * std::sin(x * 0.31 + std::sin(y * 0.05) * 3);
                uint16_t* p = image.data() + (size_t(y) * kWidth + x) * 3;
                for (int c = 0; c < 3; ++c) {
                    const double signal = std::clamp(rgb[c] + texture, 0.0, 1.0);
                    const double sigma = std::sqrt(0.0004 + 0.004 * signal);
                    const double value = signal + sigma * random.gaussian() * 1.7;
                    p[c] = uint16_t(std::clamp(std::lround(value * 65535), 0L, 65535L));
                }
            }
        }
        return image;
    }();
    return samples;
}

EncodeRequest photoRequest(int bits)
{
    EncodeRequest request;
    request.width = kWidth;
    request.height = kHeight;
    request.channels = 3;
    request.bitsPerChannel = bits;
    const std::vector<uint16_t>* samples = &photo();
    request.readRow = [samples, bits](int32_t y, void* out) {
        const uint16_t* row = samples->data() + size_t(y) * kWidth * 3;
        if (bits == 16) {
            std::memcpy(out, row, size_t(kWidth) * 3 * 2);
            return;
        }
        auto* bytes = static_cast<uint8_t*>(out);
        for (size_t i = 0; i < size_t(kWidth) * 3; ++i)
            bytes[i] = uint8_t((row[i] + 128u) / 257u);
    };
    return request;
}

QImage photoImage(int bits)
{
    QImage image(kWidth, kHeight, bits == 8 ? QImage::Format_RGB888 : QImage::Format_RGBX64);
    const EncodeRequest request = photoRequest(bits);
    std::vector<uint16_t> row(size_t(kWidth) * 3);
    for (int32_t y = 0; y < kHeight; ++y) {
        if (bits == 8) {
            request.readRow(y, image.scanLine(y));
            continue;
        }
        request.readRow(y, row.data());
        auto* line = reinterpret_cast<uint16_t*>(image.scanLine(y));
        for (int32_t x = 0; x < kWidth; ++x) {
            std::copy_n(&row[size_t(x) * 3], 3, line + size_t(x) * 4);
            line[size_t(x) * 4 + 3] = 65535;
        }
    }
    return image;
}

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

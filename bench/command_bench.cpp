// The whole of `calmora-cli denoise` on a 20-megapixel photo, stage by stage:
// decode, profile, filter, encode, and metadata with the atomic write, for
// JPEG, PNG, TIFF, WebP, HEIC and AVIF at 8 bits and PNG and TIFF at 16. The photo is written
// once per format into a temporary folder and read back every iteration, as
// the command would read a user's file. CALMORA_BENCH_PHOTO=photo.jpg times a
// photo of one's own instead of the generated one.
//
// Reported counters, in seconds per run: decode, profile, filter, encode,
// write (metadata and the atomic write), total; and copies, the whole-picture
// copies the document code made per run (the command keeps no original).

#include "bench/bench_photo.h"
#include "document/bitmap_ex.h"
#include "document/file_formats.h"
#include "document/image_pixels.h"
#include "engine/engine.h"
#include "settings/presets.h"

#include <benchmark/benchmark.h>

#include <QElapsedTimer>
#include <QImageWriter>
#include <QTemporaryDir>

#include <map>

namespace {

using namespace calmora;
using namespace calmora::bench;

struct Case {
    const char* name;
    const char* suffix;
    int bits;
};
constexpr Case kCases[] = {
    { "jpeg8", "jpg", 8 },
    { "png8", "png", 8 },
    { "tiff8", "tif", 8 },
    { "png16", "png", 16 },
    { "tiff16", "tif", 16 },
    { "webp8", "webp", 8 },
    { "heic8", "heic", 8 },
    { "avif8", "avif", 8 },
    { "jxl8", "jxl", 8 },
    { "jxl16", "jxl", 16 },
};

QTemporaryDir& folder()
{
    static QTemporaryDir dir;
    return dir;
}

// The photo of the run: the generated one, or the file that
// CALMORA_BENCH_PHOTO names (read with Qt, so any format Qt reads).
QImage sourcePhoto(int bits)
{
    const QByteArray given = qgetenv("CALMORA_BENCH_PHOTO");
    if (given.isEmpty())
        return photoImage(bits);
    return QImage(QString::fromLocal8Bit(given))
        .convertToFormat(bits == 8 ? QImage::Format_RGB888 : QImage::Format_RGBX64);
}

// The input file of a case, written on first use.
QString input(const Case& c)
{
    static std::map<std::string, QString> paths;
    auto found = paths.find(c.name);
    if (found != paths.end())
        return found->second;
    const QString path
        = folder().filePath(QStringLiteral("in_%1.%2").arg(QLatin1String(c.name), c.suffix));
    const QImage picture = sourcePhoto(c.bits);
    if (QImageWriter::supportedImageFormats().contains(c.suffix)) {
        QImageWriter writer(path);
        if (QByteArray(c.suffix) == "jpg")
            writer.setQuality(92);
        writer.write(picture);
    } else {
        // Formats Qt does not write are made by the program's own saver.
        const QString png = path + QStringLiteral(".png");
        CBitmapEx image;
        if (picture.save(png) && image.load(png))
            image.save(path, 92, c.bits == 16);
    }
    return paths[c.name] = path;
}

double seconds(QElapsedTimer& timer)
{
    return static_cast<double>(timer.nsecsElapsed()) / 1e9;
}

void wholeCommand(benchmark::State& state)
{
    const Case& c = kCases[state.range(0)];
    state.SetLabel(c.name);
    const QString in = input(c);
    const QString out
        = folder().filePath(QStringLiteral("out_%1.%2").arg(QLatin1String(c.name), c.suffix));
    FilterParams params;
    PresetTable().deriveParams(0, params);
    CBitmapEx::SaveOptions options;
    options.keepHighDepth = true;
    std::map<std::string, double> totals;
    double copies = 0;

    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        const int64_t copiesBefore = pictureCopies();
        CBitmapEx image;
        image.setKeepsOriginal(false);
        if (!image.load(in)) {
            state.SkipWithError("the input could not be loaded");
            return;
        }
        totals["decode"] += seconds(timer);

        timer.restart();
        TileList tiles;
        buildTileList(image.width(), image.height(), tiles);
        NoiseProfile profile;
        resetProfile(profile, false);
        buildProfile(image.description(), tiles, profile, nullptr, nullptr);
        smoothProfile(profile);
        totals["profile"] += seconds(timer);

        timer.restart();
        if (!image.separateOriginal(true)) {
            state.SkipWithError("no memory for the result");
            return;
        }
        filterImage(image.originalDescription(), image.description(),
            image.original()->highDepthPixels(), image.highDepthPixels(), image.bitsPerPixel(),
            tiles, profile, params, nullptr, nullptr);
        totals["filter"] += seconds(timer);

        timer.restart();
        QByteArray file;
        bool iccWritten = false;
        QString reason;
        const FileFormat* written = fileFormatOfExtension(QLatin1String(c.suffix));
        if (written == nullptr || !written->writable) {
            state.SkipWithError("this build does not write the format");
            return;
        }
        const QByteArray format = written->key;
        image.encode(format, options, file, iccWritten, reason);
        const double encode = seconds(timer);
        totals["encode"] += encode;
        benchmark::DoNotOptimize(file.data());
        file.clear();

        // save() encodes again; what it takes beyond the encoding is the
        // metadata and the atomic write.
        timer.restart();
        image.save(out, options);
        totals["write"] += std::max(0.0, seconds(timer) - encode);
        copies += static_cast<double>(pictureCopies() - copiesBefore);
    }
    double total = 0;
    for (const auto& [stage, sum] : totals) {
        state.counters[stage] = benchmark::Counter(sum, benchmark::Counter::kAvgIterations);
        total += sum;
    }
    state.counters["total"] = benchmark::Counter(total, benchmark::Counter::kAvgIterations);
    state.counters["copies"] = benchmark::Counter(copies, benchmark::Counter::kAvgIterations);
}

BENCHMARK(wholeCommand)
    ->DenseRange(0, std::size(kCases) - 1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2);

} // namespace

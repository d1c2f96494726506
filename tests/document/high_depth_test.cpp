// Pictures with 16 bits per channel and pictures with an alpha: kept at their
// depth from the file through the filter into the result, rows in the order
// the filter expects, the alpha given back to the formats that hold one.
#include <algorithm>
#include <cstring>

#include <QBuffer>
#include <QImageReader>
#include <QTemporaryDir>

#include <tiffio.h>

#include <gtest/gtest.h>

#include "document/bitmap_ex.h"
#include "engine/engine.h"
#include "settings/derive_params.h"
#include "settings/presets.h"
#include "noisy_picture.h"
#include "test_files.h"

namespace calmora {
namespace {

// The pictures most of these tests load.
constexpr int kWidth = 70;
constexpr int kHeight = 50;

uint64_t checksum(const void* data, int64_t bytes, uint64_t hash = 1469598103934665603ull)
{
    const auto* p = static_cast<const uint8_t*>(data);
    for (int64_t i = 0; i < bytes; ++i)
        hash = (hash ^ p[i]) * 1099511628211ull;
    return hash;
}

QImage::Format storedFormat(const QString& path)
{
    QImageReader reader(path);
    return reader.read().format();
}

TEST(HighDepth, EachFormatIsKeptAtItsDepthWithRowsInTheFilterOrder)
{
    struct Row {
        const char* name;
        QImage::Format format;
        int32_t bitsPerPixel;
        bool alpha;
        int32_t channels;
    };
    const Row rows[] = {
        { "16-bit colour", QImage::Format_RGBX64, 48, false, 3 },
        { "16-bit colour and alpha", QImage::Format_RGBA64, 48, true, 3 },
        { "16-bit grey", QImage::Format_Grayscale16, 16, false, 1 },
        { "8-bit colour", QImage::Format_RGB32, 32, false, 3 },
        { "8-bit colour and alpha", QImage::Format_ARGB32, 32, true, 3 },
        { "8-bit grey", QImage::Format_Grayscale8, 8, false, 1 },
    };
    QTemporaryDir dir;
    for (const char* type : { "png", "tiff" }) {
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(type) + ", " + row.name);
            const QImage picture = noisyPicture(kWidth, kHeight, row.format);
            const QString path = dir.filePath(QStringLiteral("in.%1").arg(QLatin1String(type)));
            ASSERT_TRUE(picture.save(path, type));
            CBitmapEx image;
            QString error;
            ASSERT_TRUE(image.load(path, &error)) << error.toStdString();
            EXPECT_EQ(image.bitsPerPixel(), row.bitsPerPixel);
            EXPECT_EQ(image.hasAlpha(), row.alpha);

            CBitmapEx::Header header;
            ASSERT_TRUE(CBitmapEx::readHeader(path, header, &error)) << error.toStdString();
            EXPECT_EQ(header.bitsPerPixel, row.bitsPerPixel);
            EXPECT_EQ(header.alpha, row.alpha);
            EXPECT_EQ(header.channels, row.channels);
            EXPECT_EQ(header.bitsPerChannel, isHighDepth(row.bitsPerPixel) ? 16 : 8);

            const PixelBuffers& pixels = image.pixels();
            const ImageDesc display = image.description();
            const int last = picture.height() - 1;
            if (!isHighDepth(row.bitsPerPixel)) {
                EXPECT_EQ(image.highDepthPixels(), nullptr);
                continue;
            }
            // High-depth row 0 is the top row; display row 0 the bottom one,
            // showing the high bytes of the last high-depth row.
            const int samples = row.channels;
            const QRgba64 top = picture.pixelColor(3, 0).rgba64();
            const uint16_t* first = pixels.highDepth.get() + 3 * samples;
            if (samples == 1) {
                EXPECT_EQ(first[0], reinterpret_cast<const uint16_t*>(picture.constScanLine(0))[3]);
            } else if (!row.alpha) {
                EXPECT_EQ(first[0], top.blue());
                EXPECT_EQ(first[1], top.green());
                EXPECT_EQ(first[2], top.red());
            }
            const uint16_t* lastRow
                = pixels.highDepth.get() + int64_t { last } * picture.width() * samples;
            for (int s = 0; s < samples * picture.width(); ++s)
                ASSERT_EQ(display.pixels[s], lastRow[s] >> 8) << "sample " << s;
        }
    }
}

// TIFF layouts that Qt's reader got wrong, written with libtiff: each comes
// back at its depth, grey as grey, with its alpha, every sample as it was.
TEST(HighDepth, TiffLayoutsAreReadSampleForSample)
{
    constexpr int kRgb = PHOTOMETRIC_RGB;
    constexpr int kGrey = PHOTOMETRIC_MINISBLACK;
    constexpr int kAlpha = EXTRASAMPLE_UNASSALPHA;
    struct Row {
        const char* name;
        test::TiffLayout layout;
        int32_t bitsPerPixel;
    };
    const Row rows[] = {
        { "16-bit RGB, planar", { .samplesPerPixel = 3, .bits = 16, .planar = true }, 48 },
        { "16-bit RGBA, planar",
            { .samplesPerPixel = 4, .bits = 16, .extraSample = kAlpha, .planar = true }, 48 },
        { "8-bit RGB, planar, tiled", { .samplesPerPixel = 3, .planar = true, .tiled = true }, 32 },
        { "8-bit grey and alpha",
            { .samplesPerPixel = 2, .photometric = kGrey, .extraSample = kAlpha }, 8 },
        { "16-bit grey and alpha",
            { .samplesPerPixel = 2, .bits = 16, .photometric = kGrey, .extraSample = kAlpha },
            16 },
        { "8-bit grey and alpha, planar, Deflate",
            { .samplesPerPixel = 2,
                .photometric = kGrey,
                .extraSample = kAlpha,
                .planar = true,
                .deflate = true },
            8 },
        { "16-bit grey and alpha, tiled, Deflate, big-endian",
            { .samplesPerPixel = 2,
                .bits = 16,
                .photometric = kGrey,
                .extraSample = kAlpha,
                .tiled = true,
                .deflate = true,
                .bigEndian = true },
            16 },
        { "16-bit RGBA, planar, tiled, big-endian",
            { .samplesPerPixel = 4,
                .bits = 16,
                .photometric = kRgb,
                .extraSample = kAlpha,
                .planar = true,
                .tiled = true,
                .bigEndian = true },
            48 },
    };
    QTemporaryDir dir;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const test::TiffLayout& layout = row.layout;
        const int channels = layout.samplesPerPixel;
        const bool alpha = layout.extraSample >= 0;
        // Noise over a ramp; every few pixels an alpha of 0, 1 or the
        // maximum, under which a composited colour keeps nothing or little.
        const uint32_t maximum = layout.bits == 16 ? 65535 : 255;
        std::vector<uint16_t> samples(size_t(layout.width) * size_t(layout.height) * size_t(channels));
        uint32_t state = 77;
        for (size_t i = 0; i < samples.size(); ++i) {
            state = state * 1664525u + 1013904223u;
            const size_t pixel = i / size_t(channels);
            samples[i] = uint16_t((pixel * 97 + (state >> 20)) % (maximum + 1));
            if (alpha && i % size_t(channels) == size_t(channels - 1) && pixel % 5 < 3)
                samples[i] = uint16_t(pixel % 5 == 0 ? 0 : pixel % 5 == 1 ? 1 : maximum);
        }
        const QString path = dir.filePath(QStringLiteral("layout.tif"));
        ASSERT_TRUE(test::writeTiff(path, layout, samples));
        CBitmapEx image;
        QString error;
        ASSERT_TRUE(image.load(path, &error)) << error.toStdString();
        EXPECT_EQ(image.bitsPerPixel(), row.bitsPerPixel);
        EXPECT_EQ(image.hasAlpha(), alpha);
        ASSERT_EQ(outputChannels(image.pixels(), true), channels);
        std::vector<uint16_t> got(size_t(layout.width) * size_t(channels));
        std::vector<uint8_t> got8(got.size());
        for (int32_t y = 0; y < layout.height; ++y) {
            readRow(image.pixels(), y, channels, layout.bits == 16,
                layout.bits == 16 ? static_cast<void*>(got.data()) : got8.data());
            for (size_t i = 0; i < got.size(); ++i)
                ASSERT_EQ(layout.bits == 16 ? got[i] : got8[i], samples[size_t(y) * got.size() + i])
                    << "pixel " << i / size_t(channels) << " of row " << y << ", sample "
                    << i % size_t(channels);
        }
        CBitmapEx::Header header;
        ASSERT_TRUE(CBitmapEx::readHeader(path, header, &error)) << error.toStdString();
        EXPECT_EQ(header.bitsPerChannel, layout.bits);
        EXPECT_EQ(header.channels, alpha ? channels - 1 : channels);
        EXPECT_EQ(header.alpha, alpha);
        EXPECT_EQ(header.bitsPerPixel, row.bitsPerPixel);
    }
}

// Load, measure, filter with a preset and save at 16 bits, reload: the
// result's samples are pinned by checksums, so any change of row order,
// channel order or rounding on the way shows.
TEST(HighDepth, RoundTripThroughTheFilterIsPinned)
{
    struct Row {
        const char* name;
        const char* type;
        QImage::Format format;
        uint64_t expected;
        bool keepsOriginal = true; // else the filter writes into fresh buffers
    };
    const Row rows[] = {
        { "png colour", "png", QImage::Format_RGBX64, 0xb7d8ee8e70924ed3 },
        { "tiff colour", "tiff", QImage::Format_RGBX64, 0xb7d8ee8e70924ed3 },
        { "png grey", "png", QImage::Format_Grayscale16, 0xdffaac60334164cf },
        { "tiff grey", "tiff", QImage::Format_Grayscale16, 0xdffaac60334164cf },
        { "png colour, no original", "png", QImage::Format_RGBX64, 0xb7d8ee8e70924ed3, false },
        { "tiff grey, no original", "tiff", QImage::Format_Grayscale16, 0xdffaac60334164cf, false },
    };
    PresetTable presets;
    FilterParams params;
    presets.deriveParams(0, params);
    QTemporaryDir dir;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const QString in = dir.filePath(QStringLiteral("in.%1").arg(QLatin1String(row.type)));
        const QString out = dir.filePath(QStringLiteral("out.%1").arg(QLatin1String(row.type)));
        ASSERT_TRUE(noisyPicture(700, 620, row.format).save(in, row.type));
        CBitmapEx image;
        image.setKeepsOriginal(row.keepsOriginal);
        ASSERT_TRUE(image.load(in));
        EXPECT_EQ(image.original() != nullptr, row.keepsOriginal);
        TileList tiles;
        buildTileList(image.width(), image.height(), tiles);
        NoiseProfile profile;
        resetProfile(profile, false);
        ASSERT_TRUE(buildProfile(image.description(), tiles, profile, nullptr, nullptr));
        smoothProfile(profile);
        ASSERT_TRUE(image.separateOriginal(true));
        ASSERT_TRUE(filterImage(image.originalDescription(), image.description(),
            image.original()->highDepthPixels(), image.highDepthPixels(), image.bitsPerPixel(),
            tiles, profile, params, nullptr, nullptr));
        QString error;
        ASSERT_TRUE(image.save(out, 90, true, &error)) << error.toStdString();

        CBitmapEx result;
        ASSERT_TRUE(result.load(out));
        ASSERT_EQ(result.bitsPerPixel(), image.bitsPerPixel());
        const PixelBuffers& pixels = result.pixels();
        const uint64_t sum = checksum(pixels.highDepth.get(), pixels.highDepthSamples() * 2,
            checksum(profile.bands, sizeof profile.bands));
        EXPECT_EQ(sum, row.expected) << std::hex << "0x" << sum;
        EXPECT_EQ(0,
            std::memcmp(pixels.highDepth.get(), image.highDepthPixels(),
                static_cast<size_t>(pixels.highDepthSamples()) * 2))
            << "the saved file holds exactly the filtered samples";
    }
}

TEST(HighDepth, TheResultDepthFollowsTheSourceTheFormatAndTheOption)
{
    struct Row {
        const char* name;
        QImage::Format source;
        bool widen; // --depth 16
        bool keepHighDepth; // the option, --depth auto or 16
        const char* type;
        bool sixteenBits; // expected
    };
    const Row rows[] = {
        { "16 to png, kept", QImage::Format_RGBX64, false, true, "png", true },
        { "16 to tiff, kept", QImage::Format_RGBX64, false, true, "tif", true },
        { "16 to png, 8 asked", QImage::Format_RGBX64, false, false, "png", false },
        { "16 to tiff, 8 asked", QImage::Format_RGBX64, false, false, "tif", false },
        { "16 to jpeg", QImage::Format_RGBX64, false, true, "jpg", false },
        { "8 to png", QImage::Format_RGB32, false, true, "png", false },
        { "8 to tiff", QImage::Format_RGB32, false, true, "tif", false },
        { "8 widened to png", QImage::Format_RGB32, true, true, "png", true },
        { "8 widened to tiff", QImage::Format_RGB32, true, true, "tif", true },
        { "16 grey to png, 8 asked", QImage::Format_Grayscale16, false, false, "png", false },
        { "8 grey to png", QImage::Format_Grayscale8, false, true, "png", false },
        { "8 grey to tiff", QImage::Format_Grayscale8, false, true, "tif", false },
        { "8 grey to jpeg", QImage::Format_Grayscale8, false, true, "jpg", false },
        { "8 grey widened to png", QImage::Format_Grayscale8, true, true, "png", true },
        { "16 to heic, kept at 10", QImage::Format_RGBX64, false, true, "heic", true },
        { "16 to heic, 8 asked", QImage::Format_RGBX64, false, false, "heic", false },
        { "16 to avif, 8 bits", QImage::Format_RGBX64, false, true, "avif", false },
        { "16 to webp, 8 bits", QImage::Format_RGBX64, false, true, "webp", false },
    };
    QTemporaryDir dir;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const QString in = dir.filePath(QStringLiteral("in.png"));
        const QImage picture = noisyPicture(kWidth, kHeight, row.source);
        ASSERT_TRUE(picture.save(in, "png"));
        CBitmapEx image;
        ASSERT_TRUE(image.load(in));
        if (row.widen) {
            const int32_t wide = image.pixels().isGrey() ? 16 : 48;
            ASSERT_TRUE(image.widenToHighDepth());
            EXPECT_EQ(image.bitsPerPixel(), wide);
            EXPECT_EQ(image.original()->bitsPerPixel(), wide);
        }
        const QString out = dir.filePath(QStringLiteral("out.%1").arg(QLatin1String(row.type)));
        QString error;
        ASSERT_TRUE(image.save(out, 90, row.keepHighDepth, &error)) << error.toStdString();
        if (QByteArray(row.type) == "heic" || QByteArray(row.type) == "avif") {
            // Qt reads neither; our reader says what the file stores.
            CBitmapEx::Header header;
            ASSERT_TRUE(CBitmapEx::readHeader(out, header, &error)) << error.toStdString();
            EXPECT_EQ(header.bitsPerChannel, row.sixteenBits ? 10 : 8);
            continue;
        }
        const QImage::Format written = storedFormat(out);
        const bool sixteen = written == QImage::Format_RGBX64 || written == QImage::Format_RGBA64
            || written == QImage::Format_Grayscale16;
        EXPECT_EQ(sixteen, row.sixteenBits) << "format " << written;
        // Grey stays grey, at either depth.
        const bool grey = row.source == QImage::Format_Grayscale8
            || row.source == QImage::Format_Grayscale16;
        EXPECT_EQ(written == QImage::Format_Grayscale8 || written == QImage::Format_Grayscale16,
            grey)
            << "format " << written;
        const bool lossless = QByteArray(row.type) == "png" || QByteArray(row.type) == "tif";
        if (image.pixels().isHighDepth() && !row.sixteenBits && lossless) {
            // 16 bits written at 8 are rounded to the nearest level.
            const QImage back(out);
            const uint16_t* high = image.pixels().highDepth.get();
            const int colours = image.pixels().colours();
            for (int x = 0; x < picture.width(); ++x) {
                const uint16_t red = high[x * colours + colours - 1];
                ASSERT_EQ(back.pixelColor(x, 0).red(), (red + 128) / 257)
                    << "pixel " << x << ", sample " << red;
            }
        }
        if (row.widen) {
            // Widening is exact: the 8-bit samples × 257, unfiltered here.
            const QImage back = QImage(out).convertToFormat(QImage::Format_RGB32);
            EXPECT_EQ(back, picture.convertToFormat(QImage::Format_RGB32));
        }
    }
}

TEST(HighDepth, AlphaIsGivenBackToPngAndTiffAndFlattenedInJpeg)
{
    // Blocks of one colour each, so that a JPEG's colour subsampling does not
    // blur their centres.
    constexpr int kBlock = 16;
    QImage picture(4 * kBlock, 2 * kBlock, QImage::Format_ARGB32);
    const QRgb colours[] = { qRgba(200, 100, 50, 255), qRgba(255, 255, 255, 0),
        qRgba(255, 0, 0, 128), qRgba(40, 200, 120, 64), qRgba(200, 90, 170, 1) };
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x)
            picture.setPixel(x, y, colours[(x / kBlock + y / kBlock * 3) % 5]);
    }
    QTemporaryDir dir;
    const QString in = dir.filePath(QStringLiteral("in.png"));
    ASSERT_TRUE(picture.save(in, "png"));
    CBitmapEx image;
    ASSERT_TRUE(image.load(in));
    for (const char* type : { "png", "tif", "jpg" }) {
        SCOPED_TRACE(type);
        const QString out = dir.filePath(QStringLiteral("out.%1").arg(QLatin1String(type)));
        ASSERT_TRUE(image.save(out, 100, false));
        // Read back by our own loader: Qt's TIFF reader composites an alpha.
        QImage back = QImage(out).convertToFormat(QImage::Format_ARGB32);
        CBitmapEx loaded;
        ASSERT_TRUE(loaded.load(out));
        if (QByteArray(type) != "jpg") {
            for (int y = 0; y < back.height(); ++y)
                readRow(loaded.pixels(), y, 4, false, back.scanLine(y));
            back.reinterpretAsFormat(QImage::Format_RGBA8888);
        }
        for (int y = kBlock / 2; y < picture.height(); y += kBlock) {
            for (int x = kBlock / 2; x < picture.width(); x += kBlock) {
                SCOPED_TRACE(testing::Message() << "(" << x << "," << y << ")");
                const QRgb want = picture.pixel(x, y);
                const QRgb got = back.pixel(x, y);
                if (QByteArray(type) == "jpg") {
                    EXPECT_EQ(qAlpha(got), 255);
                    EXPECT_NEAR(qRed(got), qRed(want) * qAlpha(want) / 255, 12);
                    continue;
                }
                // Unfiltered, every colour comes back as it was, however
                // faint its pixel.
                EXPECT_EQ(got, want);
            }
        }
    }
}

// A camera raw file is developed into 16-bit colour with the camera's
// EXIF, which its TIFF result keeps.
TEST(HighDepth, MetadataIsKeptInSixteenBitTiff)
{
    QTemporaryDir dir;
    const QString tiff = dir.filePath(QStringLiteral("in.tif"));
    ASSERT_TRUE(noisyPicture(kWidth, kHeight, QImage::Format_RGBX64).save(tiff, "tiff"));
    test::editMetadata(tiff, [](Exiv2::Image& image) {
        image.exifData()["Exif.Image.Model"] = "Test Camera";
        image.exifData()["Exif.Photo.ISOSpeedRatings"] = uint16_t { 1600 };
    });
    const QString dng = dir.filePath(QStringLiteral("in.dng"));
    test::TiffLayout layout;
    layout.samplesPerPixel = 1;
    layout.bits = 16;
    layout.photometric = 32803; // the camera's mosaic
    layout.dng = true;
    std::vector<uint16_t> mosaic(size_t(layout.width) * size_t(layout.height));
    for (size_t i = 0; i < mosaic.size(); ++i)
        mosaic[i] = uint16_t(8000 + (i % size_t(layout.width)) * 400);
    ASSERT_TRUE(test::writeTiff(dng, layout, mosaic));
    for (const QString& in : { tiff, dng }) {
        SCOPED_TRACE(in.toStdString());
        const bool raw = in == dng;
        CBitmapEx image;
        QString error;
        ASSERT_TRUE(image.load(in, &error)) << error.toStdString();
        ASSERT_EQ(image.bitsPerPixel(), 48);
        const ExifRecord& record = image.exif().record();
        EXPECT_EQ(record.model, "Test Camera");
        EXPECT_EQ(record.isoSpeed, 1600);
        EXPECT_EQ(image.decoderNotes().join(u' ').contains(QLatin1String("LibRaw")), raw);
        CBitmapEx::Header header;
        ASSERT_TRUE(CBitmapEx::readHeader(in, header, &error)) << error.toStdString();
        EXPECT_EQ(header.format, raw ? "raw" : "tiff");
        EXPECT_EQ(header.bitsPerPixel, 48);
        EXPECT_EQ(header.exif.record().isoSpeed, 1600);
        // Learned apart from the camera's own pictures.
        EXPECT_EQ(record.developedFromRaw, raw);
        EXPECT_EQ(header.exif.record().developedFromRaw, raw);
        if (raw) {
            EXPECT_EQ(record.make, "Calmora");
            EXPECT_EQ(record.dateTimeOriginal, "2024:05:06 07:08:09");
            EXPECT_DOUBLE_EQ(record.exposureTime, 1.0 / 125);
            EXPECT_EQ(QSize(image.width(), image.height()), QSize(layout.width, layout.height));
            // The horizontal ramp of the mosaic survives developing.
            const uint16_t* row = image.highDepthPixels() == nullptr
                ? nullptr
                : reinterpret_cast<const uint16_t*>(image.highDepthPixels())
                    + size_t(layout.height / 2) * size_t(layout.width) * 3;
            ASSERT_NE(row, nullptr);
            EXPECT_LT(row[3 * 4 + 1], row[3 * (layout.width - 4) + 1]);
        }
        const QString out = dir.filePath(QStringLiteral("out.tif"));
        ASSERT_TRUE(image.save(out, 90, true, &error)) << error.toStdString();
        EXPECT_EQ(storedFormat(out), QImage::Format_RGBX64);
        const auto metadata = test::readMetadata(out);
        const auto model = metadata->exifData().findKey(Exiv2::ExifKey("Exif.Image.Model"));
        ASSERT_NE(model, metadata->exifData().end());
        EXPECT_EQ(model->toString(), "Test Camera");
    }
}

} // namespace
} // namespace calmora

namespace calmora {
namespace {

// Drawing copies only the part it shows; the part is the same pixels as the
// whole picture has there, for every depth, clipped to the image.
TEST(HighDepth, ARegionIsThatPartOfTheWholePicture)
{
    QTemporaryDir dir;
    for (const QImage::Format format :
        { QImage::Format_RGB32, QImage::Format_RGBX64, QImage::Format_Grayscale16 }) {
        SCOPED_TRACE(testing::Message() << "format " << format);
        const QString path = dir.filePath(QStringLiteral("in.png"));
        ASSERT_TRUE(noisyPicture(kWidth, kHeight, format).save(path, "png"));
        CBitmapEx image;
        ASSERT_TRUE(image.load(path));
        const QImage whole = image.toQImage();
        const QRect rows[]
            = { { 0, 0, 70, 50 }, { 5, 7, 20, 11 }, { 60, 40, 30, 30 }, { -10, -3, 15, 9 } };
        for (const QRect& rect : rows) {
            SCOPED_TRACE(testing::Message()
                << rect.x() << "," << rect.y() << " " << rect.width() << "x" << rect.height());
            const QRect clipped = rect.intersected(whole.rect());
            EXPECT_EQ(image.region(rect), whole.copy(clipped));
            EXPECT_EQ(image.region(rect, true), image.toQImage(true).copy(clipped));
            // Zoomed out: the pixels at multiples of the step, wherever the
            // part starts, so that partial repaints match a whole one.
            for (const int32_t step : { 2, 4 }) {
                const QImage sampled = image.region(rect, false, step);
                const int32_t firstX = (clipped.left() + step - 1) / step * step;
                const int32_t firstY = (clipped.top() + step - 1) / step * step;
                ASSERT_EQ(sampled.width(), (clipped.right() - firstX) / step + 1);
                ASSERT_EQ(sampled.height(), (clipped.bottom() - firstY) / step + 1);
                for (int32_t y = 0; y < sampled.height(); ++y)
                    for (int32_t x = 0; x < sampled.width(); ++x)
                        ASSERT_EQ(sampled.pixel(x, y),
                            whole.pixel(firstX + x * step, firstY + y * step))
                            << "step " << step << " at " << x << "," << y;
            }
        }
        EXPECT_TRUE(image.region(QRect(100, 100, 5, 5)).isNull()) << "nothing of it on the image";
        EXPECT_TRUE(image.region(QRect(1, 1, 2, 2), false, 4).isNull()) << "no sampled pixel in it";
    }
}

} // namespace
} // namespace calmora

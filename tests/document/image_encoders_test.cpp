#include "document/image_encoders.h"

#include "document/bitmap_ex.h"
#include "document/image_pixels.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QColorSpace>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <zlib.h>

#include <atomic>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace calmora {
namespace {

enum class Format { Png, Tiff };

const char* formatName(Format format)
{
    return format == Format::Png ? "PNG" : "TIFF";
}

// Samples in R, G, B, A (or grey, alpha) order, one uint16_t each whatever
// the depth: seeded noise over a diagonal ramp, the alpha running through
// its whole range, 0 and the maximum included.
struct Picture {
    int32_t width = 0;
    int32_t height = 0;
    int channels = 3;
    int bits = 8;
    std::vector<uint16_t> samples;

    uint16_t at(int32_t x, int32_t y, int c) const
    {
        return samples[(size_t(y) * size_t(width) + size_t(x)) * size_t(channels) + size_t(c)];
    }
};

Picture makePicture(int32_t width, int32_t height, int channels, int bits, uint32_t seed = 1)
{
    Picture picture { width, height, channels, bits, {} };
    picture.samples.resize(size_t(width) * size_t(height) * size_t(channels));
    const uint32_t maximum = bits == 8 ? 255 : 65535;
    uint32_t state = seed * 2654435761u + 1;
    size_t i = 0;
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            for (int c = 0; c < channels; ++c, ++i) {
                state = state * 1664525u + 1013904223u;
                const bool alpha = (channels == 2 || channels == 4) && c == channels - 1;
                const uint32_t ramp
                    = uint32_t(x + y * 2 + c * 40) * maximum / uint32_t(width + height * 2 + 160);
                const uint32_t noise = (state >> 16) % (maximum / 16 + 1);
                uint32_t value = alpha ? (state >> 8) % (maximum + 1) : ramp + noise;
                if (alpha && x % 7 == 0)
                    value = x % 2 == 0 ? 0 : maximum;
                picture.samples[i] = uint16_t(std::min(value, maximum));
            }
        }
    }
    return picture;
}

EncodeRequest requestFor(const Picture& picture, int compression, int threads = 0)
{
    EncodeRequest request;
    request.width = picture.width;
    request.height = picture.height;
    request.channels = picture.channels;
    request.bitsPerChannel = picture.bits;
    request.compression = compression;
    request.threadCount = threads;
    const Picture* source = &picture;
    request.readRow = [source](int32_t y, void* out) {
        const size_t count = size_t(source->width) * size_t(source->channels);
        const uint16_t* row = source->samples.data() + size_t(y) * count;
        if (source->bits == 16) {
            std::memcpy(out, row, count * 2);
        } else {
            auto* bytes = static_cast<uint8_t*>(out);
            for (size_t i = 0; i < count; ++i)
                bytes[i] = uint8_t(row[i]);
        }
    };
    return request;
}

QByteArray encode(Format format, const EncodeRequest& request)
{
    QByteArray file;
    QString reason;
    const bool ok = format == Format::Png ? encodePng(request, file, reason)
                                          : encodeTiff(request, file, reason);
    EXPECT_TRUE(ok) << reason.toStdString();
    return file;
}

// The decoded pixels as R, G, B, A samples at the picture's depth: grey
// spread over R, G and B, a missing alpha at its maximum.
std::vector<uint16_t> expectedRgba(const Picture& picture)
{
    const uint16_t opaque = picture.bits == 8 ? 255 : 65535;
    std::vector<uint16_t> rgba;
    rgba.reserve(size_t(picture.width) * size_t(picture.height) * 4);
    for (int32_t y = 0; y < picture.height; ++y) {
        for (int32_t x = 0; x < picture.width; ++x) {
            const bool grey = picture.channels < 3;
            for (int c = 0; c < 3; ++c)
                rgba.push_back(picture.at(x, y, grey ? 0 : c));
            const bool alpha = picture.channels == 2 || picture.channels == 4;
            rgba.push_back(alpha ? picture.at(x, y, picture.channels - 1) : opaque);
        }
    }
    return rgba;
}

// Empty when equal, else how many samples differ and the first of them.
std::string compareRgba(
    const std::vector<uint16_t>& expected, const std::vector<uint16_t>& got, int32_t width)
{
    if (got.size() != expected.size())
        return "decoded " + std::to_string(got.size()) + " samples, expected "
            + std::to_string(expected.size());
    size_t wrong = 0;
    size_t first = 0;
    for (size_t i = 0; i < expected.size(); ++i) {
        if (got[i] != expected[i] && wrong++ == 0)
            first = i;
    }
    if (wrong == 0)
        return {};
    const size_t pixel = first / 4;
    return std::to_string(wrong) + " samples differ; first at ("
        + std::to_string(pixel % size_t(width)) + "," + std::to_string(pixel / size_t(width))
        + ") channel " + std::to_string(first % 4) + ": expected " + std::to_string(expected[first])
        + ", got " + std::to_string(got[first]);
}

std::string compareRgba(const Picture& picture, const std::vector<uint16_t>& got)
{
    return compareRgba(expectedRgba(picture), got, picture.width);
}

// Qt's reader must keep the depth: a 16-bit file read at 8 bits fails here.
std::vector<uint16_t> rgbaFromQt(const QImage& image, int bits)
{
    std::vector<uint16_t> rgba;
    const QImage converted
        = image.convertToFormat(bits == 8 ? QImage::Format_RGBA8888 : QImage::Format_RGBA64);
    for (int y = 0; y < converted.height(); ++y) {
        if (bits == 8) {
            const uchar* line = converted.constScanLine(y);
            rgba.insert(rgba.end(), line, line + size_t(converted.width()) * 4);
        } else {
            const auto* line = reinterpret_cast<const uint16_t*>(converted.constScanLine(y));
            rgba.insert(rgba.end(), line, line + size_t(converted.width()) * 4);
        }
    }
    return rgba;
}

QImage readWithQt(const QByteArray& file, QString& error)
{
    QBuffer buffer;
    buffer.setData(file);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    QImage image = reader.read();
    error = reader.errorString();
    return image;
}

// The file read back through this program's own loader, the samples
// asked for as an encoder would ask: the loader must keep the depth, grey as
// grey, the alpha and every colour exactly, however faint.
std::string compareWithLoader(const QByteArray& file, const Picture& picture)
{
    CBitmapEx image;
    QString error;
    if (!image.loadFromData(file, &error))
        return "the loader refused it: " + error.toStdString();
    const PixelBuffers& pixels = image.pixels();
    if (image.width() != picture.width || image.height() != picture.height
        || outputChannels(pixels, true) != picture.channels
        || pixels.isHighDepth() != (picture.bits == 16))
        return "loaded as " + std::to_string(image.width()) + " x "
            + std::to_string(image.height()) + ", " + std::to_string(outputChannels(pixels, true))
            + " channels, " + std::to_string(image.bitsPerPixel()) + " bits per pixel";
    const size_t count = size_t(picture.width) * size_t(picture.channels);
    std::vector<uint8_t> row8(count);
    std::vector<uint16_t> row16(count);
    size_t wrong = 0;
    std::string first;
    for (int32_t y = 0; y < picture.height; ++y) {
        readRow(pixels, y, picture.channels, picture.bits == 16,
            picture.bits == 16 ? static_cast<void*>(row16.data()) : row8.data());
        for (size_t i = 0; i < count; ++i) {
            const uint16_t got = picture.bits == 16 ? row16[i] : row8[i];
            const uint16_t expected = picture.samples[size_t(y) * count + i];
            if (got != expected && wrong++ == 0)
                first = "first at (" + std::to_string(i / size_t(picture.channels)) + ","
                    + std::to_string(y) + ") sample " + std::to_string(i % size_t(picture.channels))
                    + ": expected " + std::to_string(expected) + ", got " + std::to_string(got);
        }
    }
    return wrong == 0 ? std::string() : std::to_string(wrong) + " samples differ; " + first;
}

// An outside reader run as a program: its name, whether it is installed, and
// how it turns a file into R, G, B, A samples (big-endian at 16 bits).
struct OutsideReader {
    const char* name;
    QString program;
    QStringList arguments; // "%file" is replaced
    bool sixteenBits;
};

std::vector<OutsideReader> outsideReaders()
{
    std::vector<OutsideReader> readers;
    const QString convert = QStandardPaths::findExecutable(QStringLiteral("convert"));
    if (!convert.isEmpty())
        readers.push_back({ "ImageMagick", convert,
            { QStringLiteral("%file"), QStringLiteral("-endian"), QStringLiteral("MSB"),
                QStringLiteral("-depth"), QStringLiteral("%bits"), QStringLiteral("rgba:-") },
            true });
    // Pillow 9 reads 16-bit colour as 8 bits, so it checks 8-bit files only.
    for (const QString& python :
        { QStringLiteral("/usr/bin/python3"), QStandardPaths::findExecutable("python3") }) {
        if (python.isEmpty())
            continue;
        QProcess probe;
        probe.start(python, { QStringLiteral("-c"), QStringLiteral("import PIL") });
        if (probe.waitForFinished(20000) && probe.exitCode() == 0) {
            readers.push_back({ "Pillow", python,
                { QStringLiteral("-c"),
                    QStringLiteral("import sys; from PIL import Image; "
                                   "sys.stdout.buffer.write(Image.open(sys.argv[1])"
                                   ".convert('RGBA').tobytes())"),
                    QStringLiteral("%file") },
                false });
            break;
        }
    }
    return readers;
}

const std::vector<OutsideReader>& installedReaders()
{
    static const std::vector<OutsideReader> readers = outsideReaders();
    return readers;
}

// Empty when the reader decodes `file` to the picture, else what went wrong.
std::string checkWithOutsideReader(
    const OutsideReader& reader, const QString& path, const Picture& picture)
{
    QStringList arguments = reader.arguments;
    arguments.replaceInStrings(QStringLiteral("%file"), path);
    arguments.replaceInStrings(QStringLiteral("%bits"), QString::number(picture.bits));
    QProcess process;
    process.start(reader.program, arguments);
    if (!process.waitForFinished(60000) || process.exitCode() != 0)
        return std::string(reader.name)
            + " failed: " + process.readAllStandardError().toStdString();
    const QByteArray bytes = process.readAllStandardOutput();
    std::vector<uint16_t> rgba;
    if (picture.bits == 8) {
        rgba.assign(bytes.begin(), bytes.end());
        for (uint16_t& sample : rgba)
            sample = uint8_t(sample);
    } else {
        for (qsizetype i = 0; i + 1 < bytes.size(); i += 2)
            rgba.push_back(uint16_t(uint8_t(bytes[i]) << 8 | uint8_t(bytes[i + 1])));
    }
    const std::string problem = compareRgba(picture, rgba);
    return problem.empty() ? problem : std::string(reader.name) + ": " + problem;
}

struct RoundTripRow {
    std::string name;
    Format format;
    int bits;
    int channels;
    int compression;
};

std::vector<RoundTripRow> roundTripRows()
{
    std::vector<RoundTripRow> rows;
    for (Format format : { Format::Png, Format::Tiff })
        for (int bits : { 8, 16 })
            for (int channels : { 1, 2, 3, 4 })
                for (int compression : { 0, -1, 9 })
                    rows.push_back({ std::string(formatName(format)) + "_" + std::to_string(bits)
                            + "bit_" + std::to_string(channels) + "ch_level"
                            + (compression < 0 ? std::string("Default")
                                               : std::to_string(compression)),
                        format, bits, channels, compression });
    return rows;
}

class EncoderRoundTrip : public testing::TestWithParam<RoundTripRow> { };

// Odd sizes, so rows do not end on a word; tall enough for several TIFF
// strips at 16 bits.
TEST_P(EncoderRoundTrip, OurLoaderAndOutsideReadersDecodeTheSamePixels)
{
    const RoundTripRow& row = GetParam();
    const Picture picture = makePicture(301, 207, row.channels, row.bits, uint32_t(row.channels));
    const QByteArray file = encode(row.format, requestFor(picture, row.compression));
    ASSERT_FALSE(file.isEmpty());

    EXPECT_EQ(compareWithLoader(file, picture), "");

    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString path = folder.filePath(row.format == Format::Png ? "picture.png" : "picture.tif");
    QFile out(path);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly) && out.write(file) == file.size());
    out.close();
    int checked = 0;
    for (const OutsideReader& reader : installedReaders()) {
        if (row.bits == 16 && !reader.sixteenBits)
            continue;
        EXPECT_EQ(checkWithOutsideReader(reader, path, picture), "");
        ++checked;
    }
    if (checked == 0)
        GTEST_SKIP() << "no outside reader installed for " << row.bits
                     << "-bit files (ImageMagick's convert, Pillow); checked with our loader only";
}

INSTANTIATE_TEST_SUITE_P(EveryFormatDepthAndLevel, EncoderRoundTrip,
    testing::ValuesIn(roundTripRows()),
    [](const testing::TestParamInfo<RoundTripRow>& info) { return info.param.name; });

// The PNG's chunks, each checked against its CRC; the IDAT data joined.
struct PngChunks {
    std::vector<std::string> types;
    QByteArray idat;
    std::string problem;
};

PngChunks readChunks(const QByteArray& file)
{
    PngChunks chunks;
    qsizetype at = 8;
    while (at + 12 <= file.size()) {
        const auto* p = reinterpret_cast<const uint8_t*>(file.constData() + at);
        const uint32_t length
            = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
        if (at + 12 + qsizetype(length) > file.size()) {
            chunks.problem = "chunk past the end of the file";
            return chunks;
        }
        const std::string type(reinterpret_cast<const char*>(p + 4), 4);
        const uint32_t stored = uint32_t(p[8 + length]) << 24 | uint32_t(p[9 + length]) << 16
            | uint32_t(p[10 + length]) << 8 | p[11 + length];
        if (crc32(0, p + 4, length + 4) != stored)
            chunks.problem = "bad CRC on " + type;
        chunks.types.push_back(type);
        if (type == "IDAT")
            chunks.idat.append(reinterpret_cast<const char*>(p + 8), length);
        at += 12 + qsizetype(length);
    }
    if (at != file.size())
        chunks.problem = "bytes after the last chunk";
    return chunks;
}

// Large enough for several PNG bands and many TIFF strips.
Picture bandedPicture(int bits)
{
    return makePicture(1201, 917, 3, bits, 7);
}

struct ThreadRow {
    const char* name;
    Format format;
    int bits;
    int compression;
};

const ThreadRow kThreadRows[] = {
    { "PNG 8-bit default", Format::Png, 8, -1 },
    { "PNG 16-bit level 6", Format::Png, 16, 6 },
    { "PNG 8-bit stored", Format::Png, 8, 0 },
    { "TIFF 8-bit default", Format::Tiff, 8, -1 },
    { "TIFF 16-bit level 9", Format::Tiff, 16, 9 },
    { "TIFF 16-bit uncompressed", Format::Tiff, 16, 0 },
};

// Bands and strips are cut by size, never by thread count, so the files are
// equal byte for byte; every row is asked for exactly once.
TEST(ImageEncoders, ManyThreadsWriteTheSameFileAsOneAndReadEachRowOnce)
{
    for (const ThreadRow& row : kThreadRows) {
        SCOPED_TRACE(row.name);
        const Picture picture = bandedPicture(row.bits);
        const QByteArray single = encode(row.format, requestFor(picture, row.compression, 1));
        EncodeRequest request = requestFor(picture, row.compression, 5);
        std::vector<std::atomic<int>> reads(size_t(picture.height));
        const auto readRow = request.readRow;
        request.readRow = [&](int32_t y, void* out) {
            reads[size_t(y)].fetch_add(1);
            readRow(y, out);
        };
        const QByteArray many = encode(row.format, request);
        EXPECT_TRUE(single == many)
            << "1 thread: " << single.size() << " bytes, 5 threads: " << many.size();
        for (size_t y = 0; y < reads.size(); ++y)
            ASSERT_EQ(reads[y].load(), 1) << "row " << y;
        QString error;
        EXPECT_EQ(compareRgba(picture, rgbaFromQt(readWithQt(many, error), row.bits)), "");
    }
}

// The joined bands form one zlib stream whose adler-32 holds, and the chunks
// come in order with good CRCs: libpng checks less than this.
TEST(ImageEncoders, PngBandsJoinIntoOneValidZlibStream)
{
    for (int compression : { -1, 0, 1, 9 }) {
        SCOPED_TRACE(compression);
        const Picture picture = bandedPicture(8);
        EncodeRequest request = requestFor(picture, compression);
        request.iccProfile = QColorSpace(QColorSpace::SRgb).iccProfile();
        const PngChunks chunks = readChunks(encode(Format::Png, request));
        ASSERT_EQ(chunks.problem, "");
        ASSERT_GE(chunks.types.size(), 4u);
        EXPECT_EQ(chunks.types[0], "IHDR");
        EXPECT_EQ(chunks.types[1], "iCCP");
        EXPECT_EQ(chunks.types.back(), "IEND");
        const size_t rowBytes = size_t(picture.width) * 3 + 1;
        std::vector<uint8_t> raw(rowBytes * size_t(picture.height) + 1);
        uLongf rawSize = uLongf(raw.size());
        ASSERT_EQ(
            uncompress(raw.data(), &rawSize,
                reinterpret_cast<const Bytef*>(chunks.idat.constData()), uLong(chunks.idat.size())),
            Z_OK);
        EXPECT_EQ(rawSize, rowBytes * size_t(picture.height));
        for (size_t y = 0; y < size_t(picture.height); ++y)
            ASSERT_LE(raw[y * rowBytes], 4) << "row " << y << " has no valid filter type";
    }
}

TEST(ImageEncoders, IccProfileIsKept)
{
    const QByteArray profile = QColorSpace(QColorSpace::AdobeRgb).iccProfile();
    ASSERT_FALSE(profile.isEmpty());
    for (Format format : { Format::Png, Format::Tiff }) {
        for (int channels : { 3, 4 }) {
            SCOPED_TRACE(std::string(formatName(format)) + " " + std::to_string(channels));
            const Picture picture = makePicture(40, 30, channels, 16);
            EncodeRequest request = requestFor(picture, -1);
            request.iccProfile = profile;
            QString error;
            const QImage image = readWithQt(encode(format, request), error);
            ASSERT_FALSE(image.isNull()) << error.toStdString();
            EXPECT_TRUE(image.colorSpace().iccProfile() == profile);
            EXPECT_EQ(image.colorSpace(), QColorSpace(QColorSpace::AdobeRgb));
        }
    }
}

// Higher levels give smaller files on a photo-like picture, and level 0
// stores the samples (never smaller than they are).
TEST(ImageEncoders, LevelsTradeSizeForTime)
{
    const Picture picture = bandedPicture(8);
    const qsizetype samples = qsizetype(picture.samples.size());
    for (Format format : { Format::Png, Format::Tiff }) {
        SCOPED_TRACE(formatName(format));
        const qsizetype stored = encode(format, requestFor(picture, 0)).size();
        const qsizetype fast = encode(format, requestFor(picture, 1)).size();
        const qsizetype best = encode(format, requestFor(picture, 9)).size();
        const qsizetype byDefault = encode(format, requestFor(picture, -1)).size();
        EXPECT_GE(stored, samples);
        EXPECT_LT(fast, stored * 9 / 10);
        EXPECT_LE(best, fast);
        EXPECT_LT(byDefault, stored * 9 / 10);
    }
}

struct RefusalRow {
    const char* name;
    void (*spoil)(EncodeRequest&);
    const char* reasonContains;
};

const RefusalRow kRefusals[] = {
    { "no pixels", [](EncodeRequest& r) { r.height = 0; }, "no pixels" },
    { "negative width", [](EncodeRequest& r) { r.width = -5; }, "no pixels" },
    { "five channels", [](EncodeRequest& r) { r.channels = 5; }, "channels" },
    { "12 bits", [](EncodeRequest& r) { r.bitsPerChannel = 12; }, "bits" },
    { "level 10", [](EncodeRequest& r) { r.compression = 10; }, "out of range" },
    { "level -2", [](EncodeRequest& r) { r.compression = -2; }, "out of range" },
    { "negative thread count", [](EncodeRequest& r) { r.threadCount = -1; }, "thread" },
    { "no row callback", [](EncodeRequest& r) { r.readRow = nullptr; }, "no rows" },
    { "stopped by another thread",
        [](EncodeRequest& r) {
            static std::atomic<bool> stop;
            stop = false;
            r.stop = &stop;
            r.threadCount = 1; // no band beyond the first has begun
            r.readRow = [](int32_t, void*) { stop = true; };
        },
        "stopped" },
    { "memory runs out while reading rows",
        [](EncodeRequest& r) {
            r.readRow = [](int32_t y, void*) {
                if (y == 700)
                    throw std::bad_alloc();
            };
        },
        "not enough memory" },
};

TEST(ImageEncoders, RefusesWhatItCannotEncodeWithAReasonAndNoOutput)
{
    const Picture picture = bandedPicture(8);
    for (const RefusalRow& row : kRefusals) {
        for (Format format : { Format::Png, Format::Tiff }) {
            SCOPED_TRACE(std::string(row.name) + ", " + formatName(format));
            EncodeRequest request = requestFor(picture, -1);
            row.spoil(request);
            QByteArray file("left over");
            QString reason;
            const bool ok = format == Format::Png ? encodePng(request, file, reason)
                                                  : encodeTiff(request, file, reason);
            EXPECT_FALSE(ok);
            EXPECT_TRUE(file.isEmpty());
            EXPECT_TRUE(reason.contains(QLatin1String(row.reasonContains))) << reason.toStdString();
        }
    }
}

} // namespace
} // namespace calmora

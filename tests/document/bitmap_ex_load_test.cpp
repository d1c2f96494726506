#include <cstring>

#include <QBuffer>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "document/bitmap_ex.h"
#include "document/decoder_messages.h"
#include "document/jpeg_codec.h"
#include "test_files.h"

namespace calmora {
namespace {

using test::quadrantPicture;

struct FormatRow {
    const char* name;
    const char* format;
    int tolerance; // largest channel difference
    int margin; // pixels near quadrant edges left out of the comparison
};

class LoadFormat : public ::testing::TestWithParam<FormatRow> { };

TEST_P(LoadFormat, KeepsRowsBottomUpInBlueGreenRedOrder)
{
    const FormatRow& row = GetParam();
    QTemporaryDir dir;
    const QImage picture = quadrantPicture();
    const QString path = dir.filePath(QStringLiteral("in.%1").arg(QLatin1String(row.format)));
    ASSERT_TRUE(test::writePicture(path, picture, row.format));

    CBitmapEx image;
    QString error;
    ASSERT_TRUE(image.load(path, &error)) << error.toStdString();
    const ImageDesc desc = image.description();
    EXPECT_EQ(desc.width, 64);
    EXPECT_EQ(desc.height, 32);
    EXPECT_EQ(desc.stride, 64 * 4);
    EXPECT_EQ(desc.bitsPerPixel, 32);
    EXPECT_EQ(image.bitsPerPixel(), 32);
    EXPECT_EQ(image.highDepthPixels(), nullptr);

    const test::PixelReport report = test::compare(desc, picture, row.margin);
    EXPECT_LE(report.worst, row.tolerance)
        << "worst pixel at (" << report.x << "," << report.y << ")";
    EXPECT_EQ(report.badFourthBytes, 0);

    ASSERT_NE(image.original(), nullptr);
    const ImageDesc original = image.originalDescription();
    ASSERT_NE(original.pixels, desc.pixels);
    EXPECT_EQ(std::memcmp(original.pixels, desc.pixels, 64 * 4 * 32), 0);
}

INSTANTIATE_TEST_SUITE_P(Formats, LoadFormat,
    ::testing::Values(FormatRow { "png", "png", 0, 0 }, FormatRow { "bmp", "bmp", 0, 0 },
        FormatRow { "tiff", "tiff", 0, 0 }, FormatRow { "gif", "gif", 0, 0 },
        FormatRow { "jpeg", "jpeg", 12, 4 }),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LoadTransparency, CompositesOverOpaqueBlack)
{
    struct Row {
        const char* name;
        QRgb stored;
        int blue, green, red;
    };
    const Row rows[] = {
        { "opaque", qRgba(200, 100, 50, 255), 50, 100, 200 },
        { "transparent white", qRgba(255, 255, 255, 0), 0, 0, 0 },
        { "half red", qRgba(255, 0, 0, 128), 0, 0, 128 },
        { "quarter teal", qRgba(40, 200, 120, 64), 30, 50, 10 },
    };
    QTemporaryDir dir;
    QImage picture(4, 1, QImage::Format_ARGB32);
    for (int x = 0; x < 4; ++x)
        picture.setPixel(x, 0, rows[x].stored);
    const QString path = dir.filePath(QStringLiteral("alpha.png"));
    ASSERT_TRUE(test::writePicture(path, picture, "png"));
    CBitmapEx image;
    ASSERT_TRUE(image.load(path));
    for (int x = 0; x < 4; ++x) {
        SCOPED_TRACE(rows[x].name);
        const uint8_t* p = image.description().pixels + x * 4;
        EXPECT_NEAR(p[0], rows[x].blue, 1);
        EXPECT_NEAR(p[1], rows[x].green, 1);
        EXPECT_NEAR(p[2], rows[x].red, 1);
        EXPECT_EQ(p[3], 255);
    }

    // A GIF's transparent colour index goes black too.
    QImage gifPicture(2, 1, QImage::Format_RGB32);
    gifPicture.setPixel(0, 0, qRgb(255, 255, 255));
    gifPicture.setPixel(1, 0, qRgb(0, 255, 0));
    const QString gifPath = dir.filePath(QStringLiteral("alpha.gif"));
    ASSERT_TRUE(test::writePicture(gifPath, gifPicture, "gif", 0));
    ASSERT_TRUE(image.load(gifPath));
    const uint8_t* p = image.description().pixels;
    EXPECT_EQ(
        QByteArray(reinterpret_cast<const char*>(p), 8), QByteArray("\0\0\0\xff\0\xff\0\xff", 8));
}

TEST(RestoreFromOriginal, PutsTheLoadedPixelsBack)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("in.png"));
    ASSERT_TRUE(test::writePicture(path, quadrantPicture(), "png"));
    CBitmapEx image;
    ASSERT_TRUE(image.load(path));
    std::memset(image.description().pixels, 0x11, 64 * 4 * 32);

    EXPECT_EQ(image.toQImage(true), quadrantPicture())
        << "the original must not share the working pixels";
    EXPECT_EQ(image.toQImage(false).pixel(0, 0) & 0xffffffu, 0x111111u);
    EXPECT_TRUE(image.restoreFromOriginal());
    EXPECT_EQ(image.toQImage(false), quadrantPicture());

    CBitmapEx empty;
    EXPECT_TRUE(empty.restoreFromOriginal());
    EXPECT_EQ(empty.description().pixels, nullptr);
    EXPECT_EQ(empty.original(), nullptr);
    EXPECT_TRUE(empty.toQImage(false).isNull());
    EXPECT_TRUE(empty.toQImage(true).isNull());
}

// The JPEG decoder of our own must give exactly the samples Qt's reader
// gave before it, damaged files included: both run libjpeg-turbo.
TEST(JpegDecoders, GiveTheSameSamples)
{
    const QString source = QStringLiteral(CALMORA_SOURCE_DIR);
    struct Row {
        QString name;
        QByteArray bytes;
    };
    std::vector<Row> rows;
    for (const char* folder : { "samples", "fuzz/corpus/image_loader", "fuzz/crashes/image_loader" }) {
        QDirIterator files(source + '/' + folder, QDir::Files);
        while (files.hasNext()) {
            const QString path = files.next();
            rows.push_back({ path, test::readBytes(path) });
        }
    }
    QImage picture = quadrantPicture().scaled(301, 203);
    for (const auto& [name, grey, progressive] : { std::tuple { "colour", false, false },
             { "grey", true, false }, { "progressive", false, true } }) {
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, "jpeg");
        writer.setProgressiveScanWrite(progressive);
        ASSERT_TRUE(writer.write(grey ? picture.convertToFormat(QImage::Format_Grayscale8) : picture));
        rows.push_back({ name, bytes });
        for (const int percent : { 30, 90 })
            rows.push_back({ QStringLiteral("%1 cut to %2 %").arg(name).arg(percent),
                bytes.left(bytes.size() * percent / 100) });
        QByteArray flipped = bytes;
        for (qsizetype at = bytes.size() / 2; at < bytes.size() - 2; at += bytes.size() / 7)
            flipped[at] = static_cast<char>(flipped[at] ^ 0x5a);
        rows.push_back({ QStringLiteral("%1 with damaged data").arg(name), flipped });
    }

    int compared = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name.toStdString());
        QBuffer buffer;
        buffer.setData(row.bytes);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer);
        if (reader.format() != "jpeg")
            continue;
        PixelBuffers theirs;
        QString why;
        {
            DecoderMessages quiet;
            reader.setAutoTransform(false);
            QImage decoded;
            if (reader.read(&decoded)) {
                ASSERT_TRUE(takePicture(decoded, theirs));
            }
        }
        PixelBuffers ours;
        DecoderMessages messages;
        const JpegDecoding outcome = decodeJpeg(row.bytes, ours, messages, why);
        if (outcome == JpegDecoding::NotOurs)
            continue;
        ++compared;
        ASSERT_EQ(outcome == JpegDecoding::Done, !theirs.isNull()) << why.toStdString();
        if (theirs.isNull())
            continue;
        ASSERT_EQ(ours.width, theirs.width);
        ASSERT_EQ(ours.height, theirs.height);
        ASSERT_EQ(ours.bitsPerPixel, theirs.bitsPerPixel);
        EXPECT_EQ(std::memcmp(ours.display.get(), theirs.display.get(),
                      static_cast<size_t>(ours.displayBytes())),
            0);
    }
    EXPECT_GE(compared, 15);
}

// A PNG cut off at the start of its pixel data: the size can be read, the
// pixels cannot.
QByteArray pngHeader(uint32_t width, uint32_t height)
{
    QByteArray chunk("IHDR", 4);
    for (const uint32_t v : { width, height })
        chunk.append(char(v >> 24)).append(char(v >> 16)).append(char(v >> 8)).append(char(v));
    chunk.append("\x08\x02\x00\x00\x00", 5); // 8-bit RGB
    uint32_t crc = 0xffffffffu;
    for (const char c : chunk) {
        crc ^= static_cast<uint8_t>(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    crc = ~crc;
    return QByteArray("\x89PNG\r\n\x1a\n\x00\x00\x00\x0d", 12) + chunk + char(crc >> 24)
        + char(crc >> 16) + char(crc >> 8) + char(crc) + QByteArray("\x00\x00\x00\x10IDAT", 8);
}

TEST(LoadBadInput, FailsWithAMessageAndKeepsThePreviousImage)
{
    QTemporaryDir dir;
    const QString goodPath = dir.filePath(QStringLiteral("good.png"));
    ASSERT_TRUE(test::writePicture(goodPath, quadrantPicture(), "png"));
    const QByteArray png = test::readBytes(goodPath);
    ASSERT_TRUE(
        QImage(4, 4, QImage::Format_RGB32).save(dir.filePath(QStringLiteral("portable.ppm"))));
    QDir(dir.path()).mkdir(QStringLiteral("folder.png"));

    struct Row {
        const char* name;
        const char* file;
        QByteArray content; // written unless empty and `create` is false
        bool create;
        const char* reason; // expected in the message, if not empty
    };
    const Row rows[] = {
        { "missing", "missing.jpg", {}, false, "does not exist" },
        { "empty", "empty.jpg", {}, true, "empty" },
        { "text under an image name", "text.jpg", "just some words", true, "" },
        { "truncated png", "cut.png", png.left(45), true, "" },
        { "corrupt jpeg", "bad.jpg", QByteArray("\xff\xd8\xff\xe0", 4) + QByteArray(300, '\x55'),
            true, "" },
        { "unsupported format", "portable.ppm", {}, false, "not supported" },
        { "folder", "folder.png", {}, false, "folder" },
        { "huge declared size", "huge.png", pngHeader(30000, 30000), true, "megapixels" },
        { "header only", "header.png", pngHeader(64, 32), true, "" },
    };
    CBitmapEx image;
    ASSERT_TRUE(image.load(goodPath));
    const uint8_t* pixels = image.description().pixels;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const QString path = dir.filePath(QLatin1String(row.file));
        if (row.create) {
            ASSERT_TRUE(test::writeBytes(path, row.content));
        }
        QString error;
        EXPECT_FALSE(image.load(path, &error));
        EXPECT_TRUE(error.contains(QDir::toNativeSeparators(path))) << error.toStdString();
        EXPECT_TRUE(error.contains(QLatin1String(row.reason))) << error.toStdString();
        EXPECT_EQ(image.description().pixels, pixels);
        EXPECT_EQ(image.width(), 64);
    }
}

} // namespace
} // namespace calmora

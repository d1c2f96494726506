// Files that a decoder would turn into a grey or half-read picture, or that
// declare far more pixels than they hold: each is refused with the reason,
// before a buffer of the declared size exists.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "document/bitmap_ex.h"
#include "test_files.h"

namespace calmora {
namespace {

// A picture of noise: its compressed data fills the file, so a cut anywhere
// falls inside the pixel data.
QImage noisePicture()
{
    QImage picture(96, 64, QImage::Format_RGB32);
    uint32_t state = 12345;
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x) {
            state = state * 1664525u + 1013904223u;
            picture.setPixel(x, y, qRgb(state >> 24, (state >> 16) & 0xff, x * 2));
        }
    }
    return picture;
}

QByteArray encoded(const QImage& picture, const char* format)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("picture.%1").arg(QLatin1String(format)));
    if (!test::writePicture(
            path, format == QByteArray("gif") ? test::quadrantPicture() : picture, format))
        return {};
    return test::readBytes(path);
}

void putLittleEndian(QByteArray& bytes, int at, uint32_t value, int size)
{
    for (int i = 0; i < size; ++i)
        bytes[at + i] = static_cast<char>(value >> (8 * i));
}

// A 4 x 2 run-length BMP: two rows of one run each, then the end code.
QByteArray runLengthBmp()
{
    QByteArray bytes(14 + 40 + 4 * 2, '\0');
    bytes[0] = 'B';
    bytes[1] = 'M';
    putLittleEndian(bytes, 10, 14 + 40 + 8, 4);
    putLittleEndian(bytes, 14, 40, 4);
    putLittleEndian(bytes, 18, 4, 4);
    putLittleEndian(bytes, 22, 2, 4);
    putLittleEndian(bytes, 26, 1, 2);
    putLittleEndian(bytes, 28, 8, 2);
    putLittleEndian(bytes, 30, 1, 4); // 8-bit run-length coding
    putLittleEndian(bytes, 46, 2, 4); // two palette entries
    putLittleEndian(bytes, 58, 0xffffff, 4);
    bytes.append(QByteArray("\x04\x01\x00\x00\x04\x00\x00\x01", 8));
    putLittleEndian(bytes, 2, static_cast<uint32_t>(bytes.size()), 4);
    return bytes;
}

// A complete file with its declared width and height replaced.
QByteArray withDeclaredSize(QByteArray bytes, const char* format, uint32_t width, uint32_t height)
{
    if (format == QByteArray("bmp")) {
        putLittleEndian(bytes, 18, width, 4);
        putLittleEndian(bytes, 22, height, 4);
    } else if (format == QByteArray("gif")) {
        putLittleEndian(bytes, 6, width, 2);
        putLittleEndian(bytes, 8, height, 2);
    } else if (format == QByteArray("jpeg")) {
        const qsizetype frame = bytes.indexOf(QByteArray("\xff\xc0", 2));
        for (const auto& [at, value] : { std::pair { frame + 5, height }, { frame + 7, width } }) {
            bytes[at] = static_cast<char>(value >> 8);
            bytes[at + 1] = static_cast<char>(value);
        }
    }
    return bytes;
}

TEST(DamagedFiles, AreRefusedWithTheReason)
{
    const QImage picture = noisePicture();
    const QByteArray jpeg = encoded(picture, "jpeg");
    const QByteArray png = encoded(picture, "png");
    const QByteArray bmp = encoded(picture, "bmp");
    const QByteArray gif = encoded(picture, "gif");
    const QByteArray tiff = encoded(picture, "tiff");
    const QByteArray webp = encoded(picture, "webp");
    const QByteArray heic = encoded(picture, "heic");
    const QByteArray jxl = encoded(picture, "jxl");
    const QByteArray rle = runLengthBmp();
    QTemporaryDir made;
    test::TiffLayout mosaic;
    mosaic.samplesPerPixel = 1;
    mosaic.bits = 16;
    mosaic.photometric = 32803;
    mosaic.dng = true;
    const QString dngPath = made.filePath(QStringLiteral("camera.dng"));
    std::vector<uint16_t> sensor(size_t(mosaic.width) * size_t(mosaic.height));
    for (size_t i = 0; i < sensor.size(); ++i)
        sensor[i] = uint16_t(i * 2654435761u >> 16);
    ASSERT_TRUE(test::writeTiff(dngPath, mosaic, sensor));
    const QByteArray dng = test::readBytes(dngPath);
    ASSERT_FALSE(jpeg.isEmpty() || png.isEmpty() || bmp.isEmpty() || gif.isEmpty() || tiff.isEmpty()
        || webp.isEmpty() || heic.isEmpty() || jxl.isEmpty());

    struct Row {
        const char* name;
        const char* file;
        QByteArray content;
        const char* reason;
        bool headerShows; // readHeader() refuses it too
    };
    std::vector<Row> rows;
    for (const auto& [format, bytes] :
        { std::pair { "jpg", jpeg }, { "png", png }, { "bmp", bmp }, { "gif", gif },
            { "tif", tiff }, { "webp", webp }, { "heic", heic }, { "jxl", jxl },
            { "dng", dng } }) {
        for (const int percent : { 10, 50, 90 }) {
            // JPEG, WebP and JPEG XL headers stand whole at the start:
            // reading them alone cannot tell.
            const bool headerShows = format != QByteArray("jpg") && format != QByteArray("webp")
                && format != QByteArray("jxl");
            rows.push_back({ "cut short", format, bytes.left(bytes.size() * percent / 100),
                "damaged file:", headerShows });
        }
    }
    rows.push_back({ "run-length stream cut short", "bmp", rle.left(rle.size() - 3),
        "the file ends inside the picture data", true });
    QByteArray badChecksum = png;
    badChecksum[badChecksum.indexOf("IDAT") + 8] ^= 0x20;
    rows.push_back({ "pixel data with a wrong checksum", "png", badChecksum,
        "the checksum of its IDAT chunk is wrong", true });
    rows.push_back({ "no end chunk", "png", png.left(png.size() - 12),
        "the file ends before its last chunk", true });
    for (const auto& [format, bytes, reason] :
        { std::tuple { "jpeg", jpeg, "far too short" }, { "gif", gif, "far too short" },
            { "bmp", bmp, "the file ends inside the picture data" } }) {
        rows.push_back({ "declares 16000 x 16000", format,
            withDeclaredSize(bytes, format, 16000, 16000), reason, true });
    }

    // Pictures that a tiny file turned into a huge one, found by fuzzing.
    rows.push_back({ "a header of unknown size, read as the oldest kind: 35 bytes for 4102 x 420",
        "bmp", QByteArray::fromBase64("Qk0PAAABAwABAAAACAEDAP//BhBc/gEAAQBgAEDPAAAAYOA="),
        "the file ends inside the picture data", true });
    QByteArray endAtOnce = rle;
    endAtOnce.replace(endAtOnce.size() - 8, 8, QByteArray("\x00\x01", 2));
    rows.push_back({ "run-length data that ends at once", "bmp", endAtOnce,
        "its run-length data paints 0 of the picture's 8 pixels", true });
    QByteArray jumpToTheEnd = rle;
    jumpToTheEnd.replace(
        jumpToTheEnd.size() - 6, 6, QByteArray("\x00\x02\x00\x01\x00\x01", 6));
    rows.push_back({ "run-length data that jumps to the end", "bmp", jumpToTheEnd,
        "its run-length data paints 4 of the picture's 8 pixels", true });
    const auto box = [](const char* type, const QByteArray& content) {
        const uint32_t size = uint32_t(content.size() + 8);
        QByteArray bytes;
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes += char(size >> shift);
        return bytes + type + content;
    };
    rows.push_back({ "a JPEG XL whose EXIF box holds 17 MB", "jxl",
        box("JXL ", "\r\n\x87\n") + box("ftyp", QByteArray("jxl \0\0\0\0jxl ", 12))
            + box("Exif", QByteArray(17 << 20, '\0')) + box("jxlc", jxl),
        "its metadata unpacks to more than 16 MB", true });
    // The camera's data moved past the end of the file, its description
    // whole: LibRaw reads what is not there.
    QByteArray dataGone = dng;
    const auto le32 = [&dataGone](qsizetype at) {
        uint32_t value = 0;
        for (int i = 3; i >= 0; --i)
            value = value << 8 | uint8_t(dataGone.at(at + i));
        return value;
    };
    const uint32_t directory = le32(4);
    for (int i = 0; i < int(le32(directory) & 0xffff); ++i) {
        const qsizetype entry = directory + 2 + i * 12;
        if ((le32(entry) & 0xffff) != 273) // the strips' offsets
            continue;
        const uint32_t strips = le32(entry + 4);
        const qsizetype table = strips == 1 ? entry + 8 : qsizetype(le32(entry + 8));
        for (uint32_t s = 0; s < strips; ++s)
            putLittleEndian(dataGone, int(table + 4 * s), le32(table + 4 * s) + (1u << 20), 4);
    }
    rows.push_back({ "a DNG whose data lies past its end", "dng", dataGone,
        "the file ends inside its raw data", false });
    rows.push_back({ "a small picture on a screen of 8000 x 8000", "gif",
        withDeclaredSize(gif, "gif", 8000, 8000), "far too short", true });
    // Inks are not colours: refused as unsupported, never as damaged.
    QTemporaryDir inks;
    for (const int bits : { 8, 16 }) {
        const QString path = inks.filePath(QStringLiteral("cmyk.tif"));
        test::TiffLayout layout;
        layout.samplesPerPixel = 4;
        layout.bits = bits;
        layout.photometric = 5; // separated: CMYK
        ASSERT_TRUE(test::writeTiff(path, layout,
            std::vector<uint16_t>(size_t(layout.width) * size_t(layout.height) * 4, 100)));
        rows.push_back({ bits == 8 ? "CMYK, 8 bits" : "CMYK, 16 bits", "tif",
            test::readBytes(path), "its colours are CMYK (printing inks), which are not supported",
            true });
    }

    QTemporaryDir dir;
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.name) + " " + row.file + ", "
            + std::to_string(row.content.size()) + " bytes");
        const QString path
            = dir.filePath(QStringLiteral("damaged.%1").arg(QLatin1String(row.file)));
        ASSERT_TRUE(test::writeBytes(path, row.content));
        CBitmapEx image;
        QString error;
        EXPECT_FALSE(image.load(path, &error));
        EXPECT_TRUE(error.contains(QLatin1String(row.reason))) << error.toStdString();
        EXPECT_TRUE(image.isNull());
        // From memory the same file gets the same answer.
        QString memoryError;
        EXPECT_FALSE(image.loadFromData(row.content, &memoryError));
        EXPECT_TRUE(memoryError.contains(QLatin1String(row.reason))) << memoryError.toStdString();
        // Where the file's structure gives it away, reading the header alone
        // says so too.
        CBitmapEx::Header header;
        EXPECT_EQ(CBitmapEx::readHeader(path, header, &error), !row.headerShows);
    }

    // The complete files still load, from a file and from memory.
    for (const auto& [format, bytes] :
        { std::pair { "jpg", jpeg }, { "png", png }, { "bmp", bmp }, { "gif", gif },
            { "tif", tiff }, { "bmp", rle }, { "webp", webp }, { "heic", heic }, { "jxl", jxl },
            { "dng", dng } }) {
        SCOPED_TRACE(format);
        const QString path = dir.filePath(QStringLiteral("whole.%1").arg(QLatin1String(format)));
        ASSERT_TRUE(test::writeBytes(path, bytes));
        CBitmapEx image;
        QString error;
        EXPECT_TRUE(image.load(path, &error)) << error.toStdString();
        // Only the camera raw file says how it was developed.
        EXPECT_EQ(image.decoderNotes().size(), format == QByteArray("dng") ? 1 : 0)
            << image.decoderNotes().join(u';').toStdString();
        EXPECT_TRUE(image.loadFromData(bytes, &error)) << error.toStdString();
        CBitmapEx::Header header;
        ASSERT_TRUE(CBitmapEx::readHeader(path, header, &error)) << error.toStdString();
        EXPECT_EQ(header.width, image.width());
        EXPECT_EQ(header.height, image.height());
    }
}

TEST(DamagedFiles, HarmlessDecoderWarningsBecomeNotes)
{
    // Stray bytes before a marker: the picture is whole, the decoder only
    // remarks on them.
    QByteArray jpeg = encoded(noisePicture(), "jpeg");
    jpeg.insert(jpeg.indexOf(QByteArray("\xff\xdb", 2)), QByteArray("\0\0\0", 3));
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("stray.jpg"));
    ASSERT_TRUE(test::writeBytes(path, jpeg));
    CBitmapEx image;
    QString error;
    ASSERT_TRUE(image.load(path, &error)) << error.toStdString();
    ASSERT_EQ(image.decoderNotes().size(), 1);
    EXPECT_TRUE(image.decoderNotes().first().startsWith(QLatin1String("the decoder reported: ")));
}

TEST(NonRegularFiles, AreRefusedWithoutWaiting)
{
    QTemporaryDir dir;
    const QString fifo = dir.filePath(QStringLiteral("pipe.jpg"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    CBitmapEx image;
    QString error;
    EXPECT_FALSE(image.load(fifo, &error));
    EXPECT_TRUE(error.contains(QLatin1String("it is a pipe (FIFO), not an image file")))
        << error.toStdString();
}

} // namespace
} // namespace calmora

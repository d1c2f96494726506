#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QImageWriter>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTransform>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <set>

#include <gtest/gtest.h>

#include "document/bitmap_ex.h"
#include "document/file_formats.h"
#include "test_files.h"

namespace calmora {
namespace {

using test::quadrantPicture;

class SaveTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        source = dir.filePath(QStringLiteral("source.png"));
        ASSERT_TRUE(test::writePicture(source, quadrantPicture(), "png"));
        ASSERT_TRUE(image.load(source));
    }

    QTemporaryDir dir;
    QString source;
    CBitmapEx image;
};

TEST_F(SaveTest, TheNameChoosesTheFormatAndTheNameIsKept)
{
    struct Row {
        const char* file;
        QByteArray magic;
        int tolerance;
        int margin;
    };
    const QByteArray jpeg("\xff\xd8\xff", 3);
    const Row rows[] = {
        { "out.png", "\x89PNG", 0, 0 },
        { "OUT.PNG", "\x89PNG", 0, 0 },
        { "out.tif", "II*", 0, 0 },
        { "out.tiff", "II*", 0, 0 },
        { "out.jpg", jpeg, 12, 4 },
        { "out.bmp", jpeg, 12, 4 },
        { "out", jpeg, 12, 4 },
        { "out.webp", "WEBPVP8 ", 12, 4 },
        { "out.heic", "ftypheic", 12, 4 },
        { "out.avif", "ftypavif", 12, 4 },
        { "out.jxl", QByteArray("\xff\x0a", 2), 60, 4 }, // see lossy.jxl below
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file);
        const QString path = dir.filePath(QLatin1String(row.file));
        QString error;
        ASSERT_TRUE(image.save(path, 90, false, &error)) << error.toStdString();
        EXPECT_TRUE(test::readBytes(path).left(16).contains(row.magic));
        QImageReader reader(path);
        EXPECT_FALSE(reader.read().hasAlphaChannel());
        CBitmapEx back;
        ASSERT_TRUE(back.load(path));
        const test::PixelReport report
            = test::compare(back.description(), quadrantPicture(), row.margin);
        EXPECT_LE(report.worst, row.tolerance)
            << "worst pixel at (" << report.x << "," << report.y << ")";
    }
}

TEST_F(SaveTest, JpegQualityIsHonouredAndOutOfRangeMeansTheDefault)
{
    const auto savedBytes = [&](int quality) {
        const QString path = dir.filePath(QStringLiteral("q%1.jpg").arg(quality));
        EXPECT_TRUE(image.save(path, quality, false));
        return test::readBytes(path);
    };
    const QByteArray at90 = savedBytes(90);
    EXPECT_LT(savedBytes(50).size(), savedBytes(100).size());
    // Encoded as Qt's writer encoded it before, at each quality, byte for
    // byte.
    for (const int quality : { 0, 50, 90, 100 }) {
        SCOPED_TRACE(quality);
        const QString path = dir.filePath(QStringLiteral("qt%1.jpg").arg(quality));
        QImageWriter writer(path, "jpeg");
        writer.setQuality(quality);
        ASSERT_TRUE(writer.write(image.toQImage()));
        EXPECT_EQ(savedBytes(quality), test::readBytes(path));
    }
    EXPECT_EQ(savedBytes(-1), at90);
    EXPECT_EQ(savedBytes(101), at90);
}

TEST_F(SaveTest, AFailedSaveLeavesTheDestinationAndTheFolderAsTheyWere)
{
    // Names of 255 bytes are legal, but the temporary file beside one is not:
    // the save must fail without touching the existing file.
    const QString longName = dir.filePath(QString(251, QLatin1Char('n')) + QStringLiteral(".jpg"));
    const QString readOnlyFolder = dir.filePath(QStringLiteral("locked"));
    QDir(dir.path()).mkpath(QStringLiteral("locked"));
    QDir(dir.path()).mkpath(QStringLiteral("folder.jpg"));
    ASSERT_TRUE(test::writeBytes(longName, "old contents"));
    ASSERT_TRUE(test::writeBytes(dir.filePath(QStringLiteral("kept.png")), "old contents"));
    ASSERT_TRUE(test::writeBytes(readOnlyFolder + QStringLiteral("/out.jpg"), "old contents"));
    QFile::setPermissions(readOnlyFolder, QFile::ReadOwner | QFile::ExeOwner);

    struct Row {
        const char* name;
        QString path;
        bool needsNonRoot; // permissions do not stop root
        bool stopped = false; // by another thread
        bool turnedAway = false; // complete, but not let replace the destination
    };
    const Row rows[] = {
        { "missing folder", dir.filePath(QStringLiteral("nowhere/out.jpg")), false },
        { "path is a folder", dir.filePath(QStringLiteral("folder.jpg")), false },
        { "no room for the temporary name", longName, false },
        { "read-only folder", readOnlyFolder + QStringLiteral("/out.jpg"), true },
        { "stopped PNG", dir.filePath(QStringLiteral("stopped.png")), false, true },
        { "stopped TIFF", dir.filePath(QStringLiteral("stopped.tif")), false, true },
        { "stopped JPEG", longName, false, true },
        { "stopped WebP", dir.filePath(QStringLiteral("stopped.webp")), false, true },
        { "stopped HEIC", dir.filePath(QStringLiteral("stopped.heic")), false, true },
        { "stopped JPEG XL", dir.filePath(QStringLiteral("stopped.jxl")), false, true },
        { "turned away at the rename", dir.filePath(QStringLiteral("kept.png")), false, true,
            true },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.needsNonRoot && geteuid() == 0)
            continue;
        const QString folder = QFileInfo(row.path).absolutePath();
        const QStringList before = test::listing(folder);
        const QByteArray contents = test::readBytes(row.path);
        const std::atomic<bool> stop { row.stopped && !row.turnedAway };
        CBitmapEx::SaveOptions options;
        options.stop = &stop;
        if (row.turnedAway)
            options.mayReplace = [] { return false; };
        QString error;
        EXPECT_FALSE(image.save(row.path, options, &error));
        EXPECT_EQ(error.contains(QLatin1String("stopped")), row.stopped) << error.toStdString();
        EXPECT_TRUE(error.contains(QDir::toNativeSeparators(row.path))) << error.toStdString();
        EXPECT_EQ(test::listing(folder), before);
        EXPECT_EQ(test::readBytes(row.path), contents);
    }

    CBitmapEx empty;
    QString error;
    EXPECT_FALSE(empty.save(longName, 90, false, &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_EQ(test::readBytes(longName), "old contents");
}

} // namespace
} // namespace calmora

namespace calmora {
namespace {

// A picture whose alpha runs from clear to opaque across its quadrants.
QImage translucentPicture()
{
    QImage picture = quadrantPicture().convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x) {
            const QRgb pixel = picture.pixel(x, y);
            picture.setPixel(x, y, qRgba(qRed(pixel), qGreen(pixel), qBlue(pixel), x * 4));
        }
    }
    return picture;
}

// Each writable format that a reference tool decodes: our loader reads our
// file as the tool does (the same decoder underneath), and a lossless file
// gives the source back exactly. Skipped where the tool is not installed.
TEST(NewerFormats, DecodeAsTheirReferenceTools)
{
    struct Row {
        const char* file;
        int quality;
        bool alpha;
        const char* tool;
        int tolerance; // against the source; at 16 bits only 0 (exact) is checked
        bool sixteenBits = false; // a 16-bit source, saved at 16 bits
    };
    const Row rows[] = {
        { "lossy.webp", 90, false, "dwebp", 12 },
        { "lossless.webp", 100, true, "dwebp", 0 },
        { "opaque.heic", 90, false, "heif-convert", 12 },
        { "alpha.heic", 90, true, "heif-convert", 12 },
        { "deep.heic", 90, false, "heif-convert", 12, true }, // 10 bits
        { "alpha.avif", 90, true, "heif-convert", 12 },
        // libjxl's colour space moves saturated primaries further than
        // YCbCr does: cjxl -d 1 itself is 47 off on this picture.
        { "lossy.jxl", 90, false, "djxl", 60 },
        { "alpha-lossless.jxl", 100, true, "djxl", 0 },
        { "lossless16.jxl", 100, false, "djxl", 0, true },
        { "alpha-lossy16.jxl", 80, true, "djxl", 12, true },
    };
    QTemporaryDir dir;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file);
        const QString tool = QStandardPaths::findExecutable(QLatin1String(row.tool));
        const FileFormat* format = writableFormatOfName(QLatin1String(row.file));
        if (tool.isEmpty() || format == nullptr) {
            std::cout << "skipped " << row.file << ": no " << row.tool << " or no encoder\n";
            continue;
        }
        QImage picture = row.alpha ? translucentPicture() : quadrantPicture();
        if (row.sixteenBits) {
            // Steps finer than 8 bits can tell.
            picture = picture.convertToFormat(
                row.alpha ? QImage::Format_RGBA64 : QImage::Format_RGBX64);
            for (int y = 0; y < picture.height(); ++y) {
                for (int x = 0; x < picture.width(); ++x) {
                    const QRgba64 pixel = picture.pixelColor(x, y).rgba64();
                    picture.setPixelColor(x, y,
                        QColor::fromRgba64(pixel.red() ^ (x * 3), pixel.green() ^ (y * 5),
                            pixel.blue() ^ (x + y), pixel.alpha()));
                }
            }
        }
        const QString source = dir.filePath(QStringLiteral("source.png"));
        ASSERT_TRUE(picture.save(source, "png"));
        CBitmapEx image;
        ASSERT_TRUE(image.load(source));
        const QString path = dir.filePath(QLatin1String(row.file));
        QString error;
        ASSERT_TRUE(image.save(path, row.quality, row.sixteenBits, &error)) << error.toStdString();

        const QString decoded = dir.filePath(QStringLiteral("decoded.png"));
        QFile::remove(decoded);
        const QStringList arguments = QByteArray(row.tool) == "dwebp"
            ? QStringList { path, QStringLiteral("-o"), decoded }
            : QStringList { path, decoded };
        QProcess process;
        process.start(tool, arguments);
        ASSERT_TRUE(process.waitForFinished(60000));
        ASSERT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();

        CBitmapEx ours;
        CBitmapEx theirs;
        ASSERT_TRUE(ours.load(path, &error)) << error.toStdString();
        ASSERT_TRUE(theirs.load(decoded, &error)) << error.toStdString();
        EXPECT_EQ(ours.hasAlpha(), row.alpha);
        EXPECT_EQ(ours.toQImage(), theirs.toQImage());
        EXPECT_EQ(ours.bitsPerPixel(), row.sixteenBits ? 48 : 32);
        if (!row.sixteenBits) {
            EXPECT_LE(test::compare(ours.description(), image.toQImage(), 4).worst, row.tolerance);
            continue;
        }
        // At 16 bits the samples themselves are compared; a HEIC stores 10,
        // which we and the tool widen to 16 each in our own way.
        const size_t bytes = size_t(ours.width()) * size_t(ours.height()) * 3 * 2;
        const int shift = QByteArray(row.file).endsWith(".heic") ? 6 : 0;
        const auto* oursSamples = reinterpret_cast<const uint16_t*>(ours.highDepthPixels());
        const auto* theirSamples = reinterpret_cast<const uint16_t*>(theirs.highDepthPixels());
        for (size_t i = 0; i < bytes / 2; ++i)
            ASSERT_EQ(oursSamples[i] >> shift, theirSamples[i] >> shift) << "sample " << i;
        if (row.tolerance == 0) {
            EXPECT_EQ(std::memcmp(ours.highDepthPixels(), image.highDepthPixels(), bytes), 0);
        }
    }

    // A 10-bit HEIC takes the 16-bit path.
    const QString encoder = QStandardPaths::findExecutable(QStringLiteral("heif-enc"));
    if (encoder.isEmpty() || formatByKey("heic") == nullptr)
        return;
    const QString wide = dir.filePath(QStringLiteral("wide.png"));
    const QString tenBits = dir.filePath(QStringLiteral("ten.heic"));
    ASSERT_TRUE(quadrantPicture().convertToFormat(QImage::Format_RGBX64).save(wide));
    ASSERT_EQ(QProcess::execute(encoder,
                  { QStringLiteral("-b"), QStringLiteral("10"), QStringLiteral("-q"),
                      QStringLiteral("90"), wide, QStringLiteral("-o"), tenBits }),
        0);
    // A HEIC that the file itself turns 90° anticlockwise (irot). heif-enc
    // writes none, so the last property of its file, the pixel description
    // (pixi), is overwritten in place by an irot box of the same size,
    // padded with zeros: the primary picture's association then names it,
    // and no offset in the file moves.
    const QString quadrants = dir.filePath(QStringLiteral("quadrants.png"));
    const QString plain = dir.filePath(QStringLiteral("plain.heic"));
    const QString turned = dir.filePath(QStringLiteral("turned.heic"));
    ASSERT_TRUE(quadrantPicture().save(quadrants));
    ASSERT_EQ(QProcess::execute(encoder,
                  { QStringLiteral("-q"), QStringLiteral("90"), quadrants, QStringLiteral("-o"),
                      plain }),
        0);
    QByteArray bytes = test::readBytes(plain);
    const qsizetype pixi = bytes.indexOf("pixi");
    ASSERT_GT(pixi, 4);
    const int boxSize = uint8_t(bytes[pixi - 2]) << 8 | uint8_t(bytes[pixi - 1]);
    ASSERT_GE(boxSize, 9);
    bytes.replace(pixi, boxSize - 4, QByteArray("irot\x01", 5) + QByteArray(boxSize - 9, '\0'));
    ASSERT_TRUE(test::writeBytes(turned, bytes));

    const QImage anticlockwise = quadrantPicture().transformed(QTransform().rotate(-90));
    for (const auto& [path, want] :
        { std::pair { tenBits, quadrantPicture() }, { turned, anticlockwise } }) {
        SCOPED_TRACE(path.toStdString());
        CBitmapEx loaded;
        QString error;
        ASSERT_TRUE(loaded.load(path, &error)) << error.toStdString();
        EXPECT_EQ(loaded.bitsPerPixel(), path == tenBits ? 48 : 32);
        const QImage shown = loaded.toQImage().convertToFormat(QImage::Format_RGB32);
        ASSERT_EQ(shown.size(), want.size());
        for (const QPoint quarter : { QPoint(1, 1), QPoint(3, 1), QPoint(1, 3), QPoint(3, 3) }) {
            const QPoint at(quarter.x() * want.width() / 4, quarter.y() * want.height() / 4);
            const QRgb got = shown.pixel(at);
            const QRgb expected = want.pixel(at);
            EXPECT_LE(std::max({ std::abs(qRed(got) - qRed(expected)),
                          std::abs(qGreen(got) - qGreen(expected)),
                          std::abs(qBlue(got) - qBlue(expected)) }),
                12)
                << at.x() << "," << at.y();
        }
    }
}

// Every list of formats kept outside the code says what the table says: the
// desktop entry's MIME types, the metainfo's media types, the manual page's
// result extensions and the README's format list.
TEST(FormatTable, IsWhatTheInstalledFilesSay)
{
    if (formatByKey("heic") == nullptr)
        GTEST_SKIP() << "built without libheif, whose formats the files list";
    QStringList allMimeTypes;
    QStringList firstMimeTypes;
    QStringList writableExtensions;
    QStringList readmeRows;
    for (const FileFormat& format : fileFormats()) {
        allMimeTypes << format.mimeTypes;
        firstMimeTypes << format.mimeTypes.constFirst();
        if (format.writable) {
            for (const QString& extension : format.extensions)
                writableExtensions << extension;
        }
        readmeRows << format.name + QLatin1Char(' ') + QLatin1Char('.')
                + format.extensions.join(QStringLiteral(" ."));
    }
    struct Row {
        const char* file;
        const char* pattern; // each match's first group is one item, or a list of them
        const char* separator; // splits a group into items; empty: none
        QStringList expected;
    };
    const Row rows[] = {
        { "data/calmora.desktop", "^MimeType=(.*);$", ";", allMimeTypes },
        { "data/org.brantovia.calmora.metainfo.xml", "<mediatype>([^<]+)</mediatype>", "",
            firstMimeTypes },
        { "data/calmora-cli.1", "^\\.IR (\\.jpg.*)$", "", {} },
        { "README.md", "^\\| ([\\w ]+ \\| [.a-z0-9 ]+) \\| yes \\|", "", readmeRows },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file);
        const QString text = QString::fromUtf8(
            test::readBytes(QStringLiteral(CALMORA_SOURCE_DIR "/") + QLatin1String(row.file)));
        QStringList found;
        const QRegularExpression pattern(
            QLatin1String(row.pattern), QRegularExpression::MultilineOption);
        for (const QRegularExpressionMatch& match : pattern.globalMatch(text)) {
            const QString group = match.captured(1).remove(QStringLiteral(" |"));
            found << (*row.separator ? group.split(QLatin1String(row.separator))
                                     : QStringList { group });
        }
        if (row.expected.isEmpty()) {
            // The manual page's list of result extensions, in troff.
            ASSERT_EQ(found.size(), 1);
            const QRegularExpression extension(QStringLiteral("\\.([a-z]+)"));
            QStringList extensions;
            for (const QRegularExpressionMatch& match : extension.globalMatch(found.constFirst()))
                extensions << match.captured(1);
            found = extensions;
        }
        const QStringList& expected = row.expected.isEmpty() ? writableExtensions : row.expected;
        EXPECT_EQ(std::set<QString>(found.begin(), found.end()),
            std::set<QString>(expected.begin(), expected.end()))
            << "found: " << found.join(u',').toStdString();
    }
}

} // namespace
} // namespace calmora

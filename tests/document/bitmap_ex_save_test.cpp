#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QImageWriter>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "document/bitmap_ex.h"
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
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file);
        const QString path = dir.filePath(QLatin1String(row.file));
        QString error;
        ASSERT_TRUE(image.save(path, 90, false, &error)) << error.toStdString();
        EXPECT_TRUE(test::readBytes(path).startsWith(row.magic));
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
    ASSERT_TRUE(test::writeBytes(readOnlyFolder + QStringLiteral("/out.jpg"), "old contents"));
    QFile::setPermissions(readOnlyFolder, QFile::ReadOwner | QFile::ExeOwner);

    struct Row {
        const char* name;
        QString path;
        bool needsNonRoot; // permissions do not stop root
        bool stopped = false; // by another thread
    };
    const Row rows[] = {
        { "missing folder", dir.filePath(QStringLiteral("nowhere/out.jpg")), false },
        { "path is a folder", dir.filePath(QStringLiteral("folder.jpg")), false },
        { "no room for the temporary name", longName, false },
        { "read-only folder", readOnlyFolder + QStringLiteral("/out.jpg"), true },
        { "stopped PNG", dir.filePath(QStringLiteral("stopped.png")), false, true },
        { "stopped TIFF", dir.filePath(QStringLiteral("stopped.tif")), false, true },
        { "stopped JPEG", longName, false, true },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.needsNonRoot && geteuid() == 0)
            continue;
        const QString folder = QFileInfo(row.path).absolutePath();
        const QStringList before = test::listing(folder);
        const QByteArray contents = test::readBytes(row.path);
        const std::atomic<bool> stop { row.stopped };
        CBitmapEx::SaveOptions options;
        options.stop = &stop;
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

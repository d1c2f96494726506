#include <QBuffer>
#include <QColorSpace>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "document/bitmap_ex.h"
#include "settings/learned_profile_store.h"
#include "test_files.h"

namespace calmora {
namespace {

using test::quadrantPicture;

// A small JPEG written by Qt, then given `exifTags` (key, value as text).
QString taggedJpeg(const QTemporaryDir& dir, const QString& name,
    std::initializer_list<std::pair<const char*, const char*>> exifTags)
{
    const QString path = dir.filePath(name);
    EXPECT_TRUE(test::writePicture(path, quadrantPicture(), "jpeg"));
    test::editMetadata(path, [&](Exiv2::Image& image) {
        Exiv2::ExifData exif;
        for (const auto& [key, value] : exifTags)
            exif[key] = std::string(value);
        image.setExifData(exif);
    });
    return path;
}

TEST(Exif, CameraTagsFillTheRecordTheTextsAndTheTagList)
{
    QTemporaryDir dir;
    const QString path = taggedJpeg(dir, QStringLiteral("camera.jpg"),
        { { "Exif.Image.Make", "Acme" }, { "Exif.Image.Model", "Acme Z1" },
            { "Exif.Image.Software", "TestCam 1.0" }, { "Exif.Image.Orientation", "6" },
            { "Exif.Photo.ISOSpeedRatings", "800" }, { "Exif.Photo.ExposureTime", "1/125" },
            { "Exif.Photo.FNumber", "28/10" }, { "Exif.Photo.FocalLength", "50/1" },
            { "Exif.Photo.LensModel", "Acme 50mm" },
            { "Exif.Photo.DateTimeOriginal", "2024:05:01 14:03:22" } });
    CBitmapEx image;
    ASSERT_TRUE(image.load(path));
    const CExifFormatter& exif = image.exif();
    const ExifRecord& record = exif.record();
    EXPECT_EQ(record.isoSpeed, 800);
    EXPECT_EQ(record.software, "TestCam 1.0");
    EXPECT_EQ(record.make, "Acme");
    EXPECT_EQ(record.model, "Acme Z1");
    EXPECT_EQ(record.lensModel, "Acme 50mm");
    EXPECT_EQ(record.dateTimeOriginal, "2024:05:01 14:03:22");
    EXPECT_DOUBLE_EQ(record.exposureTime, 1.0 / 125);
    EXPECT_DOUBLE_EQ(record.fNumber, 2.8);
    EXPECT_DOUBLE_EQ(record.focalLength, 50);
    EXPECT_EQ(record.orientation, 6);
    EXPECT_EQ(exif.isoSpeedText(), QStringLiteral("800"));
    EXPECT_EQ(exif.softwareText(), QStringLiteral("TestCam 1.0"));

    // Maker, model, lens, date, exposure, aperture, ISO, focal length,
    // software and orientation.
    EXPECT_EQ(exif.tagCount(), 10);
    EXPECT_EQ(exif.text(CExifFormatter::kLensText), QStringLiteral("Acme 50mm"));
    EXPECT_EQ(exif.text(CExifFormatter::kDateTakenText), QStringLiteral("2024-05-01 14:03:22"));
    EXPECT_EQ(exif.text(CExifFormatter::kExposureTimeText), QStringLiteral("1/125 sec."));
    EXPECT_EQ(exif.text(CExifFormatter::kApertureText), QStringLiteral("f/2.8"));
    EXPECT_EQ(exif.text(CExifFormatter::kFocalLengthText), QStringLiteral("50 mm"));
    EXPECT_EQ(exif.text(CExifFormatter::kOrientationText), QStringLiteral("Rotate 90° clockwise"));
    EXPECT_TRUE(exif.text(CExifFormatter::kFlashText).isEmpty());
}

TEST(Exif, ValuesAreShownTheWayPhotographersReadThem)
{
    struct Row {
        std::initializer_list<std::pair<const char*, const char*>> tags;
        CExifFormatter::Text text;
        const char* shown; // empty: the tag is not listed
    };
    const Row rows[] = {
        { { { "Exif.Photo.ExposureTime", "10/1250" } }, CExifFormatter::kExposureTimeText,
            "1/125 sec." },
        { { { "Exif.Photo.ExposureTime", "1/3" } }, CExifFormatter::kExposureTimeText, "1/3 sec." },
        { { { "Exif.Photo.ExposureTime", "3/10" } }, CExifFormatter::kExposureTimeText,
            "0.3 sec." },
        { { { "Exif.Photo.ExposureTime", "30/1" } }, CExifFormatter::kExposureTimeText, "30 sec." },
        { { { "Exif.Photo.ExposureTime", "1/0" } }, CExifFormatter::kExposureTimeText, "" },
        { { { "Exif.Photo.FNumber", "8/1" } }, CExifFormatter::kApertureText, "f/8" },
        { { { "Exif.Photo.ApertureValue", "6/1" } }, CExifFormatter::kApertureText, "f/8" },
        { { { "Exif.Photo.FocalLength", "185/10" } }, CExifFormatter::kFocalLengthText, "18.5 mm" },
        { { { "Exif.Photo.ISOSpeedRatings", "65535" },
              { "Exif.Photo.RecommendedExposureIndex", "102400" } },
            CExifFormatter::kIsoSpeedText, "102400" },
        { { { "Exif.Photo.DateTimeOriginal", "0000:00:00 00:00:00" } },
            CExifFormatter::kDateTakenText, "" },
        { { { "Exif.Image.Orientation", "9" } }, CExifFormatter::kOrientationText, "" },
    };
    QTemporaryDir dir;
    int index = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.tags.begin()->first) + " = " + row.tags.begin()->second);
        const QString path = taggedJpeg(dir, QStringLiteral("row%1.jpg").arg(index++), row.tags);
        CBitmapEx image;
        ASSERT_TRUE(image.load(path));
        EXPECT_EQ(image.exif().text(row.text), QString::fromUtf8(row.shown));
    }
}

TEST(Exif, MissingOrDamagedExifGivesEmptyInformation)
{
    QTemporaryDir dir;
    const QString plain = dir.filePath(QStringLiteral("plain.png"));
    ASSERT_TRUE(test::writePicture(plain, quadrantPicture(), "png"));
    // An Exif segment whose first directory claims 65535 entries past its end.
    const QString damaged = dir.filePath(QStringLiteral("damaged.jpg"));
    ASSERT_TRUE(test::writePicture(damaged, quadrantPicture(), "jpeg"));
    const QByteArray payload
        = QByteArray("Exif\0\0II*\0\x08\0\0\0\xff\xff", 16) + QByteArray(40, '\xab');
    QByteArray bytes = test::readBytes(damaged);
    bytes.insert(2,
        QByteArray("\xff\xe1", 2) + char((payload.size() + 2) >> 8)
            + char((payload.size() + 2) & 0xff) + payload);
    ASSERT_TRUE(test::writeBytes(damaged, bytes));

    for (const QString& path : { plain, damaged }) {
        SCOPED_TRACE(path.toStdString());
        CBitmapEx image;
        QString error;
        ASSERT_TRUE(image.load(path, &error)) << error.toStdString();
        EXPECT_EQ(image.exif().tagCount(), 0);
        EXPECT_EQ(image.exif().record().isoSpeed, 0);
        EXPECT_TRUE(image.exif().record().software.empty());
        EXPECT_TRUE(image.exif().isoSpeedText().isEmpty());
        EXPECT_TRUE(image.exif().softwareText().isEmpty());
    }
}

// A profile with a valid header but no colour model the image library knows.
QByteArray opaqueProfile()
{
    QByteArray icc(132, '\0');
    icc[3] = char(132);
    icc.replace(8, 4, QByteArray("\x04\x00\x00\x00", 4));
    icc.replace(16, 4, "CMYK");
    icc.replace(20, 4, "Lab ");
    icc.replace(36, 4, "acsp");
    return icc;
}

TEST(Exif, SavingKeepsTheSourceMetadataAndUpdatesWhatChanged)
{
    struct Row {
        const char* name;
        const char* output; // empty: over the source itself
        bool qtProfile;
        // Damage done to the source: "profile" (its declared size), "count"
        // (the first directory's entry count); only that part may be lost,
        // and one note says so.
        const char* damage = "";
        const char* note = "";
        bool keepsIptc = true;
        // The metadata library reads the result; else only our loader does.
        bool exiv2Reads = true;
    };
    const Row rows[] = {
        { "jpeg", "out.jpg", true },
        { "tiff", "out.tif", true },
        { "png", "out.png", true },
        { "over the source", "", true },
        { "jpeg, profile only the metadata library carries", "out.jpg", false },
        { "tiff, profile only the metadata library carries", "out.tif", false },
        { "a malformed profile", "out.jpg", true, "profile",
            "its colour profile is damaged and was left out." },
        { "a first directory that claims 65535 entries", "out.jpg", true, "count",
            "its EXIF directory IFD0 claims 65535 entries; the 4 that are there were kept." },
        { "webp", "out.webp", true, "", "", false },
        { "heic", "out.heic", true, "", "", false, false },
        { "jpeg xl", "out.jxl", true, "", "", false, false },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir dir;
        const QString source = taggedJpeg(dir, QStringLiteral("source.jpg"),
            { { "Exif.Image.Make", "Acme" }, { "Exif.Image.Software", "TestCam 1.0" },
                { "Exif.Image.Orientation", "6" }, { "Exif.Photo.ISOSpeedRatings", "800" },
                { "Exif.Photo.PixelXDimension", "4000" },
                { "Exif.Photo.PixelYDimension", "3000" } });
        const QByteArray icc
            = row.qtProfile ? QColorSpace(QColorSpace::DisplayP3).iccProfile() : opaqueProfile();
        QByteArray thumbnail;
        {
            QBuffer buffer(&thumbnail);
            buffer.open(QIODevice::WriteOnly);
            ASSERT_TRUE(QImage(8, 8, QImage::Format_RGB32).save(&buffer, "jpeg"));
        }
        test::editMetadata(source, [&](Exiv2::Image& image) {
            Exiv2::ExifData exif = image.exifData();
            Exiv2::ExifThumb(exif).setJpegThumbnail(
                reinterpret_cast<const Exiv2::byte*>(thumbnail.constData()), thumbnail.size());
            image.setExifData(exif);
            Exiv2::XmpData xmp;
            xmp["Xmp.dc.title"] = "Harbour";
            image.setXmpData(xmp);
            Exiv2::IptcData iptc;
            iptc["Iptc.Application2.Headline"] = "Harbour at dawn";
            image.setIptcData(iptc);
            Exiv2::DataBuf profile(
                reinterpret_cast<const Exiv2::byte*>(icc.constData()), icc.size());
            image.setIccProfile(profile);
        });

        QByteArray bytes = test::readBytes(source);
        if (QByteArray(row.damage) == "profile") {
            const qsizetype at = bytes.indexOf(QByteArray("ICC_PROFILE\0", 12)) + 14;
            bytes[at + 2] = char(bytes[at + 2] + 0x10);
        } else if (QByteArray(row.damage) == "count") {
            const qsizetype tiff = bytes.indexOf(QByteArray("Exif\0\0", 6)) + 6;
            ASSERT_EQ(bytes.mid(tiff, 4), QByteArray("II*\0", 4));
            const int first = uint8_t(bytes[tiff + 4]) | uint8_t(bytes[tiff + 5]) << 8;
            bytes[tiff + first] = bytes[tiff + first + 1] = char(0xff);
        }
        ASSERT_TRUE(test::writeBytes(source, bytes));

        CBitmapEx image;
        ASSERT_TRUE(image.load(source));
        EXPECT_EQ(image.decoderNotes().join(u'|').toStdString(), row.note);
        const QString output = *row.output ? dir.filePath(QLatin1String(row.output)) : source;
        QString error;
        ASSERT_TRUE(image.save(output, 90, false, &error)) << error.toStdString();

        if (!row.exiv2Reads) {
            CBitmapEx back;
            ASSERT_TRUE(back.load(output, &error)) << error.toStdString();
            EXPECT_EQ(back.exif().record().isoSpeed, 800);
            EXPECT_FALSE(eligible(back.exif().record()));
            EXPECT_EQ(back.exif().record().orientation, 1) << "the pixels are shown turned";
            EXPECT_EQ(back.width(), 32);
            // The XMP and the colour profile came through too: a JPEG made
            // from the result carries them on.
            const QString again = dir.filePath(QStringLiteral("again.jpg"));
            ASSERT_TRUE(back.save(again, 90, false, &error)) << error.toStdString();
            const auto passed = test::readMetadata(again);
            EXPECT_NE(passed->xmpData().findKey(Exiv2::XmpKey("Xmp.dc.title")),
                passed->xmpData().end());
            EXPECT_GT(passed->iccProfile()->size_, 0);
            continue;
        }
        const auto saved = test::readMetadata(output);
        const Exiv2::ExifData& exif = saved->exifData();
        const auto value = [&exif](const char* key) {
            const auto it = exif.findKey(Exiv2::ExifKey(key));
            return it == exif.end() ? std::string("(absent)") : it->toString();
        };
        EXPECT_EQ(value("Exif.Photo.ISOSpeedRatings"), "800");
        EXPECT_EQ(value("Exif.Image.Software"), "Brantovia Calmora Community Edition")
            << "a result is kept out of self-learning";
        EXPECT_EQ(value("Exif.Image.Make"), "Acme");
        EXPECT_EQ(value("Exif.Image.Orientation"), "6");
        EXPECT_EQ(value("Exif.Photo.PixelXDimension"), "64");
        EXPECT_EQ(value("Exif.Photo.PixelYDimension"), "32");
        EXPECT_EQ(Exiv2::ExifThumbC(exif).copy().size_, 0);
        EXPECT_NE(
            saved->xmpData().findKey(Exiv2::XmpKey("Xmp.dc.title"))->toString().find("Harbour"),
            std::string::npos);
        EXPECT_EQ(saved->iptcData().count(), row.keepsIptc ? 1u : 0u);
        const Exiv2::DataBuf* savedIcc = saved->iccProfile();
        EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(savedIcc->pData_), savedIcc->size_),
            QByteArray(row.damage) == "profile" ? QByteArray() : icc);

        CBitmapEx back;
        ASSERT_TRUE(back.load(output, &error)) << error.toStdString();
        EXPECT_EQ(back.exif().record().isoSpeed, 800);
        EXPECT_FALSE(eligible(back.exif().record()));
        EXPECT_LE(test::compare(back.description(), quadrantPicture(), 4).worst, 16);
    }
}

// A grey picture stays grey, and a colour profile does not fit it: it is
// left out rather than written where readers reject it.
TEST(Exif, AGreyPictureGoesWithoutAColourProfile)
{
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("grey.jpg"));
    ASSERT_TRUE(test::writePicture(
        source, quadrantPicture().convertToFormat(QImage::Format_Grayscale8), "jpeg"));
    const QByteArray icc = QColorSpace(QColorSpace::SRgb).iccProfile();
    test::editMetadata(source, [&](Exiv2::Image& image) {
        Exiv2::DataBuf profile(reinterpret_cast<const Exiv2::byte*>(icc.constData()), icc.size());
        image.setIccProfile(profile);
    });
    CBitmapEx image;
    ASSERT_TRUE(image.load(source));
    ASSERT_EQ(image.bitsPerPixel(), 8);
    for (const char* name : { "out.png", "out.tif", "out.jpg" }) {
        SCOPED_TRACE(name);
        const QString output = dir.filePath(QLatin1String(name));
        QString error;
        ASSERT_TRUE(image.save(output, 90, false, &error)) << error.toStdString();
        EXPECT_EQ(test::readMetadata(output)->iccProfile()->size_, 0);
        EXPECT_EQ(QImage(output).format(), QImage::Format_Grayscale8);
    }
}

} // namespace
} // namespace calmora

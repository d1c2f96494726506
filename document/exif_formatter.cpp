#include "document/exif_formatter.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <string>

#include <exiv2/exiv2.hpp>

namespace calmora {

namespace {

const Exiv2::Exifdatum* findDatum(const Exiv2::ExifData& exif, const char* key)
{
    const auto it = exif.findKey(Exiv2::ExifKey(key));
    if (it == exif.end() || it->count() == 0)
        return nullptr;
    return &*it;
}

// EXIF text is meant to be ASCII; cameras that put Latin-1 in it are common
// enough that invalid UTF-8 is read as Latin-1 rather than shown as
// replacement characters. Text after an embedded NUL is padding.
QString asciiText(const Exiv2::ExifData& exif, const char* key)
{
    const Exiv2::Exifdatum* datum = findDatum(exif, key);
    if (!datum)
        return {};
    std::string bytes = datum->toString();
    bytes = bytes.substr(0, bytes.find('\0'));
    QString text = QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
    if (text.contains(QChar::ReplacementCharacter))
        text = QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
    return text.trimmed();
}

// 0 when absent, unreadable or with a zero denominator.
double rationalValue(const Exiv2::ExifData& exif, const char* key)
{
    const Exiv2::Exifdatum* datum = findDatum(exif, key);
    if (!datum)
        return 0;
    const Exiv2::Rational r = datum->toRational(0);
    if (!datum->value().ok() || r.second == 0)
        return 0;
    return static_cast<double>(r.first) / r.second;
}

// 0 when absent, unreadable or outside 1..INT32_MAX.
int32_t positiveInteger(const Exiv2::ExifData& exif, const char* key)
{
    const Exiv2::Exifdatum* datum = findDatum(exif, key);
    if (!datum)
        return 0;
    const long value = datum->toLong(0);
    if (!datum->value().ok() || value <= 0 || value > INT32_MAX)
        return 0;
    return static_cast<int32_t>(value);
}

// The library's own wording for enumerated values (flash modes, metering
// patterns and the like).
QString printed(const Exiv2::ExifData& exif, const char* key)
{
    const Exiv2::Exifdatum* datum = findDatum(exif, key);
    if (!datum)
        return {};
    return QString::fromStdString(datum->print(&exif)).trimmed();
}

// At most `decimals` decimals, without trailing zeros: 2.8, 11, 18.5.
QString decimalText(double value, int decimals)
{
    QString text = QString::number(value, 'f', decimals);
    if (text.contains(QLatin1Char('.'))) {
        while (text.endsWith(QLatin1Char('0')))
            text.chop(1);
        if (text.endsWith(QLatin1Char('.')))
            text.chop(1);
    }
    return text;
}

// Photographers read short exposures as fractions of a second. A time whose
// reciprocal is not close to a whole number (0.3 s, 0.8 s) would turn into a
// misleading fraction, so it stays decimal.
QString exposureText(double seconds)
{
    if (seconds < 1.0) {
        const double reciprocal = 1.0 / seconds;
        const double whole = std::round(reciprocal);
        if (std::abs(reciprocal - whole) <= 0.05 * reciprocal)
            return QStringLiteral("1/%1 sec.").arg(static_cast<qint64>(whole));
    }
    return decimalText(seconds, seconds < 1.0 ? 2 : 1) + QStringLiteral(" sec.");
}

// What a viewer has to do to show the stored pixels upright.
QString orientationText(int32_t orientation)
{
    switch (orientation) {
    case 1:
        return QStringLiteral("Normal");
    case 2:
        return QStringLiteral("Mirror horizontally");
    case 3:
        return QStringLiteral("Rotate 180°");
    case 4:
        return QStringLiteral("Mirror vertically");
    case 5:
        return QStringLiteral("Rotate 90° clockwise and mirror");
    case 6:
        return QStringLiteral("Rotate 90° clockwise");
    case 7:
        return QStringLiteral("Rotate 90° counter-clockwise and mirror");
    case 8:
        return QStringLiteral("Rotate 90° counter-clockwise");
    default:
        return {};
    }
}

// ISOSpeedRatings is a 16-bit field; cameras that go beyond 65535 store
// 65535 there and the real value in one of the sensitivity tags added later.
int32_t isoSpeedOf(const Exiv2::ExifData& exif)
{
    const int32_t rating = positiveInteger(exif, "Exif.Photo.ISOSpeedRatings");
    if (rating > 0 && rating < 65535)
        return rating;
    for (const char* key : { "Exif.Photo.RecommendedExposureIndex", "Exif.Photo.ISOSpeed",
             "Exif.Photo.StandardOutputSensitivity" }) {
        if (const int32_t value = positiveInteger(exif, key); value > 0)
            return value;
    }
    if (rating > 0)
        return rating;
    // Some cameras record the speed only in their maker notes.
    const auto it = Exiv2::isoSpeed(exif);
    if (it == exif.end() || it->count() == 0)
        return 0;
    const long value = it->toLong(0);
    return it->value().ok() && value > 0 && value <= INT32_MAX ? static_cast<int32_t>(value) : 0;
}

QString lensText(const Exiv2::ExifData& exif)
{
    const QString model = asciiText(exif, "Exif.Photo.LensModel");
    if (!model.isEmpty())
        return model;
    // Maker-note lens ids that the library cannot name print as "(123)", as
    // an unknown-lens text or as "n/a"; those say nothing to the user.
    const auto it = Exiv2::lensName(exif);
    if (it == exif.end() || it->count() == 0)
        return {};
    const QString name = QString::fromStdString(it->print(&exif)).trimmed();
    if (name.startsWith(QLatin1Char('('))
        || name.compare(QLatin1String("n/a"), Qt::CaseInsensitive) == 0
        || name.contains(QLatin1String("Unknown"), Qt::CaseInsensitive))
        return {};
    return name;
}

// A date nobody set is stored as zeros or blanks.
bool isBlankDate(const QString& date)
{
    for (const QChar c : date) {
        if (c.isDigit() && c != QLatin1Char('0'))
            return false;
    }
    return true;
}

} // namespace

void CExifFormatter::clear()
{
    for (QString& text : texts)
        text.clear();
    exifRecord = ExifRecord {};
}

void CExifFormatter::setPictureSize(int32_t width, int32_t height)
{
    exifRecord.pictureWidth = width;
    exifRecord.pictureHeight = height;
}

void CExifFormatter::readFrom(const Exiv2::ExifData& exif)
{
    clear();
    try {
        readCapture(exif);
    } catch (const std::exception&) {
        clear();
    }
}

int CExifFormatter::tagCount() const
{
    return static_cast<int>(std::count_if(
        texts.begin(), texts.end(), [](const QString& text) { return !text.isEmpty(); }));
}

void CExifFormatter::readCapture(const Exiv2::ExifData& exif)
{
    if (exif.empty())
        return;
    readNames(exif);
    readDate(exif);
    readExposure(exif);
    readLens(exif);
    readShownOnly(exif);
}

void CExifFormatter::readNames(const Exiv2::ExifData& exif)
{
    texts[kMakeText] = asciiText(exif, "Exif.Image.Make");
    texts[kModelText] = asciiText(exif, "Exif.Image.Model");
    texts[kLensText] = lensText(exif);
    texts[kSoftwareText] = asciiText(exif, "Exif.Image.Software");
    exifRecord.make = texts[kMakeText].toStdString();
    exifRecord.model = texts[kModelText].toStdString();
    exifRecord.lensModel = texts[kLensText].toStdString();
    exifRecord.software = texts[kSoftwareText].toStdString();
}

void CExifFormatter::readDate(const Exiv2::ExifData& exif)
{
    for (const char* key :
        { "Exif.Photo.DateTimeOriginal", "Exif.Photo.DateTimeDigitized", "Exif.Image.DateTime" }) {
        const QString date = asciiText(exif, key);
        if (isBlankDate(date))
            continue;
        exifRecord.dateTimeOriginal = date.toStdString();
        QString shown = date;
        if (shown.size() >= 10 && shown[4] == QLatin1Char(':') && shown[7] == QLatin1Char(':')) {
            shown[4] = QLatin1Char('-');
            shown[7] = QLatin1Char('-');
        }
        texts[kDateTakenText] = shown;
        return;
    }
}

// Exposure time and ISO speed: how much light the picture took.
void CExifFormatter::readExposure(const Exiv2::ExifData& exif)
{
    double exposure = rationalValue(exif, "Exif.Photo.ExposureTime");
    if (exposure <= 0) {
        // APEX time value: t = 2^-Tv. Beyond |Tv| = 64 the field is garbage.
        const double tv = rationalValue(exif, "Exif.Photo.ShutterSpeedValue");
        if (tv != 0 && std::abs(tv) < 64)
            exposure = std::exp2(-tv);
    }
    if (exposure > 0) {
        exifRecord.exposureTime = exposure;
        texts[kExposureTimeText] = exposureText(exposure);
    }
    exifRecord.isoSpeed = isoSpeedOf(exif);
    if (exifRecord.isoSpeed > 0)
        texts[kIsoSpeedText] = QString::number(exifRecord.isoSpeed);
}

// Aperture and focal length.
void CExifFormatter::readLens(const Exiv2::ExifData& exif)
{
    double fNumber = rationalValue(exif, "Exif.Photo.FNumber");
    if (fNumber <= 0) {
        // APEX aperture value: N = 2^(Av / 2).
        const double av = rationalValue(exif, "Exif.Photo.ApertureValue");
        if (av > 0 && av < 64)
            fNumber = std::round(std::exp2(av / 2) * 10) / 10;
    }
    if (fNumber > 0) {
        exifRecord.fNumber = fNumber;
        texts[kApertureText] = QStringLiteral("f/") + decimalText(fNumber, 1);
    }
    if (const double focal = rationalValue(exif, "Exif.Photo.FocalLength"); focal > 0) {
        exifRecord.focalLength = focal;
        texts[kFocalLengthText] = decimalText(focal, 1) + QStringLiteral(" mm");
    }
}

// The orientation goes into the record; the rest is for display only.
void CExifFormatter::readShownOnly(const Exiv2::ExifData& exif)
{
    const int32_t orientation = positiveInteger(exif, "Exif.Image.Orientation");
    if (orientation >= 1 && orientation <= 8) {
        exifRecord.orientation = orientation;
        texts[kOrientationText] = orientationText(orientation);
    }
    texts[kExposureProgramText] = printed(exif, "Exif.Photo.ExposureProgram");
    texts[kMeteringModeText] = printed(exif, "Exif.Photo.MeteringMode");
    texts[kFlashText] = printed(exif, "Exif.Photo.Flash");
    texts[kWhiteBalanceText] = printed(exif, "Exif.Photo.WhiteBalance");
    texts[kExposureBiasText] = printed(exif, "Exif.Photo.ExposureBiasValue");
    const int32_t pixelWidth = positiveInteger(exif, "Exif.Photo.PixelXDimension");
    const int32_t pixelHeight = positiveInteger(exif, "Exif.Photo.PixelYDimension");
    if (pixelWidth > 0 && pixelHeight > 0)
        texts[kDimensionsText] = QStringLiteral("%1 × %2").arg(pixelWidth).arg(pixelHeight);
    texts[kArtistText] = asciiText(exif, "Exif.Image.Artist");
    texts[kCopyrightText] = asciiText(exif, "Exif.Image.Copyright");
}

} // namespace calmora

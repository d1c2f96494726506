// The EXIF reader: the metadata library opens any bytes as the loader opens
// a file, and CExifFormatter reads what it finds, from the EXIF block or,
// when there is none, from XMP converted to EXIF as the loader does. Nothing
// may crash or escape as an exception, and what is read is consistent: tags
// named and non-empty, numbers finite and within their ranges, and a second
// reading gives the same.

#include "document/exif_formatter.h"
#include "fuzz/fuzz_check.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>

#include <exiv2/exiv2.hpp>

namespace {

using namespace calmora;
using calmora::fuzz::check;

void prepareLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] {
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        Exiv2::XmpParser::initialize();
    });
}

bool sameReading(const CExifFormatter& a, const CExifFormatter& b)
{
    for (int t = 0; t < CExifFormatter::kTextCount; ++t)
        if (a.text(CExifFormatter::Text(t)) != b.text(CExifFormatter::Text(t)))
            return false;
    const ExifRecord& x = a.record();
    const ExifRecord& y = b.record();
    return x.isoSpeed == y.isoSpeed && x.software == y.software && x.make == y.make
        && x.model == y.model && x.lensModel == y.lensModel
        && x.dateTimeOriginal == y.dateTimeOriginal && x.exposureTime == y.exposureTime
        && x.fNumber == y.fNumber && x.focalLength == y.focalLength
        && x.orientation == y.orientation;
}

void checkReading(const CExifFormatter& formatter, const Exiv2::ExifData& exif)
{
    for (int t = 0; t < CExifFormatter::kTextCount; ++t) {
        const QString& text = formatter.text(CExifFormatter::Text(t));
        check(
            text == text.trimmed(), QStringLiteral("text %1 not trimmed: \"%2\"").arg(t).arg(text));
    }

    const ExifRecord& record = formatter.record();
    check(record.orientation == 0 || (record.orientation >= 1 && record.orientation <= 8),
        QStringLiteral("orientation %1").arg(record.orientation));
    for (const double value : { record.exposureTime, record.fNumber, record.focalLength })
        check(std::isfinite(value) && value >= 0,
            QStringLiteral("exposure, aperture or focal length %1").arg(value));
    check((record.isoSpeed > 0) == !formatter.isoSpeedText().isEmpty(),
        QStringLiteral("ISO speed %1 shown as \"%2\"")
            .arg(record.isoSpeed)
            .arg(formatter.isoSpeedText()));

    CExifFormatter again;
    again.readFrom(exif);
    check(sameReading(formatter, again), QStringLiteral("a second reading differs"));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    prepareLibrary();
    Exiv2::ExifData exif;
    Exiv2::XmpData xmp;
    try {
        auto image = Exiv2::ImageFactory::open(data, static_cast<long>(size));
        image->readMetadata();
        exif = image->exifData();
        xmp = image->xmpData();
        // Read, as the loader keeps them for saving.
        (void)image->iptcData().count();
        if (const Exiv2::DataBuf* icc = image->iccProfile())
            (void)icc->size_;
    } catch (const std::exception&) {
        return 0; // the loader drops metadata it cannot parse
    }

    CExifFormatter formatter;
    formatter.readFrom(exif);
    checkReading(formatter, exif);

    if (!xmp.empty()) {
        Exiv2::ExifData converted;
        try {
            Exiv2::copyXmpToExif(xmp, converted);
        } catch (const std::exception&) {
            return 0;
        }
        CExifFormatter fromXmp;
        fromXmp.readFrom(converted);
        checkReading(fromXmp, converted);
    }
    return 0;
}

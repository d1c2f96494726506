// The EXIF information of one image: the numeric record that the
// learned-profile store keys on and the eligibility rule reads, and a display
// text per value. The front ends name and order the texts they list. Filled
// by CBitmapEx::load; a file without EXIF data, or with a block that cannot
// be parsed, leaves everything empty.
#pragma once

#include <array>

#include <QString>

#include "settings/exif_record.h"

namespace Exiv2 {
class ExifData;
}

namespace calmora {

class CExifFormatter {
public:
    // Slots of the display texts. Two positions are fixed because other parts
    // read them by position: the ISO speed (the tenth) and the software (the
    // twelfth). The last three are shown only, never read.
    enum Text : int {
        kMakeText,
        kModelText,
        kLensText,
        kDateTakenText,
        kExposureTimeText,
        kApertureText,
        kFocalLengthText,
        kExposureProgramText,
        kMeteringModeText,
        kIsoSpeedText,
        kFlashText,
        kSoftwareText,
        kWhiteBalanceText,
        kExposureBiasText,
        kOrientationText,
        kDimensionsText,
        kArtistText,
        kCopyrightText,
        kTextCount
    };
    static_assert(kIsoSpeedText == 9 && kSoftwareText == 11);

    CExifFormatter() = default;

    void clear();
    // Replaces everything with what `exif` holds. Never throws: a value that
    // cannot be read leaves the information empty rather than half filled.
    void readFrom(const Exiv2::ExifData& exif);
    // The decoded picture's size, which the record carries for the
    // learned-profile store; set after readFrom(), forgotten by clear().
    void setPictureSize(int32_t width, int32_t height);
    void setDevelopedFromRaw(bool developed) { exifRecord.developedFromRaw = developed; }

    // How many of the texts are set: the rows a listing of them shows.
    int tagCount() const;

    // Empty when the file did not say.
    const QString& text(Text which) const { return texts[which]; }
    const QString& isoSpeedText() const { return texts[kIsoSpeedText]; }
    const QString& softwareText() const { return texts[kSoftwareText]; }
    const ExifRecord& record() const { return exifRecord; }

private:
    void readCapture(const Exiv2::ExifData& exif);
    void readNames(const Exiv2::ExifData& exif);
    void readDate(const Exiv2::ExifData& exif);
    void readExposure(const Exiv2::ExifData& exif);
    void readLens(const Exiv2::ExifData& exif);
    void readShownOnly(const Exiv2::ExifData& exif);

    std::array<QString, kTextCount> texts;
    ExifRecord exifRecord;
};

} // namespace calmora

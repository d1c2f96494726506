// The EXIF information of one image: fifteen display texts, the numeric
// record that the learned-profile store keys on and the eligibility rule
// reads, and the name/value rows that the document lists when the image is
// opened. Filled by CBitmapEx::load; a file without EXIF data, or with a block
// that cannot be parsed, leaves everything empty.
#pragma once

#include <array>

#include <QString>
#include <QStringList>

#include "settings/exif_record.h"

namespace Exiv2 {
class ExifData;
}

namespace calmora {

class CExifFormatter {
public:
    // Slots of the display texts. Two positions are fixed because other parts
    // read them by position: the ISO speed (the tenth) and the software (the
    // twelfth).
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
        kTextCount
    };
    static_assert(kTextCount == 15 && kIsoSpeedText == 9 && kSoftwareText == 11);

    CExifFormatter() = default;

    void clear();
    // Replaces everything with what `exif` holds. Never throws: a value that
    // cannot be read leaves the information empty rather than half filled.
    void readFrom(const Exiv2::ExifData& exif);
    // The decoded picture's size, which the record carries for the
    // learned-profile store; set after readFrom(), forgotten by clear().
    void setPictureSize(int32_t width, int32_t height);

    int tagCount() const { return static_cast<int>(tagNames.size()); }
    // Out-of-range indexes give an empty string.
    QString tagName(int index) const { return tagNames.value(index); }
    QString tagValue(int index) const { return tagValues.value(index); }

    const QString& text(Text which) const { return texts[which]; }
    const QString& isoSpeedText() const { return texts[kIsoSpeedText]; }
    const QString& softwareText() const { return texts[kSoftwareText]; }
    const ExifRecord& record() const { return exifRecord; }

private:
    void fill(const Exiv2::ExifData& exif);
    void addTag(const QString& name, const QString& value);

    std::array<QString, kTextCount> texts;
    ExifRecord exifRecord;
    QStringList tagNames;
    QStringList tagValues; // index for index with tagNames
};

} // namespace calmora

// What the decoders that read a whole file through a library (HEIF, JPEG XL,
// camera raw) give besides the pixels, and how the loader's size check
// reaches them.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>

namespace calmora {

// What a file holds besides its pixels.
struct CodecPicture {
    int32_t width = 0; // as shown, after the file's rotation
    int32_t height = 0;
    int bitsPerChannel = 8;
    bool alpha = false;
    bool grey = false;
    // What the decoder delivers: 1 (grey) or 3 colours.
    int decodedColours = 3;
    QByteArray exif; // a TIFF structure, as EXIF parsers take it
    QByteArray xmp;
    QByteArray icc;
    // What the reader made of the file that the user should know.
    QString note;
    // The pixels were developed by the reader from a camera's raw data.
    bool developedFromRaw = false;
};

// Empty when a picture of this size may be decoded, else the reason.
using SizeCheck = std::function<QString(int64_t width, int64_t height)>;

// How a library decoder's reading ended.
enum class CodecReading {
    Done,
    Refused, // by the size check, whose reason it is
    Damaged, // the library's reason
    OutOfMemory,
};

// An EXIF block as HEIF and JPEG XL files hold it, without the offset of
// the TIFF header that starts it; empty when the offset points outside.
inline QByteArray exifTiffStructure(const QByteArray& block)
{
    constexpr qsizetype kOffsetBytes = 4;
    if (block.size() < kOffsetBytes)
        return {};
    const auto* p = reinterpret_cast<const uint8_t*>(block.constData());
    const uint64_t offset
        = uint64_t { p[0] } << 24 | uint64_t { p[1] } << 16 | uint64_t { p[2] } << 8 | p[3];
    if (offset >= static_cast<uint64_t>(block.size() - kOffsetBytes))
        return {};
    return block.mid(static_cast<qsizetype>(kOffsetBytes + offset));
}

} // namespace calmora

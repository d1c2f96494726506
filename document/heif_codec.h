// HEIC/HEIF and AVIF files through libheif: the primary image of a file
// read into the pixel buffers at 8 or, for 10- and 12-bit files, 16 bits,
// turned as the file says it is shown, with its EXIF, XMP and colour
// profile; and pictures written with them. Without the library in the build
// every file is "not ours" and every write refused.
#pragma once

#include "document/image_encoders.h"
#include "document/image_pixels.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>

namespace calmora {

// "heic" or "avif" when the bytes open like such a file, else empty.
QByteArray heifFormatOf(const QByteArray& bytes);

// What a file holds besides its pixels.
struct HeifPicture {
    int32_t width = 0; // as shown, after the file's rotation
    int32_t height = 0;
    int bitsPerChannel = 8;
    bool alpha = false;
    bool grey = false;
    QByteArray exif; // a TIFF structure, as EXIF parsers take it
    QByteArray xmp;
    QByteArray icc;
};

// Empty when a picture of this size may be decoded, else the reason.
using SizeCheck = std::function<QString(int64_t width, int64_t height)>;

enum class HeifReading {
    Done,
    Refused, // by `check`, whose reason it is
    Damaged, // the library's reason
    OutOfMemory,
};

// Reads the file's description, and its pixels into `pixels` unless that is
// null. `check` sees the declared size before anything is decoded and the
// decoded one after.
HeifReading readHeif(const QByteArray& bytes, const SizeCheck& check, HeifPicture& picture,
    PixelBuffers* pixels, QString& reason);

// Encodes `request` as "heic" or "avif" at request.quality, with its EXIF,
// XMP and colour profile, and its pixels turned as the EXIF `orientation`
// (1..8; anything else is 1) says they are shown.
bool encodeHeif(const EncodeRequest& request, const QByteArray& format, int orientation,
    QByteArray& file, QString& reason);

} // namespace calmora

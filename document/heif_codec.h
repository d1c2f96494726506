// HEIC/HEIF and AVIF files through libheif: the primary image of a file
// read into the pixel buffers at 8 or, for 10- and 12-bit files, 16 bits,
// turned as the file says it is shown, with its EXIF, XMP and colour
// profile; and pictures written with them. Without the library in the build
// every file is "not ours" and every write refused.
#pragma once

#include "document/codec_picture.h"
#include "document/image_encoders.h"
#include "document/image_pixels.h"

#include <QByteArray>
#include <QString>

namespace calmora {

// "heic" or "avif" when the bytes open like such a file, else empty.
QByteArray heifFormatOf(const QByteArray& bytes);

// Reads the file's description, and its pixels into `pixels` unless that is
// null. `check` sees the declared size before anything is decoded and the
// decoded one after.
CodecReading readHeif(const QByteArray& bytes, const SizeCheck& check, CodecPicture& picture,
    PixelBuffers* pixels, QString& reason);

// Encodes `request` as "heic" or "avif" at request.quality, with its EXIF,
// XMP and colour profile, and its pixels turned as the EXIF `orientation`
// (1..8; anything else is 1) says they are shown.
bool encodeHeif(const EncodeRequest& request, const QByteArray& format, int orientation,
    QByteArray& file, QString& reason);

} // namespace calmora

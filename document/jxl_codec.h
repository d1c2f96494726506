// JPEG XL files through libjxl: the first frame read into the pixel
// buffers at 8 or, for deeper files, 16 bits, turned as the file says it is
// shown, with its EXIF, XMP and colour profile; and pictures written with
// them, at 8 or 16 bits. Without the library in the build no file is one and
// every write is refused.
#pragma once

#include "document/codec_picture.h"
#include "document/image_encoders.h"
#include "document/image_pixels.h"

#include <QByteArray>
#include <QString>

namespace calmora {

// Whether the bytes start like a JPEG XL file, bare or in its container.
bool isJxl(const QByteArray& bytes);

// Reads the file's description, and its pixels into `pixels` unless that is
// null. `check` sees the size as shown before anything is decoded.
CodecReading readJxl(const QByteArray& bytes, const SizeCheck& check, CodecPicture& picture,
    PixelBuffers* pixels, QString& reason);

// Encodes `request` at request.quality (100 is lossless) and its depth, with
// its EXIF, XMP and colour profile. The pixels stay as stored; the file's
// own orientation field is set to the EXIF `orientation` (1..8; anything
// else is 1), which readers apply.
bool encodeJxl(const EncodeRequest& request, int orientation, QByteArray& file, QString& reason);

} // namespace calmora

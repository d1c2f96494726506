// Camera raw files (DNG and the makers' own) through LibRaw, read only:
// the sensor data developed with LibRaw's default settings and the camera's
// white balance into 16-bit sRGB, turned as the camera held it, with the
// camera's own description (make, model, ISO speed, exposure, date) as EXIF.
// Without the library in the build no file is one.
#pragma once

#include "document/codec_picture.h"
#include "document/image_pixels.h"

#include <QByteArray>
#include <QString>

namespace calmora {

// Whether the bytes are a camera raw file. Files that the makers build on
// TIFF without a mark of their own (NEF, ARW, PEF, SRW) count only when
// `rawByName` says their name is a raw one; a TIFF of the same camera is
// then told apart by LibRaw itself.
bool isCameraRaw(const QByteArray& bytes, bool rawByName);

// Reads the file's description, and its developed pixels into `pixels`
// unless that is null. `check` sees the sizes before anything is decoded.
CodecReading readRaw(const QByteArray& bytes, const SizeCheck& check, CodecPicture& picture,
    PixelBuffers* pixels, QString& reason);

} // namespace calmora

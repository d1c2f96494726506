// Checks of an image file's own structure, made on its bytes before and
// around decoding. Decoders fill what a damaged file lacks with grey and call
// it a picture, and some allocate the declared size before reading a byte;
// these checks let the loader refuse such files in plain words instead. They
// never trust a size or length read from the file.
#pragma once

#include <cstdint>

#include <QByteArray>
#include <QString>

namespace calmora {

// Empty when a `format` file of `fileBytes` bytes can plausibly hold a
// picture of the declared size, else the reason. The bound is the best
// compression the format's coding allows (with a wide margin), so only
// files far too short for what they declare are refused, before a decoder
// allocates anything for them.
QString declaredSizeProblem(
    const QByteArray& format, int64_t width, int64_t height, int64_t fileBytes);

// Empty when the file's structure is complete as far as the picture goes,
// else the reason ("the file ends inside the picture data"). PNG files are
// walked chunk by chunk with their checksums, GIF files block by block up to
// the end of the first picture, BMP files by their pixel-data size or their
// run-length stream. Other formats are left to their decoder (empty).
QString structureProblem(const QByteArray& format, const uint8_t* data, int64_t size);

// Whether the file says it stores grey that its decoder delivers in colour
// (a PNG of grey with an alpha, or of fewer than 8 bits per sample).
bool storedAsGrey(const QByteArray& format, const uint8_t* data, int64_t size);

} // namespace calmora

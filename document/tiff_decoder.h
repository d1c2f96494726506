// TIFF read through libtiff for the pictures this program filters: grey or
// RGB, 8 or 16 bits per sample, with or without an alpha, in strips or
// tiles, the samples of a pixel side by side or in planes of their own, with
// any compression libtiff decodes. Qt's reader goes through libtiff's RGBA
// interface for several of these, which drops a grey picture's alpha, reads
// 16 bits as 8 and misplaces 16-bit planes; the rest (palettes, bilevel,
// YCbCr, floating point) is still left to it.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

#include "document/image_pixels.h"

namespace calmora {

struct TiffLayout {
    enum class Reader {
        Own, // read by decodeTiff
        Qt, // left to Qt's reader
        None, // refused; `refusal` says why
    };
    Reader reader = Reader::Qt;
    int32_t width = 0;
    int32_t height = 0;
    int bitsPerSample = 8;
    int colours = 3; // 1 grey, 3 colour
    bool alpha = false;
    QString refusal;
};

// What the first picture of a TIFF file holds, and who reads it. False with
// `reason` when libtiff cannot read the file's first directory.
bool readTiffLayout(const QByteArray& file, TiffLayout& layout, QString& reason);

enum class TiffDecoding { Done, Damaged, OutOfMemory };

// Decodes the first picture of a TIFF file whose layout is read here into
// `pixels`. Unless Done, `reason` says what is wrong with the picture data
// or what memory was lacking, and `pixels` is empty. What libtiff says on the
// way reaches the caller's DecoderMessages.
TiffDecoding decodeTiff(const QByteArray& file, PixelBuffers& pixels, QString& reason);

} // namespace calmora

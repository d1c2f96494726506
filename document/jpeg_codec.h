// JPEG straight between a file's bytes and the pixel buffers, with libjpeg's
// scanline interface: each decoded row lands in its display row as the
// engine takes it (blue, green, red, 255, or grey), and the encoder reads the
// rows where they are. No picture-sized copy exists on the way, which is
// what a 20-megapixel photo's load and save mostly spent their time on.
#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>

#include "document/image_pixels.h"

namespace calmora {

class DecoderMessages;

enum class JpegDecoding {
    Done,
    Damaged, // `reason` has the decoder's words
    OutOfMemory, // `reason` says so
    // Inks (CMYK, YCCK) or an unusual component count: left to the general
    // image reader, which knows what to make of them.
    NotOurs,
};

// Decodes `bytes` into `pixels`: 8-bit colour (32 bits per pixel) or grey
// (8). Refuses pictures that sizeProblem-style limits refuse before any row
// is allocated, and progressive files with an absurd number of scans. What
// the decoder says on the way goes to `messages`, in its own words; a cut
// short file's "Premature end" is among them even when an earlier warning
// came first. On any outcome but Done `pixels` is empty.
JpegDecoding decodeJpeg(
    const QByteArray& bytes, PixelBuffers& pixels, DecoderMessages& messages, QString& reason);

struct JpegEncodeRequest {
    int quality = 90; // 0..100
    QByteArray iccProfile; // embedded when not empty
    // When another thread sets it, the encoding ends at the next rows, as a
    // failure that says so.
    const std::atomic<bool>* stop = nullptr;
};

// Encodes the picture at 8 bits, composited over black, as the display shows
// it (a high-depth picture's samples rounded to 8 bits): baseline, 4:2:0,
// Huffman tables of the standard. False with `reason` when memory runs out,
// the encoder fails or the request is stopped; `file` is then empty.
bool encodeJpeg(
    const PixelBuffers& pixels, const JpegEncodeRequest& request, QByteArray& file, QString& reason);

} // namespace calmora

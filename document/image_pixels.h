// The pixels of one image as this program keeps them, and the conversions
// between them and decoded or encoded pictures.
//
// Every image has a display: 8 bits per sample, rows bottom-up, each row
// padded to 4 bytes. A picture decoded with 8 bits per channel is kept as a
// display alone: blue, green, red and a fourth byte of 255 (32 bits per
// pixel), or grey (8). One with 16 bits per channel keeps those in a
// high-depth buffer, rows top-down and unpadded: blue, green and red (48 bits
// per pixel), or grey alone (16); its display (24 or 8 bits per pixel) shows
// the high byte of each sample.
//
// Colours are kept composited over opaque black (premultiplied by their
// alpha), which is what the view shows and the filter works on. The alpha
// itself, when the picture has one, is kept apart at 16 bits, top-down, and
// given back to formats that can hold it, together with the colours as the
// file gave them: compositing a faint pixel loses most of its colour, and a
// colour that the filter left as it was is written back as it came.
#pragma once

#include <QImage>
#include <QRect>

#include <cstdint>
#include <memory>

#include "engine/records.h"

namespace calmora {

// The memory of a picture-sized buffer: large ones are laid out for the
// processor's large pages, so that a 20-megapixel picture's first touch
// costs a few dozen page faults instead of tens of thousands.
struct PictureMemoryDeleter {
    void operator()(void* memory) const noexcept;
};
template <typename T>
using PictureMemory = std::unique_ptr<T[], PictureMemoryDeleter>;

struct PixelBuffers {
    int32_t width = 0;
    int32_t height = 0;
    int32_t bitsPerPixel = 0; // of the image: 32 or 8, 48 or 16
    PictureMemory<uint8_t> display;
    PictureMemory<uint16_t> highDepth;
    std::unique_ptr<uint16_t[]> alpha;
    // With the alpha: each pixel's colours before compositing, at the
    // image's depth (an 8-bit sample in a uint16_t), in the display's order
    // (blue, green, red, or grey), rows top-down.
    std::unique_ptr<uint16_t[]> straight;

    bool isNull() const { return !display; }
    bool isHighDepth() const { return calmora::isHighDepth(bitsPerPixel); }
    bool isGrey() const { return bitsPerPixel == 16 || bitsPerPixel == 8; }
    int colours() const { return isGrey() ? 1 : 3; }
    int32_t displayBitsPerPixel() const { return isHighDepth() ? bitsPerPixel / 2 : bitsPerPixel; }
    int64_t displayStride() const;
    int64_t displayBytes() const { return displayStride() * height; }
    int64_t highDepthSamples() const;

    ImageDesc displayDescription() const;

    // The display row that shows picture row `y` (0 = the top row): the one
    // place where the bottom-up order is turned round.
    uint8_t* displayRow(int32_t y) const
    {
        return display.get() + (height - 1 - y) * displayStride();
    }
};

// Samples as a decoder delivers them: the colours (grey, or red, green and
// blue), then the alpha when there is one, each in a uint16_t whatever the
// depth.
struct SampleLayout {
    int colours = 3; // 1 or 3
    bool alpha = false;
    // The colours are already scaled by the alpha (TIFF's associated alpha).
    bool premultiplied = false;
    bool sixteenBits = false;

    int samplesPerPixel() const { return colours + (alpha ? 1 : 0); }
};

// Makes `pixels` ready for a picture of this size and layout: 16-bit
// layouts become high-depth images. False when memory runs out; `pixels` is
// then empty.
bool startPicture(PixelBuffers& pixels, int32_t width, int32_t height, const SampleLayout& layout);

// Stores `count` pixels of picture row `y` (0 = the top row) from column
// `x`, laid out as `layout` says, which is the layout the picture was
// started with.
void storeSamples(PixelBuffers& pixels, const SampleLayout& layout, int32_t y, int32_t x,
    int32_t count, const uint16_t* samples);

// Once every row is stored: fills the display of a high-depth picture.
void finishPicture(PixelBuffers& pixels);

// Takes over a picture decoded by Qt: 16-bit formats (RGBA64, RGBX64,
// Grayscale16) become high-depth images, every other format an 8-bit one,
// grey when the picture is grey (Grayscale8 or Grayscale16, or `grey` is
// set because the file stores grey). The picture is released as soon as it
// has been copied, so that a large image is not held twice. False when
// memory runs out.
bool takePicture(QImage& picture, PixelBuffers& pixels, bool grey = false);

// A copy of the display and high-depth pixels (not the alpha and the
// colours before compositing, which stay with the working image). False when
// memory runs out; `copy` is then empty.
bool copyPixels(const PixelBuffers& from, PixelBuffers& copy);

// How many whole-picture copies this process has made: taking a decoded
// picture over, copying or restoring the pixels, widening them, a top-down
// copy of the whole display. The stage benchmark prints it per command.
int64_t pictureCopies();

// Copies `from`'s display and high-depth pixels over `to`'s, which has the
// same size and depth.
void restorePixels(const PixelBuffers& from, PixelBuffers& to);

// Turns an 8-bit image into a 16-bit one (32 into 48, grey 8 into 16) whose
// samples are the 8-bit ones × 257, so that the filter works in its 16-bit
// path. False when memory runs out; the image is then unchanged.
bool widenToHighDepth(PixelBuffers& pixels);

// Row `y` (0 = top) for an encoder: width × channels samples in R, G, B, A
// (or grey, alpha) order, 8 bits each or 16 bits each (native uint16_t).
// When `channels` includes the alpha, each colour is the one the file gave
// where compositing it still gives the image's, else the image's divided
// back by the alpha. 16-bit samples written at 8 bits are rounded. Safe to
// call from several threads at once.
void readRow(const PixelBuffers& pixels, int32_t y, int channels, bool sixteenBits, void* samples);

// The channels an encoder should write for this image: 1 or 3, plus one for
// the alpha when there is one and `keepAlpha` is set.
int outputChannels(const PixelBuffers& pixels, bool keepAlpha);

// Part of the display as a top-down picture (`region` in picture
// coordinates, clipped to the image), for drawing: only that part is copied.
// Null when nothing of it lies on the image or memory runs out.
//
// With `step` above 1 only every step-th pixel of every step-th row is
// taken, those whose picture coordinates are multiples of `step`: a view
// zoomed out by an integer factor copies what it shows and no more, and a
// repaint of any part samples the same pixels as a repaint of the whole.
QImage displayRegion(const PixelBuffers& pixels, const QRect& region, int32_t step = 1);

// The whole display as a top-down picture.
QImage displayPicture(const PixelBuffers& pixels);

} // namespace calmora

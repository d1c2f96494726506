#include "document/image_pixels.h"

#include "engine/engine.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace calmora {

namespace {

constexpr uint32_t kMax8 = 255;
constexpr uint32_t kMax16 = 65535;

template <typename T>
std::unique_ptr<T[]> allocate(int64_t count)
{
    try {
        return std::make_unique_for_overwrite<T[]>(static_cast<size_t>(count));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

bool isSixteenBit(QImage::Format format)
{
    return format == QImage::Format_RGBX64 || format == QImage::Format_RGBA64
        || format == QImage::Format_RGBA64_Premultiplied || format == QImage::Format_Grayscale16;
}

// A colour composited over black: scaled by its alpha, rounded.
uint16_t premultiplied16(uint32_t colour, uint32_t alpha)
{
    return static_cast<uint16_t>((colour * alpha + kMax16 / 2) / kMax16);
}

// The colour back from its composite over black; a transparent pixel has
// none and stays black.
uint32_t unpremultiplied(uint32_t colour, uint32_t alpha, uint32_t maximum)
{
    if (alpha == 0)
        return 0;
    return std::min(maximum, (colour * maximum + alpha / 2) / alpha);
}

// An 8-bit alpha stored at 16 bits is a multiple of 257, so this gives it
// back exactly; a 16-bit one is rounded.
uint32_t alphaTo8(uint16_t alpha)
{
    return (uint32_t { alpha } + 128) / 257;
}

bool allocateImage(PixelBuffers& pixels, int32_t width, int32_t height, int32_t bitsPerPixel)
{
    pixels.width = width;
    pixels.height = height;
    pixels.bitsPerPixel = bitsPerPixel;
    pixels.display = allocate<uint8_t>(pixels.displayBytes());
    if (pixels.display && pixels.isHighDepth())
        pixels.highDepth = allocate<uint16_t>(pixels.highDepthSamples());
    if (!pixels.display || (pixels.isHighDepth() && !pixels.highDepth)) {
        pixels = PixelBuffers();
        return false;
    }
    return true;
}

// The alpha of every pixel at 16 bits, top-down; null when the picture has
// none or memory runs out.
std::unique_ptr<uint16_t[]> takeAlpha8(const QImage& picture)
{
    const QImage straight = picture.format() == QImage::Format_ARGB32
        ? picture
        : picture.convertToFormat(QImage::Format_ARGB32);
    auto alpha = allocate<uint16_t>(int64_t { picture.width() } * picture.height());
    if (straight.isNull() || !alpha)
        return nullptr;
    for (int32_t y = 0; y < picture.height(); ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(straight.constScanLine(y));
        uint16_t* out = alpha.get() + int64_t { y } * picture.width();
        for (int32_t x = 0; x < picture.width(); ++x)
            out[x] = static_cast<uint16_t>(qAlpha(row[x]) * 257);
    }
    return alpha;
}

// The display of a high-depth image, by the filter's own rule.
void showHighDepth(PixelBuffers& pixels)
{
    refreshDisplay(pixels.displayDescription(),
        reinterpret_cast<const uint8_t*>(pixels.highDepth.get()), pixels.bitsPerPixel);
}

bool takeEightBit(QImage& picture, PixelBuffers& pixels)
{
    std::unique_ptr<uint16_t[]> alpha;
    if (picture.hasAlphaChannel()) {
        alpha = takeAlpha8(picture);
        if (!alpha)
            return false;
    }
    // Premultiplying scales each colour by its alpha, which is exactly
    // compositing over opaque black: a transparent pixel turns black, a
    // half-transparent one is blended halfway to black.
    if (picture.format() != QImage::Format_RGB32
        && picture.format() != QImage::Format_ARGB32_Premultiplied)
        picture.convertTo(QImage::Format_ARGB32_Premultiplied);
    if (picture.format() != QImage::Format_RGB32
        && picture.format() != QImage::Format_ARGB32_Premultiplied)
        return false;
    if (!allocateImage(pixels, picture.width(), picture.height(), 32))
        return false;
    const int64_t rowBytes = pixels.displayStride();
    for (int32_t y = 0; y < pixels.height; ++y) {
        uint8_t* target = pixels.displayRow(y);
        std::memcpy(target, picture.constScanLine(y), static_cast<size_t>(rowBytes));
        for (int64_t fourth = 3; fourth < rowBytes; fourth += 4)
            target[fourth] = 255;
    }
    pixels.alpha = std::move(alpha);
    return true;
}

bool takeGrey16(const QImage& picture, PixelBuffers& pixels)
{
    if (!allocateImage(pixels, picture.width(), picture.height(), 16))
        return false;
    const int32_t width = pixels.width;
    for (int32_t y = 0; y < pixels.height; ++y) {
        std::memcpy(pixels.highDepth.get() + int64_t { y } * width, picture.constScanLine(y),
            static_cast<size_t>(width) * 2);
    }
    showHighDepth(pixels);
    return true;
}

bool takeColour16(QImage& picture, PixelBuffers& pixels)
{
    const bool hasAlpha = picture.hasAlphaChannel();
    if (picture.format() == QImage::Format_RGBA64_Premultiplied)
        picture.convertTo(QImage::Format_RGBA64);
    if (!allocateImage(pixels, picture.width(), picture.height(), 48))
        return false;
    const int32_t width = pixels.width;
    if (hasAlpha) {
        pixels.alpha = allocate<uint16_t>(int64_t { width } * pixels.height);
        if (!pixels.alpha) {
            pixels = PixelBuffers();
            return false;
        }
    }
    for (int32_t y = 0; y < pixels.height; ++y) {
        const auto* in = reinterpret_cast<const QRgba64*>(picture.constScanLine(y));
        uint16_t* high = pixels.highDepth.get() + int64_t { y } * width * 3;
        for (int32_t x = 0; x < width; ++x) {
            const uint32_t a = hasAlpha ? in[x].alpha() : kMax16;
            high[3 * x] = premultiplied16(in[x].blue(), a);
            high[3 * x + 1] = premultiplied16(in[x].green(), a);
            high[3 * x + 2] = premultiplied16(in[x].red(), a);
            if (hasAlpha)
                pixels.alpha[int64_t { y } * width + x] = static_cast<uint16_t>(a);
        }
    }
    showHighDepth(pixels);
    return true;
}

} // namespace

int64_t PixelBuffers::displayStride() const
{
    // Rows padded to 4 bytes, as the engine's 24-bit rows are.
    return (int64_t { width } * displayBitsPerPixel() / 8 + 3) / 4 * 4;
}

int64_t PixelBuffers::highDepthSamples() const
{
    return isHighDepth() ? int64_t { width } * height * (bitsPerPixel / 16) : 0;
}

ImageDesc PixelBuffers::displayDescription() const
{
    ImageDesc desc;
    if (!display)
        return desc;
    desc.width = width;
    desc.height = height;
    desc.stride = static_cast<int32_t>(displayStride());
    desc.bitsPerPixel = static_cast<uint16_t>(displayBitsPerPixel());
    desc.pixels = display.get();
    return desc;
}

bool takePicture(QImage& picture, PixelBuffers& pixels)
{
    bool taken = false;
    if (!isSixteenBit(picture.format()))
        taken = takeEightBit(picture, pixels);
    else if (picture.format() == QImage::Format_Grayscale16)
        taken = takeGrey16(picture, pixels);
    else
        taken = takeColour16(picture, pixels);
    picture = QImage();
    return taken;
}

bool copyPixels(const PixelBuffers& from, PixelBuffers& copy)
{
    copy = PixelBuffers();
    if (from.isNull() || !allocateImage(copy, from.width, from.height, from.bitsPerPixel))
        return false;
    restorePixels(from, copy);
    return true;
}

void restorePixels(const PixelBuffers& from, PixelBuffers& to)
{
    if (from.isNull() || to.isNull() || from.width != to.width || from.height != to.height
        || from.bitsPerPixel != to.bitsPerPixel)
        return;
    std::memcpy(to.display.get(), from.display.get(), static_cast<size_t>(from.displayBytes()));
    if (from.highDepth) {
        std::memcpy(to.highDepth.get(), from.highDepth.get(),
            static_cast<size_t>(from.highDepthSamples()) * 2);
    }
}

bool widenToHighDepth(PixelBuffers& pixels)
{
    if (pixels.isNull() || pixels.isHighDepth())
        return !pixels.isNull();
    PixelBuffers wide;
    if (!allocateImage(wide, pixels.width, pixels.height, 48))
        return false;
    const int32_t width = pixels.width;
    for (int32_t y = 0; y < pixels.height; ++y) {
        const uint8_t* in = pixels.displayRow(y);
        uint16_t* high = wide.highDepth.get() + int64_t { y } * width * 3;
        for (int32_t x = 0; x < width; ++x) {
            for (int c = 0; c < 3; ++c)
                high[3 * x + c] = static_cast<uint16_t>(in[4 * x + c] * 257);
        }
    }
    showHighDepth(wide);
    wide.alpha = std::move(pixels.alpha);
    pixels = std::move(wide);
    return true;
}

int outputChannels(const PixelBuffers& pixels, bool keepAlpha)
{
    return (pixels.isGrey() ? 1 : 3) + (keepAlpha && pixels.alpha ? 1 : 0);
}

void readRow(const PixelBuffers& pixels, int32_t y, int channels, bool sixteenBits, void* samples)
{
    const int32_t width = pixels.width;
    const int colours = pixels.isGrey() ? 1 : 3;
    const bool withAlpha = channels > colours && pixels.alpha;
    const uint32_t maximum = sixteenBits ? kMax16 : kMax8;
    const uint8_t* shown = pixels.displayRow(y);
    const uint16_t* high
        = pixels.highDepth ? pixels.highDepth.get() + int64_t { y } * width * colours : nullptr;
    const uint16_t* alpha = withAlpha ? pixels.alpha.get() + int64_t { y } * width : nullptr;
    const int displayStep = pixels.displayBitsPerPixel() / 8;
    auto* out8 = static_cast<uint8_t*>(samples);
    auto* out16 = static_cast<uint16_t*>(samples);
    for (int32_t x = 0; x < width; ++x) {
        const uint32_t a = withAlpha ? (sixteenBits ? alpha[x] : alphaTo8(alpha[x])) : maximum;
        for (int c = 0; c < colours; ++c) {
            // Stored blue first; written red first.
            const int stored = colours == 3 ? 2 - c : 0;
            uint32_t value = 0;
            if (high)
                value = sixteenBits ? high[colours * x + stored] : high[colours * x + stored] >> 8;
            else
                value = sixteenBits ? shown[displayStep * x + stored] * 257u
                                    : shown[displayStep * x + stored];
            if (withAlpha)
                value = unpremultiplied(value, a, maximum);
            const int64_t at = int64_t { x } * channels + c;
            if (sixteenBits)
                out16[at] = static_cast<uint16_t>(value);
            else
                out8[at] = static_cast<uint8_t>(value);
        }
        if (withAlpha) {
            const int64_t at = int64_t { x } * channels + colours;
            if (sixteenBits)
                out16[at] = static_cast<uint16_t>(a);
            else
                out8[at] = static_cast<uint8_t>(a);
        }
    }
}

QImage displayRegion(const PixelBuffers& pixels, const QRect& region, int32_t step)
{
    if (step < 1)
        return {};
    const QRect clipped = region.intersected(QRect(0, 0, pixels.width, pixels.height));
    if (pixels.isNull() || clipped.isEmpty())
        return {};
    const auto firstMultiple = [step](int32_t v) { return (v + step - 1) / step * step; };
    const int32_t left = firstMultiple(clipped.left());
    const int32_t top = firstMultiple(clipped.top());
    if (left > clipped.right() || top > clipped.bottom())
        return {};
    const int32_t columns = (clipped.right() - left) / step + 1;
    const int32_t rows = (clipped.bottom() - top) / step + 1;
    const QImage::Format format = pixels.displayBitsPerPixel() == 32 ? QImage::Format_RGB32
        : pixels.displayBitsPerPixel() == 24                         ? QImage::Format_BGR888
                                                                     : QImage::Format_Grayscale8;
    QImage picture(columns, rows, format);
    if (picture.isNull())
        return {};
    const int bytesPerPixel = pixels.displayBitsPerPixel() / 8;
    // One copy per pixel of a size the compiler knows, since a sampled row
    // cannot be copied as a block.
    const auto sampleRow = [&]<int kBytes>(const uint8_t* source, uint8_t* target) {
        const int64_t stride = int64_t { step } * kBytes;
        for (int32_t x = 0; x < columns; ++x, source += stride, target += kBytes)
            std::memcpy(target, source, kBytes);
    };
    for (int32_t y = 0; y < rows; ++y) {
        const uint8_t* source
            = pixels.displayRow(top + y * step) + int64_t { left } * bytesPerPixel;
        uint8_t* target = picture.scanLine(y);
        if (step == 1)
            std::memcpy(target, source, static_cast<size_t>(columns) * bytesPerPixel);
        else if (bytesPerPixel == 4)
            sampleRow.template operator()<4>(source, target);
        else if (bytesPerPixel == 3)
            sampleRow.template operator()<3>(source, target);
        else
            sampleRow.template operator()<1>(source, target);
    }
    return picture;
}

QImage displayPicture(const PixelBuffers& pixels)
{
    return displayRegion(pixels, QRect(0, 0, pixels.width, pixels.height));
}

} // namespace calmora

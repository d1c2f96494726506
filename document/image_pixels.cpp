#include "document/image_pixels.h"

#include "engine/engine.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>
#include <new>
#include <vector>

namespace calmora {

namespace {

constexpr uint32_t kMax8 = 255;

std::atomic<int64_t> g_pictureCopies { 0 };

void countPictureCopy()
{
    g_pictureCopies.fetch_add(1, std::memory_order_relaxed);
}
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

// Picture-sized buffers are mapped with their pages already present: one
// call makes them all, where touching them one by one would take a fault
// each (tens of thousands for a 20-megapixel picture). The mapping's size
// lies in front of the pixels, for the deleter. Small buffers come from the
// heap.
constexpr size_t kMappedFrom = size_t { 4 } << 20;
constexpr size_t kMappingHeader = 64;

template <typename T>
PictureMemory<T> allocatePicture(int64_t count)
{
    const size_t bytes = static_cast<size_t>(count) * sizeof(T);
    if (bytes < kMappedFrom) {
        auto* memory = static_cast<uint8_t*>(std::malloc(bytes + kMappingHeader));
        if (memory == nullptr)
            return nullptr;
        std::memset(memory, 0, sizeof(size_t));
        return PictureMemory<T>(reinterpret_cast<T*>(memory + kMappingHeader));
    }
    const size_t mapped = bytes + kMappingHeader;
    void* memory = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE,
        MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (memory == MAP_FAILED)
        return nullptr;
    std::memcpy(memory, &mapped, sizeof mapped);
    return PictureMemory<T>(reinterpret_cast<T*>(static_cast<uint8_t*>(memory) + kMappingHeader));
}

bool isSixteenBit(QImage::Format format)
{
    return format == QImage::Format_RGBX64 || format == QImage::Format_RGBA64
        || format == QImage::Format_RGBA64_Premultiplied || format == QImage::Format_Grayscale16;
}

// A colour composited over black: scaled by its alpha, rounded. Both are at
// most 65535, so the product fits in 32 bits.
uint32_t premultiplied(uint32_t colour, uint32_t alpha, uint32_t maximum)
{
    return (colour * alpha + maximum / 2) / maximum;
}

// The colour back from its composite over black; a transparent pixel has
// none and stays black.
uint32_t unpremultiplied(uint32_t colour, uint32_t alpha, uint32_t maximum)
{
    if (alpha == 0)
        return 0;
    return std::min(maximum, (colour * maximum + alpha / 2) / alpha);
}

// A 16-bit sample at 8 bits, rounded to the nearest level: the same as
// round(sample × 255 / 65535). An 8-bit value stored × 257 comes back
// exactly.
uint32_t to8(uint32_t sample)
{
    return (sample + 128) / 257;
}

bool allocateImage(PixelBuffers& pixels, int32_t width, int32_t height, int32_t bitsPerPixel)
{
    pixels.width = width;
    pixels.height = height;
    pixels.bitsPerPixel = bitsPerPixel;
    pixels.display = allocatePicture<uint8_t>(pixels.displayBytes());
    if (pixels.display && pixels.isHighDepth())
        pixels.highDepth = allocatePicture<uint16_t>(pixels.highDepthSamples());
    if (!pixels.display || (pixels.isHighDepth() && !pixels.highDepth)) {
        pixels = PixelBuffers();
        return false;
    }
    // The bytes that pad a row to 4 are never drawn or filtered; zeroed, a
    // copy of the display is the same however it was made.
    const int64_t used = int64_t { width } * (pixels.displayBitsPerPixel() / 8);
    const int64_t stride = pixels.displayStride();
    if (used < stride) {
        for (int32_t y = 0; y < height; ++y)
            std::memset(pixels.display.get() + y * stride + used, 0,
                static_cast<size_t>(stride - used));
    }
    return true;
}

// The display of a high-depth image, by the filter's own rule.
void showHighDepth(PixelBuffers& pixels)
{
    refreshDisplay(pixels.displayDescription(),
        reinterpret_cast<const uint8_t*>(pixels.highDepth.get()), pixels.bitsPerPixel);
}

// Opaque 8-bit colour or grey, row by row as Qt holds it.
bool takeOpaqueEightBit(QImage& picture, PixelBuffers& pixels, bool grey)
{
    const QImage::Format format = grey ? QImage::Format_Grayscale8 : QImage::Format_RGB32;
    if (picture.format() != format)
        picture.convertTo(format);
    if (picture.format() != format
        || !allocateImage(pixels, picture.width(), picture.height(), grey ? 8 : 32))
        return false;
    const auto rowBytes = static_cast<size_t>(picture.width()) * (grey ? 1 : 4);
    for (int32_t y = 0; y < pixels.height; ++y) {
        uint8_t* target = pixels.displayRow(y);
        std::memcpy(target, picture.constScanLine(y), rowBytes);
        if (!grey) {
            for (size_t fourth = 3; fourth < rowBytes; fourth += 4)
                target[fourth] = 255;
        }
    }
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

// Everything else (an alpha, a picture that the file stores as grey but Qt
// delivers in colour, 16-bit colour) goes through the samples of its
// straight, unpremultiplied colours.
bool takeSamples(QImage& picture, PixelBuffers& pixels, bool grey)
{
    SampleLayout layout;
    layout.colours = grey ? 1 : 3;
    layout.alpha = picture.hasAlphaChannel();
    layout.sixteenBits = isSixteenBit(picture.format());
    const QImage::Format format = layout.sixteenBits
        ? (layout.alpha ? QImage::Format_RGBA64 : QImage::Format_RGBX64)
        : (layout.alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    if (picture.format() != format)
        picture.convertTo(format);
    if (picture.format() != format
        || !startPicture(pixels, picture.width(), picture.height(), layout))
        return false;
    std::vector<uint16_t> samples(static_cast<size_t>(picture.width()) * 4);
    for (int32_t y = 0; y < pixels.height; ++y) {
        uint16_t* out = samples.data();
        for (int32_t x = 0; x < pixels.width; ++x) {
            QRgba64 colour;
            if (layout.sixteenBits) {
                colour = reinterpret_cast<const QRgba64*>(picture.constScanLine(y))[x];
            } else {
                const QRgb pixel = reinterpret_cast<const QRgb*>(picture.constScanLine(y))[x];
                colour = QRgba64::fromRgba64(qRed(pixel), qGreen(pixel), qBlue(pixel), qAlpha(pixel));
            }
            *out++ = colour.red();
            if (!grey) {
                *out++ = colour.green();
                *out++ = colour.blue();
            }
            if (layout.alpha)
                *out++ = colour.alpha();
        }
        storeSamples(pixels, layout, y, 0, pixels.width, samples.data());
    }
    finishPicture(pixels);
    return true;
}

} // namespace

bool startPicture(PixelBuffers& pixels, int32_t width, int32_t height, const SampleLayout& layout)
{
    pixels = PixelBuffers();
    const bool grey = layout.colours == 1;
    const int32_t bitsPerPixel = layout.sixteenBits ? (grey ? 16 : 48) : (grey ? 8 : 32);
    if (!allocateImage(pixels, width, height, bitsPerPixel))
        return false;
    if (layout.alpha) {
        const int64_t count = int64_t { width } * height;
        pixels.alpha = allocate<uint16_t>(count);
        pixels.straight = allocate<uint16_t>(count * layout.colours);
        if (!pixels.alpha || !pixels.straight) {
            pixels = PixelBuffers();
            return false;
        }
    }
    return true;
}

void storeSamples(PixelBuffers& pixels, const SampleLayout& layout, int32_t y, int32_t x,
    int32_t count, const uint16_t* samples)
{
    const int colours = layout.colours;
    const int step = layout.samplesPerPixel();
    const uint32_t maximum = layout.sixteenBits ? kMax16 : kMax8;
    const int64_t first = int64_t { y } * pixels.width + x;
    uint16_t* high = pixels.highDepth ? pixels.highDepth.get() + first * colours : nullptr;
    const int displayStep = pixels.displayBitsPerPixel() / 8;
    uint8_t* shown = high ? nullptr : pixels.displayRow(y) + int64_t { x } * displayStep;
    uint16_t* straight = layout.alpha ? pixels.straight.get() + first * colours : nullptr;
    for (int32_t i = 0; i < count; ++i, samples += step) {
        const uint32_t a = layout.alpha ? std::min<uint32_t>(samples[colours], maximum) : maximum;
        for (int c = 0; c < colours; ++c) {
            // Given red first; stored blue first.
            const int stored = colours == 3 ? 2 - c : 0;
            uint32_t composite = std::min<uint32_t>(samples[c], maximum);
            if (layout.alpha) {
                uint32_t given = composite;
                if (layout.premultiplied) {
                    composite = std::min(composite, a);
                    given = unpremultiplied(composite, a, maximum);
                } else {
                    composite = premultiplied(given, a, maximum);
                }
                straight[int64_t { i } * colours + stored] = static_cast<uint16_t>(given);
            }
            if (high)
                high[int64_t { i } * colours + stored] = static_cast<uint16_t>(composite);
            else
                shown[int64_t { i } * displayStep + stored] = static_cast<uint8_t>(composite);
        }
        if (layout.alpha)
            pixels.alpha[first + i] = static_cast<uint16_t>(layout.sixteenBits ? a : a * 257);
        if (displayStep == 4)
            shown[int64_t { i } * 4 + 3] = 255;
    }
}

void finishPicture(PixelBuffers& pixels)
{
    if (pixels.isHighDepth())
        showHighDepth(pixels);
}

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

void PictureMemoryDeleter::operator()(void* memory) const noexcept
{
    if (memory == nullptr)
        return;
    uint8_t* start = static_cast<uint8_t*>(memory) - kMappingHeader;
    size_t mapped = 0;
    std::memcpy(&mapped, start, sizeof mapped);
    if (mapped == 0)
        std::free(start);
    else
        ::munmap(start, mapped);
}

int64_t pictureCopies()
{
    return g_pictureCopies.load(std::memory_order_relaxed);
}

bool takePicture(QImage& picture, PixelBuffers& pixels, bool grey)
{
    countPictureCopy();
    const QImage::Format format = picture.format();
    bool taken = false;
    if (format == QImage::Format_Grayscale16)
        taken = takeGrey16(picture, pixels);
    else if (format == QImage::Format_Grayscale8 && !picture.hasAlphaChannel())
        taken = takeOpaqueEightBit(picture, pixels, true);
    else if (!grey && !isSixteenBit(format) && !picture.hasAlphaChannel())
        taken = takeOpaqueEightBit(picture, pixels, false);
    else
        taken = takeSamples(picture, pixels, grey);
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
    countPictureCopy();
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
    countPictureCopy();
    PixelBuffers wide;
    const int colours = pixels.colours();
    if (!allocateImage(wide, pixels.width, pixels.height, colours == 1 ? 16 : 48))
        return false;
    if (pixels.straight) {
        wide.straight = allocate<uint16_t>(int64_t { pixels.width } * pixels.height * colours);
        if (!wide.straight)
            return false;
    }
    const int32_t width = pixels.width;
    const int displayStep = pixels.displayBitsPerPixel() / 8;
    for (int32_t y = 0; y < pixels.height; ++y) {
        const uint8_t* in = pixels.displayRow(y);
        const int64_t first = int64_t { y } * width;
        uint16_t* high = wide.highDepth.get() + first * colours;
        for (int32_t x = 0; x < width; ++x) {
            for (int c = 0; c < colours; ++c) {
                const int64_t at = int64_t { x } * colours + c;
                if (!wide.straight) {
                    high[at] = static_cast<uint16_t>(in[displayStep * x + c] * 257);
                    continue;
                }
                // Composited again at 16 bits, so that an untouched colour
                // is still recognised when the result is written.
                const uint32_t given = pixels.straight[first * colours + at] * 257u;
                wide.straight[first * colours + at] = static_cast<uint16_t>(given);
                high[at] = static_cast<uint16_t>(premultiplied(given, pixels.alpha[first + x], kMax16));
            }
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
    const int colours = pixels.colours();
    const bool withAlpha = channels > colours && pixels.alpha;
    const uint32_t maximum = pixels.isHighDepth() ? kMax16 : kMax8;
    const uint8_t* shown = pixels.displayRow(y);
    const int64_t first = int64_t { y } * width;
    const uint16_t* high = pixels.highDepth ? pixels.highDepth.get() + first * colours : nullptr;
    const uint16_t* alpha = withAlpha ? pixels.alpha.get() + first : nullptr;
    const uint16_t* straight
        = withAlpha && pixels.straight ? pixels.straight.get() + first * colours : nullptr;
    const int displayStep = pixels.displayBitsPerPixel() / 8;
    auto* out8 = static_cast<uint8_t*>(samples);
    auto* out16 = static_cast<uint16_t*>(samples);
    for (int32_t x = 0; x < width; ++x) {
        // The alpha at the image's own depth; an 8-bit one is stored × 257.
        const uint32_t a = !withAlpha ? maximum : high ? alpha[x] : to8(alpha[x]);
        for (int c = 0; c < colours; ++c) {
            // Stored blue first; written red first.
            const int stored = colours == 3 ? 2 - c : 0;
            uint32_t value = high ? high[colours * x + stored] : shown[displayStep * x + stored];
            if (withAlpha) {
                const uint32_t given = straight ? straight[colours * x + stored] : 0;
                value = straight && premultiplied(given, a, maximum) == value
                    ? given
                    : unpremultiplied(value, a, maximum);
            }
            const int64_t at = int64_t { x } * channels + c;
            if (sixteenBits)
                out16[at] = static_cast<uint16_t>(high ? value : value * 257);
            else
                out8[at] = static_cast<uint8_t>(high ? to8(value) : value);
        }
        if (withAlpha) {
            const int64_t at = int64_t { x } * channels + colours;
            if (sixteenBits)
                out16[at] = alpha[x];
            else
                out8[at] = static_cast<uint8_t>(to8(alpha[x]));
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
    countPictureCopy();
    return displayRegion(pixels, QRect(0, 0, pixels.width, pixels.height));
}

} // namespace calmora

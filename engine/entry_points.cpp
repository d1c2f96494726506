// The engine's two entry points: filter an image from its untouched original
// into the working image, and build the noise profile of an 8-bit image.

#include "engine.h"

#include <memory>
#include <vector>

namespace calmora {

namespace {

int64_t bufferBytes(const ImageDesc& desc)
{
    return static_cast<int64_t>(desc.height) * desc.stride;
}

// Rows must hold `bitsPerPixel` pixels of the image's width.
bool describesImage(const ImageDesc& desc, int32_t bitsPerPixel)
{
    return desc.width > 0 && desc.height > 0
        && static_cast<int64_t>(desc.stride) * 8 >= static_cast<int64_t>(desc.width) * bitsPerPixel;
}

// Pixels of a description, or a zero-filled stand-in when it has none.
const uint8_t* pixelsOrZeros(const ImageDesc& desc, std::vector<uint8_t>& standIn)
{
    if (desc.pixels != nullptr)
        return desc.pixels;
    standIn.assign(static_cast<size_t>(bufferBytes(desc)), 0);
    return standIn.data();
}

} // namespace

// The display shows the high byte of every 16-bit sample, truncated, and
// runs bottom-up against the top-down high-depth rows.
void refreshDisplay(const ImageDesc& display, const uint8_t* highDepth, int32_t bitsPerPixel)
{
    const int64_t samplesPerRow = static_cast<int64_t>(display.width) * (bitsPerPixel / 16);
    const int64_t highStride = samplesPerRow * 2;
    for (int32_t i = 0; i < display.height; ++i) {
        const uint8_t* from = highDepth + static_cast<int64_t>(display.height - 1 - i) * highStride;
        uint8_t* to = display.pixels + static_cast<int64_t>(i) * display.stride;
        for (int64_t s = 0; s < samplesPerRow; ++s)
            to[s] = from[2 * s + 1];
    }
}

bool filterImage(const ImageDesc& original, const ImageDesc& display,
    const uint8_t* highDepthOriginal, uint8_t* highDepthResult, int32_t bitsPerPixel,
    TileList& tiles, const NoiseProfile& profile, const FilterParams& settings,
    TileCallback tileCallback, void* user, BufferProvider bufferProvider, int32_t threadCount)
{
    const bool highDepth = isHighDepth(bitsPerPixel);
    const int32_t width = display.width;
    const int32_t height = display.height;
    if (profile.bandCount <= 0)
        return false;
    // Buffers that do not describe the same image would be read or written
    // out of bounds; refuse them rather than guess.
    if (highDepth) {
        if (highDepthOriginal == nullptr || highDepthResult == nullptr
            || !describesImage(display, bitsPerPixel / 2))
            return false;
    } else {
        if (!describesImage(display, bitsPerPixel) || original.width != width
            || original.height != height || original.stride != display.stride)
            return false;
    }

    const int64_t bufferSize = highDepth ? static_cast<int64_t>(width) * height * (bitsPerPixel / 8)
                                         : bufferBytes(display);
    std::vector<uint8_t> displayStandIn;
    std::vector<uint8_t> originalStandIn;
    uint8_t* displayPixels = const_cast<uint8_t*>(pixelsOrZeros(display, displayStandIn));
    uint8_t* output = highDepth ? highDepthResult : displayPixels;
    const uint8_t* input = highDepth ? highDepthOriginal : pixelsOrZeros(original, originalStandIn);

    NoiseProfile profileCopy = profile;
    runTiles(tiles, width, height, output, input, bitsPerPixel, bufferSize, &settings, profileCopy,
        false, user, tileCallback, nullptr, bufferProvider, threadCount);

    if (highDepth && display.pixels != nullptr)
        refreshDisplay(display, highDepthResult, bitsPerPixel);
    return true;
}

bool buildProfile(const ImageDesc& image, TileList& tiles, NoiseProfile& profile,
    TileCallback tileCallback, void* user, BufferProvider bufferProvider, int32_t threadCount)
{
    if (!describesImage(image, image.bitsPerPixel))
        return false;
    std::vector<uint8_t> standIn;
    const uint8_t* measured = pixelsOrZeros(image, standIn);
    resetProfile(profile, true);
    // About 330 kB of lists: on the heap.
    auto histograms = std::make_unique<LevelHistogram[]>(kHistogramLevels);
    const bool completed = runTiles(tiles, image.width, image.height,
        const_cast<uint8_t*>(measured), nullptr, image.bitsPerPixel, bufferBytes(image), nullptr,
        profile, true, user, tileCallback, histograms.get(), bufferProvider, threadCount);
    if (completed)
        estimateProfile(histograms.get(), profile);
    return completed;
}

} // namespace calmora

// The engine's calls: tiles, the tile driver, and the two entry points that
// filter an image and build its noise profile. Plain functions over plain
// records; nothing is kept between calls.
#pragma once

#include "records.h"

#include <cstdint>

namespace calmora {

// Sets 4 bands of 11 points with their indexes; unless keepValues, clears
// every noise value and weight.
void resetProfile(NoiseProfile& profile, bool keepValues);

// Cuts an image into 600-pixel tiles (a remainder of up to 64 pixels is
// absorbed by the last tile). Always at least one tile. Any previous content
// of `tiles` is replaced.
void buildTileList(int32_t width, int32_t height, TileList& tiles);

// True if the list was already empty; the list is empty afterwards.
bool freeTileList(TileList& tiles);

// Bytes from one buffer row to the next for a depth; 24-bit rows are padded
// to 4 bytes, every other depth takes its padding from the buffer size.
int64_t rowStride(int32_t width, int32_t height, int32_t bitsPerPixel, int64_t bufferSize);

// 0 means one thread per core.
constexpr int32_t kAllThreads = 0;

// The instruction sets that the filter's hot loops can run on. Every set
// gives the same output, bit for bit; by default the widest one that both
// this build and the processor have is used.
enum class KernelSet : int32_t {
    kScalar = 0, // the plain C++ loops; every build has them
    kVector = 1, // vector extensions at the compiler's default width
    kSse4 = 2,
    kAvx2 = 3,
    kAvx512 = 4,
};

KernelSet activeKernelSet();
// Makes `set` the active one for every later run; false, changing nothing,
// when this build or processor lacks it. Not to be called during a run.
bool selectKernelSet(KernelSet set);
const char* kernelSetName(KernelSet set);

// Runs every tile of the list through the pyramid. Filter mode reads `input`
// and writes the tiles' centres into `output`; measure mode reads `output`
// and fills `histograms` (16 records) and the profile's weights. Returns true
// if the list is empty or the last slot's tile was processed; false if a
// post-tile callback stopped the run, the pre-tile callback refused the last
// slot, or the arguments are unusable.
//
// With more than one thread, tiles run side by side; callbacks are still made
// one at a time on the calling thread, in slot order, and the output (or the
// histograms and weights) is identical to a one-thread run. A stopped measure
// run also leaves exactly what a one-thread run leaves.
bool runTiles(TileList& tiles, int32_t width, int32_t height, uint8_t* output, const uint8_t* input,
    int32_t bitsPerPixel, int64_t bufferSize, const FilterParams* settings, NoiseProfile& profile,
    bool measure, void* user, TileCallback tileCallback, LevelHistogram* histograms,
    BufferProvider bufferProvider, int32_t threadCount = kAllThreads);

// Filters `original` (or the high-depth original) into `display` (or the
// high-depth result); for 48 and 16 bits per pixel then refreshes the whole
// display from the high-depth result. High-depth rows run top-down against
// the display's bottom-up rows. Returns false when the profile has no bands
// or the buffers do not describe a usable image; true otherwise, whether or
// not the callback let every tile through.
bool filterImage(const ImageDesc& original, const ImageDesc& display,
    const uint8_t* highDepthOriginal, uint8_t* highDepthResult, int32_t bitsPerPixel,
    TileList& tiles, const NoiseProfile& profile, const FilterParams& settings,
    TileCallback tileCallback, void* user, BufferProvider bufferProvider = nullptr,
    int32_t threadCount = kAllThreads);

// Rebuilds the whole display (24 bits per pixel for 48, 8 for 16; rows
// bottom-up) from the high-depth samples (rows top-down): the high byte of
// every sample, truncated, without rounding or dithering.
void refreshDisplay(const ImageDesc& display, const uint8_t* highDepth, int32_t bitsPerPixel);

// Measures the noise of an 8-bit image and estimates the profile from it.
// The caller resets the profile (clearing its values) beforehand. Returns
// false, leaving the profile as reset, when the pass did not complete. The
// profile does not depend on the thread count.
bool buildProfile(const ImageDesc& image, TileList& tiles, NoiseProfile& profile,
    TileCallback tileCallback, void* user, BufferProvider bufferProvider = nullptr,
    int32_t threadCount = kAllThreads);

// Turns the measurement histograms (16 records) into the profile's noise
// values and final weights.
void estimateProfile(LevelHistogram* histograms, NoiseProfile& profile);

// Two passes of a three-point moving average along the brightness axis of
// every band and channel, capped at the white luminance.
void smoothProfile(NoiseProfile& profile);

} // namespace calmora

// Plain records shared by the engine and its callers: tiles, filter
// parameters, noise profiles, the per-run level parameter block and the
// measurement histograms. Records without pointers are copied by value and
// their layouts are fixed (sizes are asserted below).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace calmora {

// Right and bottom are exclusive.
struct Rect {
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;

    int32_t width() const { return right - left; }
    int32_t height() const { return bottom - top; }
    bool isEmpty() const { return right <= left || bottom <= top; }
    bool intersects(const Rect& other) const
    {
        return left < other.right && other.left < right && top < other.bottom && other.top < bottom;
    }
};

struct Tile {
    Rect dest; // the tile proper
    Rect source; // dest grown by the margin on every side, clamped to the image
    int32_t levelArgA = 0;
    int32_t levelArgB = 0;
    uint8_t filtered = 0;
    uint8_t measured = 0;
    int32_t elapsedMs = 0;
    uint8_t onBorder = 0;
};

// Tiles are stored in reverse raster order: slot 0 holds the last tile of the
// last row, so a run visits the image from its last row of tiles upwards.
struct TileList {
    std::vector<Tile> tiles;

    int32_t count() const { return static_cast<int32_t>(tiles.size()); }
};

struct TileCallbackInfo {
    int32_t filtering = 0; // 1 when the run filters, 0 when it measures
    int32_t tileIndex = 0;
    uint8_t processed = 0; // 0 before the tile, 1 after it
    TileList* tiles = nullptr;
    void* user = nullptr;
};

// Zero refuses the tile (before it) or stops the run (after it).
using TileCallback = int (*)(TileCallbackInfo& info);

// Before a tile: returns a working buffer holding the tile's source rectangle,
// or null to skip the tile. After the tile: takes the result back.
using BufferProvider = uint8_t* (*)(TileCallbackInfo& info);

enum Channel : int { kY = 0, kCr = 1, kCb = 2 };
constexpr int kChannels = 3;

// Band 0 is the finest; band 4 is never written.
struct FilterParams {
    int32_t bandCount = 4;
    int16_t levelFactor[5][kChannels] = {}; // 0 keeps the measured level
    int16_t suppressionFactor[5][kChannels] = {}; // 1/128 units, 128 = 100 %
    int32_t sharpenAmount = 0; // 0..10, 0 = no sharpening
    int32_t classSelector = 0; // 0 automatic, 1..3 force class 0..2
};
static_assert(sizeof(FilterParams) == 72, "FilterParams is a fixed 72-byte record");

constexpr int kMaxPoints = 16;
constexpr int kProfileBands = 5;
constexpr int kBandCount = 4;
constexpr int kPointCount = 11;

struct NoiseBand {
    int32_t pointCount = 0;
    int32_t bandIndex = 0;
    int16_t noise[kMaxPoints][kChannels] = {}; // point-major: Y, Cr, Cb of point 0, ...
    int16_t weight[kMaxPoints][kChannels] = {}; // evidence per point, 0 = none
};
static_assert(sizeof(NoiseBand) == 200, "NoiseBand is a fixed 200-byte record");

struct NoiseProfile {
    int32_t bandCount = 0;
    NoiseBand bands[kProfileBands];
};
static_assert(sizeof(NoiseProfile) == 1004, "NoiseProfile is a fixed 1004-byte record");

constexpr int kMaxLevels = 10;
constexpr int kNoiseBins = 100;

// Built by the tile driver for one run and read by every level of every tile.
struct LevelParams {
    int32_t lastLevel = 0;
    const int16_t (*suppression)[kChannels] = nullptr; // triple per level
    NoiseBand* profileBands = nullptr;
    // Entries that are never written read 0.
    int32_t scaledNoise[kMaxLevels][kChannels][kNoiseBins] = {};
    int32_t settingsWord = 0;
    int32_t levelClass[kMaxLevels] = {};
    int32_t reserved = 0;
    const TileList* runTiles = nullptr;
};

// 48 bits per pixel (blue, green, red) and 16 (grey) are the depths of 16
// bits per channel; their buffers are filtered in the 16-bit path.
constexpr bool isHighDepth(int32_t bitsPerPixel)
{
    return bitsPerPixel == 48 || bitsPerPixel == 16;
}

// An image as callers hand it over. `stride` is the distance between rows
// in bytes; `pixels` may be null.
struct ImageDesc {
    int32_t type = 0;
    int32_t width = 0;
    int32_t height = 0;
    int32_t stride = 0;
    uint16_t planes = 1;
    uint16_t bitsPerPixel = 0;
    uint8_t* pixels = nullptr;
};

// A list that grows four entries at a time; the measurement appends noise
// samples to it and the estimation takes medians from it.
struct IntList {
    int32_t growStep = 4;
    int32_t capacity = 0;
    int32_t count = 0;
    std::vector<int32_t> items;

    void append(int32_t value)
    {
        if (count == capacity) {
            capacity += growStep;
            items.resize(static_cast<size_t>(capacity));
        }
        items[static_cast<size_t>(count)] = value;
        ++count;
    }
};

constexpr int kHistogramLists = 1024; // list 4 * point + channel
constexpr int kHistogramLevels = 16;

struct LevelHistogram {
    IntList bins[kHistogramLists];
    int32_t counts[kHistogramLists] = {};
    bool allowExtended = false;
};

} // namespace calmora

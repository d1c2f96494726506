// One level of a tile's pyramid and the operations on it. Level 0 is the tile
// at its own resolution; each deeper level has half the width and height
// (rounded up). Two sample paths share the code: 16-bit planes for 8-bit
// pixels and 32-bit planes for 16-bit pixels (see PathTraits).
#pragma once

#include "fixed_point.h"
#include "records.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace calmora {

// The class of a sample in a level's edge maps, per channel. Detection marks
// candidates with the ring values, and confirmation turns a candidate into
// its edge class by taking 2 off; a candidate left unconfirmed near the
// border keeps its ring value. Kept a plain byte so a map stays one byte a
// sample and the passes can scan it with memchr.
enum EdgeClass : uint8_t {
    kNoEdge = 0,
    kStrongEdge = 1,
    kWeakEdge = 2, // also the first ring around a strong edge
    kSecondRing = 3,
    kThirdRing = 4, // colour maps only
};
inline constexpr EdgeClass kStrongCandidate = kSecondRing;
inline constexpr EdgeClass kWeakCandidate = kThirdRing;
inline constexpr uint8_t kCandidateToClass = kSecondRing - kStrongEdge;

template <typename Sample>
struct PyramidLevel {
    int32_t bytesPerPixel = 0; // 4, 3 or 1 (8-bit path); 6 or 2 (16-bit path)
    uint8_t* pixels = nullptr; // top level only: packed rows of `width` pixels
    // Top level only: a pixel is written back only where the entry at its
    // first byte (8-bit path) or first sample (16-bit path) is non-zero.
    const uint8_t* writeMask = nullptr;
    const LevelParams* params = nullptr;
    PyramidLevel* parent = nullptr;
    PyramidLevel* child = nullptr;

    std::vector<Sample> yIn, crIn, cbIn;
    std::vector<Sample> yOut, crOut, cbOut;
    // Byte maps, filter mode only.
    std::vector<uint8_t> direction, smoothedDirection;
    std::vector<uint8_t> yClass, crClass, cbClass; // EdgeClass values

    int32_t width = 0;
    int32_t height = 0;
    int32_t level = 0;
    int32_t sharpenAmount = 0;
    int32_t levelClass = 0;
    bool grey = false;

    // Top level only, when the tile is read from and written to the images
    // themselves rather than a working buffer (`pixels` is then null): the
    // tile's first pixel in the input image, the distance between rows of
    // both images in bytes, and where the rectangle `outputArea` of the tile
    // goes in the output image. The output conversion writes nothing else;
    // a fourth byte of a pixel comes from the input image.
    const uint8_t* imageInput = nullptr;
    uint8_t* imageOutput = nullptr;
    int64_t imageStride = 0;
    Rect outputArea;

    // Stored by the tile driver in the top context; no operation reads them.
    Rect source;
    int32_t skip = 0;
    int32_t levelArgB = 0;

    // Rows that the operations between this level and its parent need for a
    // moment (column sums, interpolated child rows); kept with the level so
    // that a reused level allocates them once.
    std::vector<int32_t> scratch;

    size_t index(int32_t x, int32_t y) const
    {
        return static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x);
    }
    bool contains(int32_t x, int32_t y) const
    {
        return x >= 0 && y >= 0 && x < width && y < height;
    }
    size_t sampleCount() const { return static_cast<size_t>(width) * static_cast<size_t>(height); }

    // Every number and pointer as in a fresh context; the planes, maps and
    // scratch keep their memory (and their stale contents) for reuse.
    void reset();
};

// The contexts of one tile's pyramid, level 0 first. A thread keeps one
// stack from tile to tile, so that planes and maps are allocated when the
// first tile of a run needs them and merely resized for the next ones.
template <typename Sample>
struct LevelStack {
    PyramidLevel<Sample> levels[kProfileBands];
};

// Noise threshold of a level, channel and brightness bin in plane units.
// Bins outside the table read 0, like every entry that was never written.
inline int32_t noiseThreshold(const LevelParams& params, int level, int channel, int32_t bin)
{
    if (bin < 0 || bin >= kNoiseBins || level < 0 || level >= kMaxLevels)
        return 0;
    return params.scaledNoise[level][channel][bin];
}

// The first x in [x, end) whose byte in `row` is not zero, or `end` (or
// beyond). Most of a class map is zero, so the passes over the maps skip it
// eight bytes at a time.
inline int32_t nextMarked(const uint8_t* row, int32_t x, int32_t end)
{
    while (x + 8 <= end) {
        uint64_t word;
        std::memcpy(&word, row + x, sizeof word);
        if (word != 0)
            break;
        x += 8;
    }
    while (x < end && row[x] == 0)
        ++x;
    return x;
}

// The same for every second byte: the first of x, x + 2, x + 4, ... below
// `end` whose byte is not zero, or the first at or beyond `end`.
inline int32_t nextMarkedEveryOther(const uint8_t* row, int32_t x, int32_t end)
{
    static constexpr uint8_t kEveryOther[8] = { 0xFF, 0, 0xFF, 0, 0xFF, 0, 0xFF, 0 };
    uint64_t mask;
    std::memcpy(&mask, kEveryOther, sizeof mask);
    while (x + 8 <= end) {
        uint64_t word;
        std::memcpy(&word, row + x, sizeof word);
        if ((word & mask) != 0)
            break;
        x += 8;
    }
    while (x < end && row[x] == 0)
        x += 2;
    return x;
}

template <typename Sample>
constexpr int32_t brightnessBin(int32_t luma)
{
    return asr(luma, PathTraits<Sample>::kBinShift);
}

struct TileMeasurement;

// Runs one level and, recursively, every coarser one, taking the child
// contexts from `deeper` (deeper[0] is the child, deeper[1] its child...;
// room for lastLevel - levelNumber contexts). In filter mode the result is
// the filtered tile in `pixels`; in measure mode every level's blocks are
// evaluated into `measurement` and `pixels` is not written. The planes and
// maps stay allocated for the next tile.
template <typename Sample>
void processLevel(PyramidLevel<Sample>& level, const LevelParams& params, int32_t levelNumber,
    bool measure, TileMeasurement* measurement, PyramidLevel<Sample>* deeper);

// Colour conversion of the top level. The output planes start as copies of
// the input planes; measuring never reads them, so it may leave them out.
template <typename Sample>
void convertInput(PyramidLevel<Sample>& top, bool withOutput = true);
template <typename Sample>
void convertOutput(PyramidLevel<Sample>& top);

// Builds the child from the parent's input planes (3x3 box average at every
// second sample) and brings the filtered child back into its parent. As for
// the input conversion, `withOutput` false leaves the output planes empty.
template <typename Sample>
void makeChild(PyramidLevel<Sample>& parent, PyramidLevel<Sample>& child, bool withOutput = true);
template <typename Sample>
void mergeChild(PyramidLevel<Sample>& child);

// Allocates the five byte maps and fills the three class maps.
template <typename Sample>
void classifyEdges(PyramidLevel<Sample>& level);

template <typename Sample>
void smoothLuminance(PyramidLevel<Sample>& level, bool hasChild);
template <typename Sample>
void smoothColour(PyramidLevel<Sample>& level, bool hasChild);
template <typename Sample>
void sharpen(PyramidLevel<Sample>& level);

// A block of the noise measurement: its brightness bin and the statistics
// of its sample points, then the value and weight a pass accepts for it.
struct NoiseBlock {
    int32_t bin = -1;
    bool measurable = false; // not skipped and at least one sample point recorded
    int32_t flatY = 0;
    int32_t dev[kChannels] = {};
    int32_t median[kChannels] = {};
    int32_t value[kChannels] = {};
    int32_t weight[kChannels] = {};
};

// The blocks of one level, evaluated but not yet filed.
struct LevelBlocks {
    int32_t level = -1; // -1: the level could not be measured, nothing to file
    bool grey = false;
    std::vector<NoiseBlock> blocks;
    // Rows of sums and point statistics while the level is evaluated; kept
    // with the record so that a reused record allocates them once.
    std::vector<int32_t> scratch;
};

// One tile's measurement, level by level, and the band weights it started
// from: the tile reads them, never the profile, so it can run beside others.
struct TileMeasurement {
    int16_t evidence[kProfileBands][kMaxPoints][kChannels] = {};
    int32_t levelCount = 0;
    LevelBlocks levels[kProfileBands];
};

// Noise measurement of one level of an 8-bit tile into its histogram record,
// raising the sample weights of the level's band entry: evaluateLevel then
// fileLevel.
void measureLevel(PyramidLevel<int16_t>& level, NoiseBand& band, LevelHistogram& histogram);

// The part of the measurement that reads the level's planes. Blocks at
// points whose `evidence` (the band's weights) is already enough in every
// channel are left unevaluated.
void evaluateLevel(
    const PyramidLevel<int16_t>& level, const int16_t (*evidence)[kChannels], LevelBlocks& result);

// The part that depends on earlier tiles: leaves out blocks whose point has
// gained enough evidence since they were evaluated, runs the passes, appends
// to the histogram lists and raises the band's weights.
void fileLevel(LevelBlocks& measured, NoiseBand& band, LevelHistogram& histogram);

// Files every level of a tile (bands and histograms indexed by level).
void fileTile(TileMeasurement& measurement, NoiseBand* bands, LevelHistogram* histograms);

} // namespace calmora

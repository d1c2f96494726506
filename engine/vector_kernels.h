// The filter's hot loops on SIMD lanes. vector_kernels.cpp is built once
// per instruction set, and each build fills one table of these kernels; the
// operations ask for the active table and fall back to their scalar loops
// when there is none.
//
// A kernel handles a leading part of its range, a whole number of vectors,
// and returns where it stopped; the caller's scalar loop does the rest. So
// short rows, tails and the scalar path share one definition of the result.
#pragma once

#include "engine/engine.h"

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace calmora {

// One row of merge child: the child's six planes widened to the parent's
// width (yOut, crOut, cbOut, yIn, crIn, cbIn), from one child row or, where
// `lower` is not null, averaged from two, and the parent's row.
// `thresholds` are the child level's Cr and Cb noise thresholds by
// brightness bin, read when `limitColour`.
template <typename Sample>
struct MergeRow {
    const int32_t* const* upper;
    const int32_t* const* lower;
    Sample* out[3];
    const Sample* in[3];
    const uint8_t* classes[3];
    int32_t strength[3];
    const int32_t* thresholds[2];
    bool fineChild;
    bool limitColour;
    int32_t width;
};

// Thresholds and brightness shared by the kernels that look noise
// thresholds up per sample: `brightness` is the row whose samples choose the
// bin (the child's input row y >> 1, read at x >> 1, when `childBrightness`;
// else the level's own row y), and `byBin` a level's thresholds of one
// channel by bin (kNoiseBins entries).
template <typename Sample>
struct BrightnessRow {
    const Sample* samples;
    bool child;
};

// One row of the direction search of smooth luminance: for positions
// [first, end) of row y, at least 2 from every border, whose class is not
// 0 and whose direction is still 0, the direction index that the search
// would choose goes to `chosen`.
template <typename Sample>
struct SearchRow {
    const Sample* plane; // yOut, the whole plane
    const uint8_t* classes; // yClass, row y
    const uint8_t* directions; // direction, row y
    uint8_t* chosen; // row y
    int32_t width;
    int32_t y;
    int32_t first;
    int32_t end;
    int32_t candidates;
};

// One row of the vote of smooth luminance: positions [first, end) of row y,
// whose windows of `radius` lie inside the map.
struct VoteRow {
    const uint8_t* direction; // the whole map
    const uint8_t* yClass; // row y
    uint8_t* smoothed; // row y
    int32_t width;
    int32_t y;
    int32_t radius;
    int32_t first;
    int32_t end;
};

// One row of the averaging walks of smooth luminance, positions [first,
// end) of row y; every walk from them stays inside the plane.
template <typename Sample>
struct WalkRow {
    const Sample* plane; // yIn, the whole plane
    Sample* out; // yOut, row y
    const uint8_t* classes; // yClass, row y
    const uint8_t* directions; // smoothedDirection, row y
    BrightnessRow<Sample> brightness;
    const int32_t* byBin;
    int32_t width;
    int32_t y;
    int32_t first;
    int32_t end;
    int32_t maxDistance;
    bool allDirections;
    int32_t softShift;
    bool coarsest;
    int32_t strength;
};

// One row of smooth colour, positions [first, end) of row y; every walk
// stays inside the planes.
template <typename Sample>
struct ColourRow {
    const Sample* planes[2]; // crIn, cbIn, whole planes
    Sample* out[2]; // crOut, cbOut, row y
    const uint8_t* classes[2]; // crClass, cbClass, row y
    BrightnessRow<Sample> brightness;
    const int32_t* byBin[2];
    int32_t width;
    int32_t y;
    int32_t first;
    int32_t end;
    int32_t maxDistance;
    bool hasChild;
    bool coarsest;
    int32_t strength[2];
};

// One row of the noise measurement's sample points: for every position x
// in [first, end) of row y, whose neighbours at `radius` all lie inside the
// planes, the mean luminance of its eight neighbours and, per channel, the
// largest absolute difference to them and the mean absolute deviation of
// those differences (evaluateBlock of measure_noise.cpp), at index x.
struct PointRow {
    const int16_t* planes[3]; // yIn, crIn, cbIn, whole planes
    int32_t width;
    int32_t y;
    int32_t radius;
    int32_t first;
    int32_t end;
    int32_t* brightness;
    int32_t* largest[3];
    int32_t* deviation[3];
};

// One row of a ring around the edges of a class map: positions [first,
// end) of row y, 1 <= first and end <= width - 1. A position holding 0 takes
// `to` where one of its eight neighbours holds `from` and lies at least 1
// from every border. Positions change only from 0 to `to`, never to `from`,
// so rows may be done in place in any order.
struct RingRow {
    uint8_t* map; // the whole map
    int32_t width;
    int32_t height;
    int32_t y;
    int32_t first;
    int32_t end;
    uint8_t from;
    uint8_t to;
};

// One row of edge detection: the centres first, first + 2, ... of row y
// whose eight neighbours lie inside the planes. For each centre one
// decision word (see classify_edges.cpp) goes to `decisions`.
template <typename Sample>
struct DetectRow {
    const Sample* planes[3]; // yOut, crOut, cbOut, whole planes
    BrightnessRow<Sample> brightness;
    const int32_t* byBin[3];
    int32_t width;
    int32_t y;
    int32_t first;
    int32_t end; // no centre at or beyond
    bool colour;
    bool colourDiagonals;
    uint32_t* decisions;
};

struct VectorKernels {
    KernelSet set;
    int32_t lanes; // positions a kernel takes at once (32-bit lanes)

    // Output conversion of colour pixels: 4 bytes a pixel (blue, green, red,
    // and the fourth byte of the pixel at `kept`, which may be the pixel
    // itself) from 16-bit planes; 3 samples of 16 bits from 32-bit planes.
    // Return the pixels converted.
    size_t (*outputBgrx8)(const int16_t* y, const int16_t* cr, const int16_t* cb,
        const uint8_t* kept, uint8_t* pixels, size_t count);
    size_t (*outputBgr16)(
        const int32_t* y, const int32_t* cr, const int32_t* cb, uint8_t* pixels, size_t count);

    // Input conversion of `count` pixels of `bytesPerPixel` bytes into the
    // input planes (planes[0..2]) and, unless planes[3] is null, the output
    // planes (planes[3..5]). Return the pixels converted.
    size_t (*inputPixels8)(
        const uint8_t* pixels, int32_t bytesPerPixel, size_t count, int16_t* const planes[6]);
    size_t (*inputPixels16)(
        const uint8_t* pixels, int32_t bytesPerPixel, size_t count, int32_t* const planes[6]);

    // Make child: child samples [first, end) of a row whose 3x3 windows lie
    // wholly inside the parent, from the parent's three rows of the window.
    // Return where they stopped.
    int32_t (*averageRow8)(const int16_t* const rows[3], int16_t* out, int32_t first, int32_t end);
    int32_t (*averageRow16)(const int32_t* const rows[3], int32_t* out, int32_t first, int32_t end);

    // Merge child: a child row widened to the parent's width, for the child
    // samples cx < pairs that have a right neighbour: out[2cx] = row[cx],
    // out[2cx + 1] = the floor of their mean. Return where they stopped.
    int32_t (*widenRow8)(const int16_t* row, int32_t pairs, int32_t* out);
    int32_t (*widenRow16)(const int32_t* row, int32_t pairs, int32_t* out);

    // Merge child, one parent row from its start; return the samples merged.
    int32_t (*mergeRow8)(const MergeRow<int16_t>& row);
    int32_t (*mergeRow16)(const MergeRow<int32_t>& row);

    // The row kernels above return the position where they stopped; the
    // detection returns the first centre it left.
    int32_t (*searchRow8)(const SearchRow<int16_t>& row);
    int32_t (*searchRow16)(const SearchRow<int32_t>& row);
    int32_t (*voteRow)(const VoteRow& row);
    int32_t (*walkRow8)(const WalkRow<int16_t>& row);
    int32_t (*walkRow16)(const WalkRow<int32_t>& row);
    int32_t (*colourRow8)(const ColourRow<int16_t>& row);
    int32_t (*colourRow16)(const ColourRow<int32_t>& row);
    int32_t (*ringRow)(const RingRow& row);
    int32_t (*pointRow)(const PointRow& row);
    int32_t (*detectRow8)(const DetectRow<int16_t>& row);
    int32_t (*detectRow16)(const DetectRow<int32_t>& row);
};

// Of a kernel's two forms, the one for planes of `Sample`: the first for
// the 16-bit planes of the 8-bit path, the second for the 32-bit planes.
template <typename Sample, typename EightBit, typename SixteenBit>
auto forSample(EightBit eightBit, SixteenBit sixteenBit)
{
    if constexpr (std::is_same_v<Sample, int16_t>)
        return eightBit;
    else
        return sixteenBit;
}

// The active set's kernels; null while the scalar loops are active.
const VectorKernels* vectorKernels();

} // namespace calmora

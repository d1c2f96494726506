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

namespace calmora {

// One row of merge child: the child's six planes interpolated at the
// parent's positions (yOut, crOut, cbOut, yIn, crIn, cbIn) and the parent's
// row. `thresholds` are the child level's Cr and Cb noise thresholds by
// brightness bin, read when `limitColour`.
template <typename Sample>
struct MergeRow {
    const int32_t* const* child;
    Sample* out[3];
    const Sample* in[3];
    const uint8_t* classes[3];
    int32_t strength[3];
    const int32_t* thresholds[2];
    bool fineChild;
    bool limitColour;
    int32_t width;
};

struct VectorKernels {
    KernelSet set;

    // Output conversion of colour pixels: 4 bytes a pixel (blue, green, red,
    // and a fourth byte left as it is) from 16-bit planes; 3 samples of 16
    // bits from 32-bit planes. Return the pixels converted.
    size_t (*outputBgrx8)(
        const int16_t* y, const int16_t* cr, const int16_t* cb, uint8_t* pixels, size_t count);
    size_t (*outputBgr16)(
        const int32_t* y, const int32_t* cr, const int32_t* cb, uint8_t* pixels, size_t count);

    // Make child: child samples [first, end) of a row whose 3x3 windows lie
    // wholly inside the parent, from the parent's column sums over three
    // rows. Return where they stopped.
    int32_t (*averageRow8)(const int32_t* columnSums, int16_t* out, int32_t first, int32_t end);
    int32_t (*averageRow16)(const int32_t* columnSums, int32_t* out, int32_t first, int32_t end);

    // Merge child, one parent row from its start; return the samples merged.
    int32_t (*mergeRow8)(const MergeRow<int16_t>& row);
    int32_t (*mergeRow16)(const MergeRow<int32_t>& row);
};

// The active set's kernels; null while the scalar loops are active.
const VectorKernels* vectorKernels();

} // namespace calmora

// The vector kernels of one instruction set. CMake builds this file once per
// set, with that set's compiler flags, CALMORA_KERNEL_SET naming the set and
// CALMORA_KERNEL_TABLE the table it fills (vector_kernels.h). Each kernel
// computes what the scalar loop it stands for computes, lane by lane, with
// the same fixed-point helpers; where the scalar code branches, the lanes
// compute every branch and select.

#include "engine/simd.h"
#include "engine/vector_kernels.h"

#include <utility>

namespace calmora {
namespace {

using lanes::absWrap;
using lanes::addWrap;
using lanes::asr;
using lanes::blend;
using lanes::clampInt;
using lanes::mulWrap;
using lanes::subWrap;

// Deinterleaving two vectors: the lanes at even or odd positions of a ++ b.
template <int... lane>
[[gnu::always_inline]] inline I32 evenLanes(I32 a, I32 b, std::integer_sequence<int, lane...>)
{
    return __builtin_shufflevector(a, b, (2 * lane)...);
}

template <int... lane>
[[gnu::always_inline]] inline I32 oddLanes(I32 a, I32 b, std::integer_sequence<int, lane...>)
{
    return __builtin_shufflevector(a, b, (2 * lane + 1)...);
}

constexpr auto kLaneSequence = std::make_integer_sequence<int, kLanes> {};

// ---------------------------------------------------------------------------
// Output conversion (colour.cpp)

// toPixel8: (x + 49000) / 100000 for x >= 0, clamped to 0..255. Every x
// above 25,600,000 gives 255 and every x below 0 gives 0, so x is clamped
// first; the quotient, at most 256, is estimated in single precision, which
// is off by at most one, and corrected exactly.
[[gnu::always_inline]] inline I32 toPixel8Lanes(I32 x)
{
    constexpr int32_t kDivisor = 100000;
    const I32 u = clampInt(x, splat(0), splat(25600000)) + 49000;
    I32 q = __builtin_convertvector(
        __builtin_convertvector(u, F32) * (1.0f / static_cast<float>(kDivisor)), I32);
    q -= (q + 1) * kDivisor <= u; // a true comparison is -1
    q += q * kDivisor > u;
    return minLanes(q, splat(255));
}

// toPixel16: (x / 100000) * 128 in double precision, truncated, clamped.
[[gnu::always_inline]] inline I32 toPixel16Lanes(I32 x)
{
    F64 value = __builtin_convertvector(x, F64) / 100000.0 * 128.0;
    value = value > 0.0 ? value : 0.0;
    value = value >= 65535.0 ? 65535.0 : value;
    return __builtin_convertvector(value, I32);
}

struct Rgb {
    I32 r, g, b;
};

// The reconstruction sums of convertOutput, before rounding.
[[gnu::always_inline]] inline Rgb reconstruct(I32 y, I32 cr, I32 cb)
{
    const I32 luma = mulWrap(splat(1164), y);
    return { addWrap(luma, mulWrap(splat(1596), cr)),
        subWrap(subWrap(luma, mulWrap(splat(813), cr)), mulWrap(splat(392), cb)),
        addWrap(luma, mulWrap(splat(2017), cb)) };
}

size_t outputBgrx8(
    const int16_t* y, const int16_t* cr, const int16_t* cb, uint8_t* pixels, size_t count)
{
    size_t i = 0;
    for (; i + kLanes <= count; i += kLanes) {
        const Rgb x = reconstruct(loadSamples(y + i), loadSamples(cr + i), loadSamples(cb + i));
        const U32 bgr = U32(toPixel8Lanes(x.b)) | (U32(toPixel8Lanes(x.g)) << 8)
            | (U32(toPixel8Lanes(x.r)) << 16);
        // The fourth byte is neither read nor written by the conversion.
        const U32 kept = loadAs<U32>(pixels + 4 * i) & 0xFF000000u;
        storeTo(pixels + 4 * i, kept | bgr);
    }
    return i;
}

size_t outputBgr16(
    const int32_t* y, const int32_t* cr, const int32_t* cb, uint8_t* pixels, size_t count)
{
    size_t i = 0;
    for (; i + kLanes <= count; i += kLanes) {
        const Rgb x = reconstruct(loadSamples(y + i), loadSamples(cr + i), loadSamples(cb + i));
        const I32 bgr[3] = { toPixel16Lanes(x.b), toPixel16Lanes(x.g), toPixel16Lanes(x.r) };
        uint8_t* pixel = pixels + 6 * i;
        for (int lane = 0; lane < kLanes; ++lane, pixel += 6) {
            for (int c = 0; c < 3; ++c) {
                pixel[2 * c] = static_cast<uint8_t>(bgr[c][lane] & 0xFF);
                pixel[2 * c + 1] = static_cast<uint8_t>(bgr[c][lane] >> 8);
            }
        }
    }
    return i;
}

// ---------------------------------------------------------------------------
// Make child (resample.cpp)

// windowMean for nine samples: the 8-bit path rounds to nearest with an
// exact half rounded down, the 16-bit path truncates.
[[gnu::always_inline]] inline I32 meanOfNine(I32 sum, int16_t)
{
    const I32 scaled = mulWrap(sum, splat(kStrengthOne)) / 9;
    return asr(scaled, kStrengthShift) - ((scaled & (kStrengthOne - 1)) > 64);
}

[[gnu::always_inline]] inline I32 meanOfNine(I32 sum, int32_t)
{
    return sum / 9;
}

// Child sample cx sums the column sums 2cx - 1, 2cx and 2cx + 1: the even
// and odd lanes of the column sums from 2cx - 1 on, and the odd lanes from
// 2cx on, so that no read goes past the last lane's window.
template <typename Sample>
int32_t averageRow(const int32_t* columnSums, Sample* out, int32_t first, int32_t end)
{
    int32_t cx = first;
    for (; cx + kLanes <= end; cx += kLanes) {
        const int32_t* sums = columnSums + 2 * cx - 1;
        const I32 a = loadAs<I32>(sums);
        const I32 b = loadAs<I32>(sums + kLanes);
        const I32 c = loadAs<I32>(sums + 1);
        const I32 d = loadAs<I32>(sums + 1 + kLanes);
        const I32 left = evenLanes(a, b, kLaneSequence);
        const I32 centre = oddLanes(a, b, kLaneSequence);
        const I32 right = oddLanes(c, d, kLaneSequence);
        storeSamples(out + cx, meanOfNine(addWrap(addWrap(left, centre), right), Sample {}));
    }
    return cx;
}

// ---------------------------------------------------------------------------
// Merge child (resample.cpp)

[[gnu::always_inline]] inline I32 scaleLumaPull(I32 d, I32 edgeClass, bool fineChild)
{
    const I32 weak = fineChild ? asr(d, 1) : asr(d, 2);
    const I32 ring = fineChild ? subWrap(d, asr(d, 2)) : asr(d, 1);
    return select(edgeClass == 1, asr(d, 3),
        select(edgeClass == 2, weak, select(edgeClass == 3, ring, d)));
}

[[gnu::always_inline]] inline I32 scaleColourPull(I32 d, I32 edgeClass, bool fineChild)
{
    const I32 weak = fineChild ? asr(d, 2) : asr(d, 3);
    const I32 ring = fineChild ? asr(d, 1) : asr(d, 2);
    const I32 third = fineChild ? subWrap(d, asr(d, 2)) : asr(d, 1);
    return select(edgeClass == 1, I32 {},
        select(edgeClass == 2, weak,
            select(edgeClass == 3, ring, select(edgeClass == 4, third, d))));
}

[[gnu::always_inline]] inline I32 limitPull(I32 pull, I32 threshold)
{
    pull = minLanes(pull, threshold);
    return maxLanes(pull, subWrap(I32 {}, threshold));
}

[[gnu::always_inline]] inline I32 blendMerge(I32 out, I32 in, I32 pull, I32 noise, I32 keep)
{
    const I32 pulled = addWrap(out, pull);
    const I32 own = subWrap(in, noise);
    return addWrap(pulled, blend(subWrap(own, pulled), keep));
}

// noiseThreshold of pyramid.h for each lane's bin.
[[gnu::always_inline]] inline I32 thresholdsOf(I32 bins, const int32_t* byBin)
{
    I32 thresholds;
    for (int lane = 0; lane < kLanes; ++lane) {
        const int32_t bin = bins[lane];
        thresholds[lane] = bin >= 0 && bin < kNoiseBins ? byBin[bin] : 0;
    }
    return thresholds;
}

template <typename Sample>
int32_t mergeRow(const MergeRow<Sample>& row)
{
    const I32 keep[3] = { splat(kStrengthOne - row.strength[0]),
        splat(kStrengthOne - row.strength[1]), splat(kStrengthOne - row.strength[2]) };
    int32_t px = 0;
    for (; px + kLanes <= row.width; px += kLanes) {
        I32 filtered[3], noise[3], out[3], edgeClass[3];
        for (int c = 0; c < 3; ++c) {
            filtered[c] = loadAs<I32>(row.child[c] + px);
            noise[c] = subWrap(loadAs<I32>(row.child[3 + c] + px), filtered[c]);
            out[c] = loadSamples(row.out[c] + px);
            edgeClass[c] = loadBytes(row.classes[c] + px);
        }
        edgeClass[0] &= 7;
        if (!row.fineChild) {
            const I32 onEdge = edgeClass[0] != 0;
            edgeClass[1] = select(onEdge, minLanes(edgeClass[1], edgeClass[0]), edgeClass[1]);
            edgeClass[2] = select(onEdge, minLanes(edgeClass[2], edgeClass[0]), edgeClass[2]);
        }
        I32 pull[3];
        pull[0] = scaleLumaPull(subWrap(filtered[0], out[0]), edgeClass[0], row.fineChild);
        for (int c = 1; c < 3; ++c)
            pull[c] = scaleColourPull(subWrap(filtered[c], out[c]), edgeClass[c], row.fineChild);
        if (row.limitColour) {
            // The bin is the parent's current luminance, before its blend.
            const I32 bins = asr(out[0], PathTraits<Sample>::kBinShift);
            for (int c = 1; c < 3; ++c)
                pull[c] = limitPull(pull[c], thresholdsOf(bins, row.thresholds[c - 1]));
        }
        for (int c = 0; c < 3; ++c) {
            const I32 in = loadSamples(row.in[c] + px);
            storeSamples(row.out[c] + px, blendMerge(out[c], in, pull[c], noise[c], keep[c]));
        }
    }
    return px;
}

} // namespace

extern const VectorKernels CALMORA_KERNEL_TABLE;
const VectorKernels CALMORA_KERNEL_TABLE = {
    KernelSet::CALMORA_KERNEL_SET,
    outputBgrx8,
    outputBgr16,
    averageRow<int16_t>,
    averageRow<int32_t>,
    mergeRow<int16_t>,
    mergeRow<int32_t>,
};

} // namespace calmora

// The vector kernels of one instruction set. CMake builds this file once per
// set, with that set's compiler flags, CALMORA_KERNEL_SET naming the set and
// CALMORA_KERNEL_TABLE the table it fills (vector_kernels.h). Each kernel
// computes what the scalar loop it stands for computes, lane by lane, with
// the same fixed-point helpers; where the scalar code branches, the lanes
// compute every branch and select.

#include "engine/vector_kernels.h"
#include "engine/colour_equations.h"
#include "engine/simd.h"

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
constexpr auto kPairSequence = std::make_integer_sequence<int, 2 * kLanes> {};

template <int... lane>
[[gnu::always_inline]] inline U16Pair concatenate(U16 a, U16 b, std::integer_sequence<int, lane...>)
{
    return __builtin_shufflevector(a, b, lane..., (kLanes + lane)...);
}

// Where element e of three planes interleaved (pixel e / 3, plane e % 3)
// lies in blue ++ green ++ red ++ red, each plane kLanes long.
constexpr int interleavedSource(int e)
{
    return (e % 3) * kLanes + e / 3;
}

// Elements first .. first + 2 * kLanes - 1 of the interleaved planes; those
// beyond 3 * kLanes are not meant to be stored.
template <int first, int... lane>
[[gnu::always_inline]] inline U16Pair interleaveThree(
    U16Pair blueGreen, U16Pair reds, std::integer_sequence<int, lane...>)
{
    return __builtin_shufflevector(
        blueGreen, reds, (first + lane < 3 * kLanes ? interleavedSource(first + lane) : 0)...);
}

struct Step {
    int32_t dx, dy;
};

// The directions of smooth_level.cpp: diagonals and axes, then the knight's
// moves between them.
constexpr Step kDirections[8]
    = { { 1, 1 }, { 1, -1 }, { 1, 0 }, { 0, 1 }, { 2, 1 }, { 2, -1 }, { 1, 2 }, { 1, -2 } };

// Runs `body` on the vectors of `width` positions from `first` on, the last
// one moved back to end at `end` (redoing part of the one before) when the
// range is no whole number of vectors. Only for kernels whose results do not
// depend on what they write, so that redoing a position changes nothing.
// Returns where the positions handled end: `end`, or `first` for a range
// shorter than a vector.
template <typename Body>
[[gnu::always_inline]] inline int32_t coverRange(
    int32_t first, int32_t end, int32_t width, Body body)
{
    if (end - first < width)
        return first;
    int32_t x = first;
    for (; x + width <= end; x += width)
        body(x);
    if (x < end)
        body(end - width);
    return end;
}

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

// toPixel16: (x / 100000) * 128 in double precision, truncated, clamped to
// 0..65535. The quotient is correctly rounded and multiplying by 128 is
// exact, so the value is 4x / 3125 within far less than 1/3125, the least
// distance from 4x / 3125 to an integer it is not equal to: truncating it
// gives the integer quotient (4x) / 3125. Every x from 51,200,000 on gives
// 65535 or more, so x is clamped first and 4x fits 32 bits.
[[gnu::always_inline]] inline I32 toPixel16Lanes(I32 x)
{
    const I32 clamped = clampInt(x, splat(0), splat(51200000));
    return minLanes(clamped * 4 / 3125, splat(65535));
}

// The conversions take a row at a time, so the positions fit the 32-bit
// ranges of coverRange.
size_t outputBgrx8(const int16_t* y, const int16_t* cr, const int16_t* cb, const uint8_t* kept,
    uint8_t* pixels, size_t count)
{
    return static_cast<size_t>(coverRange(0, static_cast<int32_t>(count), kLanes, [&](int32_t i) {
        const lanes::Rgb<I32> x = lanes::reconstructionSums(
            loadSamples(y + i), loadSamples(cr + i), loadSamples(cb + i));
        const U32 bgr = U32(toPixel8Lanes(x.b)) | (U32(toPixel8Lanes(x.g)) << 8)
            | (U32(toPixel8Lanes(x.r)) << 16);
        // The fourth byte is not the conversion's: it is carried over.
        const U32 fourth = loadAs<U32>(kept + 4 * static_cast<size_t>(i)) & 0xFF000000u;
        storeTo(pixels + 4 * static_cast<size_t>(i), fourth | bgr);
    }));
}

size_t outputBgr16(
    const int32_t* y, const int32_t* cr, const int32_t* cb, uint8_t* pixels, size_t count)
{
    return static_cast<size_t>(coverRange(0, static_cast<int32_t>(count), kLanes, [&](int32_t i) {
        const lanes::Rgb<I32> x = lanes::reconstructionSums(
            loadSamples(y + i), loadSamples(cr + i), loadSamples(cb + i));
        // Blue and green, then red twice, as 16-bit lanes to interleave.
        const U16Pair blueGreen = concatenate(__builtin_convertvector(toPixel16Lanes(x.b), U16),
            __builtin_convertvector(toPixel16Lanes(x.g), U16), kLaneSequence);
        const U16 red = __builtin_convertvector(toPixel16Lanes(x.r), U16);
        const U16Pair reds = concatenate(red, red, kLaneSequence);
        uint8_t* pixel = pixels + 6 * static_cast<size_t>(i);
        storeTo(pixel, interleaveThree<0>(blueGreen, reds, kPairSequence));
        const U16Pair rest = interleaveThree<2 * kLanes>(blueGreen, reds, kPairSequence);
        __builtin_memcpy(pixel + 4 * kLanes, &rest, 2 * kLanes);
    }));
}

// ---------------------------------------------------------------------------
// Input conversion (colour.cpp)

// The conversion of colour.cpp as plain loops, one per layout, which the
// compiler vectorises for the set this file is built for.
template <typename Sample, int bytesPerPixel, bool withOutput>
size_t inputLayout(const uint8_t* pixels, size_t count, Sample* const planes[6])
{
    constexpr int shift = PathTraits<Sample>::kInputShift;
    constexpr bool grey = bytesPerPixel == 1 || bytesPerPixel == 2;
    constexpr bool wide = sizeof(Sample) == 4;
    Sample* __restrict y = planes[0];
    Sample* __restrict cr = planes[1];
    Sample* __restrict cb = planes[2];
    Sample* __restrict yOut = planes[3];
    Sample* __restrict crOut = planes[4];
    Sample* __restrict cbOut = planes[5];
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* pixel = pixels + i * bytesPerPixel;
        auto sample = [&](int c) {
            if constexpr (wide)
                return static_cast<int32_t>(pixel[2 * c] | (pixel[2 * c + 1] << 8));
            else
                return static_cast<int32_t>(pixel[c]);
        };
        const int32_t b = sample(0);
        const int32_t g = grey ? b : sample(1);
        const int32_t r = grey ? b : sample(2);
        const lanes::YCrCb<int32_t> values = lanes::planeValues(r, g, b, shift);
        y[i] = static_cast<Sample>(values.y);
        cr[i] = static_cast<Sample>(values.cr);
        cb[i] = static_cast<Sample>(values.cb);
        if constexpr (withOutput) {
            yOut[i] = y[i];
            crOut[i] = cr[i];
            cbOut[i] = cb[i];
        }
    }
    return count;
}

// The plane values of pixels i .. i + kLanes - 1 into the input planes and,
// when wanted, the output planes.
template <bool withOutput, typename Sample>
[[gnu::always_inline]] inline void storePlaneValues(
    Sample* const planes[6], int32_t i, I32 r, I32 g, I32 b)
{
    const lanes::YCrCb<I32> values = lanes::planeValues(r, g, b, PathTraits<Sample>::kInputShift);
    const I32 byPlane[3] = { values.y, values.cr, values.cb };
    for (int c = 0; c < 3; ++c) {
        storeSamples(planes[c] + i, byPlane[c]);
        if constexpr (withOutput)
            storeSamples(planes[3 + c] + i, byPlane[c]);
    }
}

// Four bytes a pixel, the layout of every decoded image: one pixel a lane.
template <bool withOutput>
size_t inputBgrx8(const uint8_t* pixels, size_t count, int16_t* const planes[6])
{
    return static_cast<size_t>(coverRange(0, static_cast<int32_t>(count), kLanes, [&](int32_t i) {
        const I32 pixel = loadAs<I32>(pixels + 4 * static_cast<size_t>(i));
        storePlaneValues<withOutput>(
            planes, i, (pixel >> 16) & 0xFF, (pixel >> 8) & 0xFF, pixel & 0xFF);
    }));
}

template <int plane, int... lane>
[[gnu::always_inline]] inline I32 planeOfThree(
    U16Pair first, U16Pair second, std::integer_sequence<int, lane...>)
{
    return __builtin_convertvector(
        __builtin_shufflevector(first, second, (3 * lane + plane)...), I32);
}

// Three 16-bit samples a pixel: one pixel a lane, the samples taken apart by
// shuffles; unsigned, so they widen without sign.
template <bool withOutput>
size_t inputBgr16(const uint8_t* pixels, size_t count, int32_t* const planes[6])
{
    return static_cast<size_t>(coverRange(0, static_cast<int32_t>(count), kLanes, [&](int32_t i) {
        const uint8_t* from = pixels + 6 * static_cast<size_t>(i);
        const U16Pair first = loadAs<U16Pair>(from);
        U16Pair second {};
        __builtin_memcpy(&second, from + kVectorBytes, kVectorBytes / 2);
        storePlaneValues<withOutput>(planes, i, planeOfThree<2>(first, second, kLaneSequence),
            planeOfThree<1>(first, second, kLaneSequence),
            planeOfThree<0>(first, second, kLaneSequence));
    }));
}

template <typename Sample, bool withOutput>
size_t inputPixelsOf(
    const uint8_t* pixels, int32_t bytesPerPixel, size_t count, Sample* const planes[6])
{
    if constexpr (sizeof(Sample) == 2) {
        switch (bytesPerPixel) {
        case 4:
            if (count >= static_cast<size_t>(kLanes))
                return inputBgrx8<withOutput>(pixels, count, planes);
            return inputLayout<Sample, 4, withOutput>(pixels, count, planes);
        case 3:
            return inputLayout<Sample, 3, withOutput>(pixels, count, planes);
        case 1:
            return inputLayout<Sample, 1, withOutput>(pixels, count, planes);
        default:
            return 0;
        }
    } else {
        switch (bytesPerPixel) {
        case 6:
            if (count >= static_cast<size_t>(kLanes))
                return inputBgr16<withOutput>(pixels, count, planes);
            return inputLayout<Sample, 6, withOutput>(pixels, count, planes);
        case 2:
            return inputLayout<Sample, 2, withOutput>(pixels, count, planes);
        default:
            return 0;
        }
    }
}

template <typename Sample>
size_t inputPixels(
    const uint8_t* pixels, int32_t bytesPerPixel, size_t count, Sample* const planes[6])
{
    return planes[3] != nullptr
        ? inputPixelsOf<Sample, true>(pixels, bytesPerPixel, count, planes)
        : inputPixelsOf<Sample, false>(pixels, bytesPerPixel, count, planes);
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

template <int... lane>
[[gnu::always_inline]] inline I32 shiftInLast(I32 v, I32 last, std::integer_sequence<int, lane...>)
{
    return __builtin_shufflevector(v, last, (lane + 1)...);
}

// Child sample cx sums parent columns 2cx - 1, 2cx and 2cx + 1 of the three
// rows: the even lanes of the column sums from 2cx - 1 on, the odd ones,
// and the even ones moved on by a lane, which takes in the sum of column
// 2cx - 1 + 2 * kLanes, the last lane's right column. Integer sums do not
// depend on their order, so summing rows first gives the window's sum.
template <typename Sample>
int32_t averageRow(const Sample* const rows[3], Sample* out, int32_t first, int32_t end)
{
    return coverRange(first, end, kLanes, [&](int32_t cx) {
        const int32_t column = 2 * cx - 1;
        I32 a {};
        I32 b {};
        int32_t last = 0;
        for (int r = 0; r < 3; ++r) {
            a = addWrap(a, loadSamples(rows[r] + column));
            b = addWrap(b, loadSamples(rows[r] + column + kLanes));
            last = lanes::addWrap(last, static_cast<int32_t>(rows[r][column + 2 * kLanes]));
        }
        const I32 left = evenLanes(a, b, kLaneSequence);
        const I32 centre = oddLanes(a, b, kLaneSequence);
        const I32 right = shiftInLast(left, splat(last), kLaneSequence);
        storeSamples(out + cx, meanOfNine(addWrap(addWrap(left, centre), right), Sample {}));
    });
}

// ---------------------------------------------------------------------------
// Merge child (resample.cpp)

template <int... lane>
[[gnu::always_inline]] inline I32 interleaveLow(I32 a, I32 b, std::integer_sequence<int, lane...>)
{
    return __builtin_shufflevector(a, b, ((lane & 1) * kLanes + (lane >> 1))...);
}

template <int... lane>
[[gnu::always_inline]] inline I32 interleaveHigh(I32 a, I32 b, std::integer_sequence<int, lane...>)
{
    return __builtin_shufflevector(a, b, ((lane & 1) * kLanes + kLanes / 2 + (lane >> 1))...);
}

template <typename Sample>
int32_t widenRow(const Sample* row, int32_t pairs, int32_t* out)
{
    return coverRange(0, pairs, kLanes, [&](int32_t cx) {
        const I32 here = loadSamples(row + cx);
        const I32 between = lanes::halfSum(here, loadSamples(row + cx + 1));
        storeTo(out + 2 * cx, interleaveLow(here, between, kLaneSequence));
        storeTo(out + 2 * cx + kLanes, interleaveHigh(here, between, kLaneSequence));
    });
}

[[gnu::always_inline]] inline I32 scaleLumaPull(I32 d, I32 edgeClass, bool fineChild)
{
    const I32 weak = fineChild ? asr(d, 1) : asr(d, 2);
    const I32 ring = fineChild ? subWrap(d, asr(d, 2)) : asr(d, 1);
    return select(
        edgeClass == 1, asr(d, 3), select(edgeClass == 2, weak, select(edgeClass == 3, ring, d)));
}

[[gnu::always_inline]] inline I32 scaleColourPull(I32 d, I32 edgeClass, bool fineChild)
{
    const I32 weak = fineChild ? asr(d, 2) : asr(d, 3);
    const I32 ring = fineChild ? asr(d, 1) : asr(d, 2);
    const I32 third = fineChild ? subWrap(d, asr(d, 2)) : asr(d, 1);
    return select(edgeClass == 1, I32 {},
        select(
            edgeClass == 2, weak, select(edgeClass == 3, ring, select(edgeClass == 4, third, d))));
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

// Thresholds by bin of one channel, with the first sixteen bins (every
// bin that a luminance of the 8-bit path falls in, and the usual ones of
// the 16-bit path) in a table for lookUp16.
struct BinTable {
    const int32_t* byBin;
    int32_t first16[16];

    explicit BinTable(const int32_t* thresholds)
        : byBin(thresholds)
    {
        for (int i = 0; i < 16; ++i)
            first16[i] = thresholds[i];
    }

    // noiseThreshold of pyramid.h for each lane's bin.
    [[gnu::always_inline]] I32 at(I32 bins) const
    {
        if (!anyLane(U32(bins) >= 16u))
            return lookUp16(first16, bins);
        I32 thresholds;
        for (int lane = 0; lane < kLanes; ++lane) {
            const int32_t bin = bins[lane];
            thresholds[lane] = bin >= 0 && bin < kNoiseBins ? byBin[bin] : 0;
        }
        return thresholds;
    }
};

template <int... lane>
[[gnu::always_inline]] inline I32 halfIndexLanes(I32 v, std::integer_sequence<int, lane...>)
{
    return __builtin_shufflevector(v, v, (lane >> 1)...);
}

template <int... lane>
[[gnu::always_inline]] inline I32 halfIndexOddLanes(I32 v, std::integer_sequence<int, lane...>)
{
    return __builtin_shufflevector(v, v, ((lane + 1) >> 1)...);
}

// Brightness bins of samples x .. x + kLanes - 1 of a row (thresholdBin of
// smooth_level.cpp): the child's samples at x >> 1, or the row's own.
template <typename Sample>
[[gnu::always_inline]] inline I32 binsAt(const BrightnessRow<Sample>& row, int32_t x)
{
    I32 brightness;
    if (row.child) {
        // Only the child samples under the lanes are read: the row may end
        // right after them.
        Sample part[kLanes] = {};
        const Sample* from = row.samples + (x >> 1);
        if ((x & 1) == 0) {
            __builtin_memcpy(part, from, kLanes / 2 * sizeof(Sample));
            brightness = halfIndexLanes(loadSamples(part), kLaneSequence);
        } else {
            __builtin_memcpy(part, from, (kLanes / 2 + 1) * sizeof(Sample));
            brightness = halfIndexOddLanes(loadSamples(part), kLaneSequence);
        }
    } else {
        brightness = loadSamples(row.samples + x);
    }
    return asr(brightness, PathTraits<Sample>::kBinShift);
}

template <typename Sample>
int32_t mergeRow(const MergeRow<Sample>& row)
{
    const I32 keep[3] = { splat(kStrengthOne - row.strength[0]),
        splat(kStrengthOne - row.strength[1]), splat(kStrengthOne - row.strength[2]) };
    const BinTable tables[2] = { BinTable(row.thresholds[0]), BinTable(row.thresholds[1]) };
    int32_t px = 0;
    for (; px + kLanes <= row.width; px += kLanes) {
        I32 filtered[3], noise[3], out[3], edgeClass[3];
        auto child = [&](int plane) {
            const I32 upper = loadAs<I32>(row.upper[plane] + px);
            return row.lower == nullptr ? upper
                                        : lanes::halfSum(upper, loadAs<I32>(row.lower[plane] + px));
        };
        for (int c = 0; c < 3; ++c) {
            filtered[c] = child(c);
            noise[c] = subWrap(child(3 + c), filtered[c]);
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
                pull[c] = limitPull(pull[c], tables[c - 1].at(bins));
        }
        for (int c = 0; c < 3; ++c) {
            const I32 in = loadSamples(row.in[c] + px);
            storeSamples(row.out[c] + px, blendMerge(out[c], in, pull[c], noise[c], keep[c]));
        }
    }
    return px;
}

// ---------------------------------------------------------------------------
// The direction search of smooth luminance (smooth_level.cpp)

// chooseDirection of smooth_level.cpp for a vector of samples: every lane
// follows the search's order of directions and samples, a direction given
// up once its partial sum exceeds the best so far; only the samples taken
// before that count for the knight's moves next to the axes.
template <typename Sample>
int32_t searchRow(const SearchRow<Sample>& row)
{
    const Sample* centreRow = row.plane + static_cast<size_t>(row.y) * row.width;
    return coverRange(row.first, row.end, kLanes, [&](int32_t x) {
        const I32 wanted = (loadBytes(row.classes + x) != 0) & (loadBytes(row.directions + x) == 0);
        if (!anyLane(wanted))
            return;
        const I32 centre = loadSamples(centreRow + x);
        I32 partial[8] = {};
        I32 best = splat(INT32_MAX);
        I32 chosen {};
        for (int k = 0; k < row.candidates; ++k) {
            const Step o = kDirections[k];
            I32 sum = partial[k];
            I32 alive = splat(-1);
            for (int sense = 1; sense >= -1; sense -= 2) {
                for (int step = 1; step <= 2; ++step) {
                    if (k >= 4 && step == 1)
                        continue;
                    const int32_t reach = k < 4 ? step : 1;
                    const ptrdiff_t offset
                        = static_cast<ptrdiff_t>(sense * reach * o.dy) * row.width
                        + sense * reach * o.dx;
                    const I32 d = asr(subWrap(loadSamples(centreRow + offset + x), centre), 6);
                    const I32 q = alive & mulWrap(d, d);
                    if (step == 1 && (k == 2 || k == 3)) {
                        partial[2 * k] = addWrap(partial[2 * k], q);
                        partial[2 * k + 1] = addWrap(partial[2 * k + 1], q);
                    }
                    sum = addWrap(sum, q);
                    alive &= ~(sum > best);
                }
            }
            const I32 better = alive & (sum < best);
            best = better ? sum : best;
            chosen = better ? splat(k) : chosen;
        }
        storeBytes(row.chosen + x, chosen);
    });
}

// ---------------------------------------------------------------------------
// The vote of smooth luminance (smooth_level.cpp)

// Counting every label over the whole window decides the vote as the scalar
// count that stops at the majority does: a label that reaches the majority
// is the only one with the most votes. The leader is the label with the most
// votes; where two or more share the most (none of them can have reached the
// majority), it is the one that got there first in raster order, which a
// second pass over the window finds.
int32_t voteRow(const VoteRow& row)
{
    constexpr int kLabels = 8;
    const int32_t r = row.radius;
    return coverRange(row.first, row.end, kByteLanes, [&](int32_t x) {
        const I8 edge = loadAs<I8>(row.yClass + x) != 0;
        if (!anyLane(edge))
            return;
        const uint8_t* window = row.direction + static_cast<size_t>(row.y - r) * row.width + x - r;
        I8 counts[kLabels + 1] = {};
        for (int32_t j = 0; j <= 2 * r; ++j) {
            for (int32_t i = 0; i <= 2 * r; ++i) {
                const I8 label = loadAs<I8>(window + static_cast<size_t>(j) * row.width + i);
                for (int k = 1; k <= kLabels; ++k)
                    counts[k] -= label == static_cast<int8_t>(k); // a true comparison is -1
            }
        }
        const I8 own = loadAs<I8>(row.direction + static_cast<size_t>(row.y) * row.width + x);
        I8 most {};
        for (int k = 1; k <= kLabels; ++k)
            most = counts[k] > most ? counts[k] : most;
        I8 ownCount {};
        I8 leaders {};
        I8 leader {};
        for (int k = 1; k <= kLabels; ++k) {
            ownCount = own == static_cast<int8_t>(k) ? counts[k] : ownCount;
            const I8 leads = counts[k] == most;
            leaders -= leads;
            leader = leads ? static_cast<int8_t>(k) : leader;
        }
        const I8 change = edge & (most > 0) & (ownCount < most);
        if (!anyLane(change))
            return;
        if (anyLane(change & (leaders > 1))) {
            // The step of the window at which each label's count reached the
            // most; steps are numbered from 1, 0 meaning not reached.
            I8 running[kLabels + 1] = {};
            I8 reached[kLabels + 1] = {};
            int8_t step = 0;
            for (int32_t j = 0; j <= 2 * r; ++j) {
                for (int32_t i = 0; i <= 2 * r; ++i) {
                    ++step;
                    const I8 label = loadAs<I8>(window + static_cast<size_t>(j) * row.width + i);
                    for (int k = 1; k <= kLabels; ++k) {
                        running[k] -= label == static_cast<int8_t>(k);
                        const I8 now = (reached[k] == 0) & (running[k] == most);
                        reached[k] = now ? I8 {} + step : reached[k];
                    }
                }
            }
            I8 earliest = I8 {} + INT8_MAX;
            for (int k = 1; k <= kLabels; ++k) {
                const I8 first = (counts[k] == most) & (reached[k] < earliest);
                earliest = first ? reached[k] : earliest;
                leader = first ? static_cast<int8_t>(k) : leader;
            }
        }
        const I8 smoothed = loadAs<I8>(row.smoothed + x);
        storeTo(row.smoothed + x, change ? leader : smoothed);
    });
}

// ---------------------------------------------------------------------------
// The averaging walks of smooth luminance (smooth_level.cpp)

// kDirections of smooth_level.cpp at distance `sense` (negative: the other
// way), the knight's moves halved as the walk halves them.
[[gnu::always_inline]] inline Step walkStep(int k, int32_t sense)
{
    Step step { kDirections[k].dx * sense, kDirections[k].dy * sense };
    if (k >= 4) {
        step.dx = asr(step.dx, 1);
        step.dy = asr(step.dy, 1);
    }
    return step;
}

// The state of the walks of a vector of samples.
struct Walks {
    I32 centre;
    I32 base, soft, hard;
    I32 sum, weight;
    I32 open; // the walk takes samples
    I32 going; // the walk goes on to the next distance
    I32 lastRejected;

    // One sample looked at by the lanes in `looking`.
    [[gnu::always_inline]] void look(I32 looking, I32 value)
    {
        const I32 w = subWrap(base, asr(absWrap(subWrap(value, centre)), 6));
        const I32 rejected = ~open | (w < hard);
        const I32 taken = looking & ~rejected;
        open &= ~(taken & (w < soft));
        const I32 counted = taken & (w > 0);
        sum = addWrap(sum, counted & mulWrap(w, value));
        weight = addWrap(weight, counted & w);
        lastRejected = looking ? rejected : lastRejected;
    }
};

// sum / weight as divTrunc gives it, for lanes whose weight is not 0.
[[gnu::always_inline]] inline I32 quotient(I32 sum, I32 weight)
{
    const I32 awkward = (weight == 0) | (weight == -1);
    const I32 q = divideLanes(sum, awkward ? splat(1) : weight);
    return weight == -1 ? subWrap(I32 {}, sum) : q;
}

template <typename Sample>
int32_t walkRow(const WalkRow<Sample>& row)
{
    const BinTable table(row.byBin);
    const Sample* centreRow = row.plane + static_cast<size_t>(row.y) * row.width;
    return coverRange(row.first, row.end, kLanes, [&](int32_t x) {
        I32 visited = splat(-1);
        I32 direction {};
        if (!row.allDirections) {
            visited = loadBytes(row.classes + x) != 0;
            if (!anyLane(visited))
                return;
            direction = loadBytes(row.directions + x) - 1; // -1: none
        }
        Walks walks;
        walks.centre = loadSamples(centreRow + x);
        walks.base = asr(table.at(binsAt(row.brightness, x)), 6);
        walks.soft = asr(walks.base, row.softShift);
        walks.hard = asr(walks.soft, 1);
        walks.sum = mulWrap(walks.centre, walks.base);
        walks.weight = walks.base;
        walks.open = splat(-1);
        // A sample without a direction looks at nothing.
        walks.going = visited & (row.allDirections ? splat(-1) : direction >= 0);
        // The directions some lane of this vector walks.
        unsigned present = row.allDirections ? 0x0Fu : 0u;
        if (!row.allDirections) {
            for (int k = 0; k < 8; ++k)
                present |= anyLane(walks.going & (direction == k)) ? 1u << k : 0u;
        }
        for (int32_t s = 1; s <= row.maxDistance && anyLane(walks.going); ++s) {
            walks.lastRejected = I32 {};
            for (int32_t sense = -s; sense <= s; sense += 2 * s) {
                if (row.allDirections) {
                    for (int k = 0; k < 4; ++k) {
                        const Step step = walkStep(k, sense);
                        walks.look(walks.going,
                            loadSamples(centreRow + static_cast<ptrdiff_t>(step.dy) * row.width + x
                                + step.dx));
                    }
                } else {
                    I32 value {};
                    for (int k = 0; k < 8; ++k) {
                        if ((present & (1u << k)) == 0)
                            continue;
                        const Step step = walkStep(k, sense);
                        const I32 at = loadSamples(
                            centreRow + static_cast<ptrdiff_t>(step.dy) * row.width + x + step.dx);
                        value = direction == k ? at : value;
                    }
                    walks.look(walks.going, value);
                }
            }
            walks.going &= ~walks.lastRejected;
        }
        const I32 write = visited & (walks.weight != 0);
        if (!anyLane(write))
            return;
        I32 v = quotient(walks.sum, walks.weight);
        if (row.coarsest)
            v = addWrap(walks.centre, blend(subWrap(v, walks.centre), splat(row.strength)));
        storeSamples(row.out + x, write ? v : loadSamples(row.out + x));
    });
}

// ---------------------------------------------------------------------------
// Smooth colour (smooth_level.cpp)

// The walk of one colour channel; a channel that does not take part never
// opens.
struct ColourWalk {
    I32 centre, threshold, closing;
    I32 sum, count;
    I32 open;

    [[gnu::always_inline]] void take(I32 value)
    {
        const I32 w = subWrap(threshold, asr(absWrap(subWrap(value, centre)), 6));
        const I32 used = open & (w >= 1);
        open &= ~(w < closing) & (w >= 1);
        sum = addWrap(sum, used & value);
        count -= used;
    }
};

template <typename Sample>
int32_t colourRow(const ColourRow<Sample>& row)
{
    const BinTable tables[2] = { BinTable(row.byBin[0]), BinTable(row.byBin[1]) };
    return coverRange(row.first, row.end, kLanes, [&](int32_t x) {
        I32 takesPart[2] = { splat(-1), splat(-1) };
        if (row.hasChild) {
            takesPart[0] = loadBytes(row.classes[0] + x) != 0;
            takesPart[1] = loadBytes(row.classes[1] + x) != 0;
            if (!anyLane(takesPart[0] | takesPart[1]))
                return;
        }
        const I32 bins = binsAt(row.brightness, x);
        ColourWalk walks[2];
        const Sample* centreRows[2];
        for (int c = 0; c < 2; ++c) {
            centreRows[c] = row.planes[c] + static_cast<size_t>(row.y) * row.width;
            ColourWalk& walk = walks[c];
            walk.centre = loadSamples(centreRows[c] + x);
            walk.threshold = tables[c].at(bins);
            walk.closing = asr(walk.threshold, 3);
            walk.sum = walk.centre;
            walk.count = splat(1);
            walk.open = takesPart[c];
        }
        for (int32_t s = 1; s <= row.maxDistance; ++s) {
            for (int32_t sense = -s; sense <= s; sense += 2 * s) {
                for (int k = 0; k < 4; ++k) {
                    const Step step = walkStep(k, sense);
                    const ptrdiff_t offset = static_cast<ptrdiff_t>(step.dy) * row.width + step.dx;
                    for (int c = 0; c < 2; ++c)
                        walks[c].take(loadSamples(centreRows[c] + offset + x));
                }
            }
        }
        for (int c = 0; c < 2; ++c) {
            const ColourWalk& walk = walks[c];
            const I32 write = walk.count > 1;
            if (!anyLane(write))
                continue;
            I32 v = divideLanes(walk.sum, write ? walk.count : splat(1));
            if (row.coarsest)
                v = addWrap(walk.centre, blend(subWrap(v, walk.centre), splat(row.strength[c])));
            storeSamples(row.out[c] + x, write ? v : loadSamples(row.out[c] + x));
        }
    });
}

// ---------------------------------------------------------------------------
// Rings around edges (classify_edges.cpp)

template <int... lane>
[[gnu::always_inline]] inline I8 byteLaneIndex(std::integer_sequence<int, lane...>)
{
    return I8 { static_cast<int8_t>(lane)... };
}

int32_t ringRow(const RingRow& row)
{
    const I8 lane = byteLaneIndex(std::make_integer_sequence<int, kByteLanes> {});
    const I8 from = I8 {} + static_cast<int8_t>(row.from);
    uint8_t* centreRow = row.map + static_cast<size_t>(row.y) * row.width;
    return coverRange(row.first, row.end, kByteLanes, [&](int32_t x) {
        // Neighbours in the first and last column are no sources.
        auto notLane = [&](int32_t l) {
            return l >= 0 && l < kByteLanes ? I8(lane != static_cast<int8_t>(l)) : I8 {} - 1;
        };
        const I8 notFirstColumn = notLane(1 - x);
        const I8 notLastColumn = notLane(row.width - 2 - x);
        I8 found {};
        for (int32_t j = -1; j <= 1; ++j) {
            const int32_t source = row.y + j;
            if (source < 1 || source > row.height - 2)
                continue;
            const uint8_t* at = row.map + static_cast<size_t>(source) * row.width + x;
            found |= (loadAs<I8>(at - 1) == from) & notFirstColumn;
            found |= loadAs<I8>(at) == from;
            found |= (loadAs<I8>(at + 1) == from) & notLastColumn;
        }
        if (!anyLane(found))
            return;
        const I8 old = loadAs<I8>(centreRow + x);
        storeTo(centreRow + x, (found & (old == 0)) ? I8 {} + static_cast<int8_t>(row.to) : old);
    });
}

// ---------------------------------------------------------------------------
// Sample points of the noise measurement (measure_noise.cpp)

// Inside the planes every point has its eight neighbours. The sums are of
// 16-bit samples and their differences, far from overflowing; the divisions
// are C's, as meanAbsDeviation's.
int32_t pointRow(const PointRow& row)
{
    const int32_t r = row.radius;
    const Step kOffsets[8]
        = { { -r, -r }, { r, r }, { -r, r }, { r, -r }, { 0, r }, { 0, -r }, { r, 0 }, { -r, 0 } };
    const size_t centreRow = static_cast<size_t>(row.y) * row.width;
    return coverRange(row.first, row.end, kLanes, [&](int32_t x) {
        I32 centre[3];
        for (int c = 0; c < 3; ++c)
            centre[c] = loadSamples(row.planes[c] + centreRow + x);
        I32 differences[3][8];
        I32 largest[3] = {};
        I32 sums[3] = {};
        I32 neighbourSum {};
        for (int n = 0; n < 8; ++n) {
            const ptrdiff_t at = static_cast<ptrdiff_t>(centreRow)
                + static_cast<ptrdiff_t>(kOffsets[n].dy) * row.width + x + kOffsets[n].dx;
            for (int c = 0; c < 3; ++c) {
                const I32 value = loadSamples(row.planes[c] + at);
                if (c == 0)
                    neighbourSum += value;
                const I32 difference = absWrap(value - centre[c]);
                differences[c][n] = difference;
                largest[c] = maxLanes(largest[c], difference);
                sums[c] += difference;
            }
        }
        storeTo(row.brightness + x, neighbourSum / 8);
        for (int c = 0; c < 3; ++c) {
            const I32 mean = sums[c] / 8;
            I32 deviation {};
            for (int n = 0; n < 8; ++n)
                deviation += absWrap(differences[c][n] - mean);
            storeTo(row.largest[c] + x, largest[c]);
            storeTo(row.deviation[c] + x, deviation / 8);
        }
    });
}

// ---------------------------------------------------------------------------
// Edge detection (classify_edges.cpp)

// The first neighbour whose difference crosses a threshold decides a
// centre's class: 3 when strong, else 4. Tracks that decision per lane.
struct Detection {
    I32 decided {};
    I32 edgeClass {};
    I32 neighbour {};

    [[gnu::always_inline]] void test(
        I32 threshold, I32 difference, int strongShift, int weakShift, int32_t n)
    {
        const I32 e = subWrap(threshold, difference);
        const I32 strong = e < asr(threshold, strongShift);
        const I32 weak = e < asr(threshold, weakShift);
        const I32 now = (strong | weak) & ~decided;
        edgeClass = now ? (strong ? splat(3) : splat(4)) : edgeClass;
        neighbour = now ? splat(n) : neighbour;
        decided |= now;
    }
};

template <typename Sample>
int32_t detectRow(const DetectRow<Sample>& row)
{
    constexpr Step kNeighbours[8]
        = { { -2, -2 }, { 2, 2 }, { -2, 2 }, { 2, -2 }, { 0, 3 }, { 0, -3 }, { 3, 0 }, { -3, 0 } };
    const BinTable tables[3]
        = { BinTable(row.byBin[0]), BinTable(row.byBin[1]), BinTable(row.byBin[2]) };
    const int channels = row.colour ? 3 : 1;
    // The centres of a vector span 2 * kLanes - 1 positions; the last vector
    // is moved back by an even number of positions to end at `end`.
    const int32_t span = 2 * kLanes - 1;
    if (row.end - row.first < span)
        return row.first;
    auto centres = [&](int32_t x) {
        uint32_t* decisions = row.decisions + (x - row.first) / 2;
        I32 bins;
        if (row.brightness.child)
            bins = asr(
                loadSamples(row.brightness.samples + (x >> 1)), PathTraits<Sample>::kBinShift);
        else
            bins = asr(loadEvenSamples(row.brightness.samples + x), PathTraits<Sample>::kBinShift);
        I32 thresholds[3];
        I32 centre[3];
        for (int c = 0; c < channels; ++c) {
            thresholds[c] = tables[c].at(bins);
            centre[c] = loadEvenSamples(row.planes[c] + static_cast<size_t>(row.y) * row.width + x);
        }
        Detection found[3];
        for (int32_t n = 0; n < 8; ++n) {
            const ptrdiff_t offset = static_cast<ptrdiff_t>(row.y + kNeighbours[n].dy) * row.width
                + x + kNeighbours[n].dx;
            found[0].test(thresholds[0],
                absWrap(subWrap(centre[0], loadEvenSamples(row.planes[0] + offset))), 3, 2, n);
            if (channels == 3 && (row.colourDiagonals || n >= 4)) {
                for (int c = 1; c < 3; ++c)
                    found[c].test(thresholds[c],
                        absWrap(subWrap(centre[c], loadEvenSamples(row.planes[c] + offset))), 10, 8,
                        n);
            }
        }
        I32 word {};
        for (int c = 0; c < channels; ++c)
            word |= (found[c].edgeClass | (found[c].neighbour << 3)) << (8 * c);
        storeTo(decisions, word);
    };
    int32_t x = row.first;
    for (; x + span <= row.end; x += 2 * kLanes)
        centres(x);
    if (x < row.end) {
        x = row.end - span;
        x -= (x - row.first) & 1;
        centres(x);
        x += 2 * kLanes;
    }
    return x;
}
} // namespace

extern const VectorKernels CALMORA_KERNEL_TABLE;
const VectorKernels CALMORA_KERNEL_TABLE = {
    KernelSet::CALMORA_KERNEL_SET,
    kLanes,
    outputBgrx8,
    outputBgr16,
    inputPixels<int16_t>,
    inputPixels<int32_t>,
    averageRow<int16_t>,
    averageRow<int32_t>,
    widenRow<int16_t>,
    widenRow<int32_t>,
    mergeRow<int16_t>,
    mergeRow<int32_t>,
    searchRow<int16_t>,
    searchRow<int32_t>,
    voteRow,
    walkRow<int16_t>,
    walkRow<int32_t>,
    colourRow<int16_t>,
    colourRow<int32_t>,
    ringRow,
    pointRow,
    detectRow<int16_t>,
    detectRow<int32_t>,
};

} // namespace calmora

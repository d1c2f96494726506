// The engine's integer rules, written once. Every operation computes in 32-bit
// signed integers; only the final store takes the plane's sample type.
//
// - Right shifts of signed values are arithmetic (round toward minus infinity).
// - Divisions truncate toward zero.
// - Products and sums that the filter forms in 32 bits wrap on overflow
//   (two's complement) instead of being undefined; inputs in their documented
//   ranges never overflow.
// - Stores into the 16-bit planes of the 8-bit path wrap to 16 bits.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <type_traits>

namespace calmora {

static_assert((-3 >> 1) == -2, "signed >> must be arithmetic");
static_assert(-7 / 2 == -3, "division must truncate toward zero");

// Strengths are in 1/128 units: 128 is 100 %.
constexpr int kStrengthShift = 7;
constexpr int32_t kStrengthOne = 1 << kStrengthShift;

// Largest luminance of an 8-bit image in plane units (white).
constexpr int32_t kMaxLuma8 = 21906;

// Margin copied around every tile, in pixels.
constexpr int32_t kTileMarginPx = 16;
constexpr int32_t kTileSizePx = 600;

// The rules as templates over the value type, so that the vector kernels
// apply the very same helpers lane by lane: Int is int32_t, or a vector of
// int32_t lanes whose unsigned counterpart the kernels declare (simd.h).
// The scalar code calls the int32_t functions that follow this block.
namespace lanes {

template <typename Int>
struct UnsignedOf {
    using Type = std::make_unsigned_t<Int>;
};

template <typename Int>
[[gnu::always_inline]] constexpr Int asr(Int value, int shift)
{
    return value >> shift;
}

template <typename Int>
[[gnu::always_inline]] constexpr Int mulWrap(Int a, Int b)
{
    using Unsigned = typename UnsignedOf<Int>::Type;
    return Int(Unsigned(a) * Unsigned(b));
}

template <typename Int>
[[gnu::always_inline]] constexpr Int addWrap(Int a, Int b)
{
    using Unsigned = typename UnsignedOf<Int>::Type;
    return Int(Unsigned(a) + Unsigned(b));
}

template <typename Int>
[[gnu::always_inline]] constexpr Int subWrap(Int a, Int b)
{
    using Unsigned = typename UnsignedOf<Int>::Type;
    return Int(Unsigned(a) - Unsigned(b));
}

// |value|, wrapping for INT32_MIN.
template <typename Int>
[[gnu::always_inline]] constexpr Int absWrap(Int value)
{
    return value < 0 ? subWrap(Int {}, value) : value;
}

// Blend (value * strength) >> 7, the form of every suppression strength.
template <typename Int>
[[gnu::always_inline]] constexpr Int blend(Int value, Int strength)
{
    return asr(mulWrap(value, strength), kStrengthShift);
}

// Average of two samples: the floor of the half.
template <typename Int>
[[gnu::always_inline]] constexpr Int halfSum(Int a, Int b)
{
    return asr(addWrap(a, b), 1);
}

template <typename Int>
[[gnu::always_inline]] constexpr Int clampInt(Int value, Int low, Int high)
{
    return value < low ? low : (value > high ? high : value);
}

} // namespace lanes

constexpr int32_t asr(int32_t value, int shift)
{
    return lanes::asr(value, shift);
}

constexpr int32_t mulWrap(int32_t a, int32_t b)
{
    return lanes::mulWrap(a, b);
}

constexpr int32_t addWrap(int32_t a, int32_t b)
{
    return lanes::addWrap(a, b);
}

constexpr int32_t subWrap(int32_t a, int32_t b)
{
    return lanes::subWrap(a, b);
}

// Truncating division; the one quotient that does not fit (INT32_MIN / -1)
// wraps like the other overflows instead of trapping. (The vector kernels
// divide in double precision, which gives the same quotients; simd.h.)
constexpr int32_t divTrunc(int32_t a, int32_t b)
{
    if (b == -1)
        return subWrap(0, a);
    return a / b;
}

constexpr int32_t absWrap(int32_t value)
{
    return lanes::absWrap(value);
}

constexpr int32_t blend(int32_t value, int32_t strength)
{
    return lanes::blend(value, strength);
}

constexpr int32_t halfSum(int32_t a, int32_t b)
{
    return lanes::halfSum(a, b);
}

// Conversion of a 32-bit intermediate into a plane sample. For 16-bit planes
// the value wraps (two's complement); 32-bit planes take it unchanged.
template <typename Sample>
constexpr Sample toSample(int32_t value)
{
    return static_cast<Sample>(value);
}

constexpr int32_t clampInt(int32_t value, int32_t low, int32_t high)
{
    return lanes::clampInt(value, low, high);
}

// Traits of the two sample paths: 16-bit signed planes for 8-bit pixels,
// 32-bit signed planes (about twice the scale) for 16-bit pixels.
template <typename Sample>
struct PathTraits;

template <>
struct PathTraits<int16_t> {
    static constexpr int kBinShift = 11; // brightness bins
    static constexpr int kInputShift = 6; // input conversion
    static constexpr int kNoiseShift = 6; // profile noise to plane units
    static constexpr bool kSharpenCap = true; // sharpening stops at white
};

template <>
struct PathTraits<int32_t> {
    static constexpr int kBinShift = 12;
    static constexpr int kInputShift = 13;
    static constexpr int kNoiseShift = 7;
    // Sharpening is not limited here; the output conversion clamps.
    static constexpr bool kSharpenCap = false;
};

} // namespace calmora

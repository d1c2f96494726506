// The integer BT.601 equations of the colour conversion (colour.cpp), for
// one value or a vector of 32-bit lanes (Int: int32_t, or a vector of
// int32_t for the vector kernels), so that both forms share one writing.
#pragma once

#include "engine/fixed_point.h"

namespace calmora::lanes {

template <typename Int>
struct YCrCb {
    Int y, cr, cb;
};

// Plane values of a pixel's red, green and blue samples; `shift` is the
// path's input shift (6 for 8-bit samples, 13 for 16-bit ones). The sums
// stay far inside 32 bits for samples of up to 16 bits.
template <typename Int>
[[gnu::always_inline]] constexpr YCrCb<Int> planeValues(Int r, Int g, Int b, int shift)
{
    return { asr(1645 * r + 3226 * g + 627 * b, shift), asr(2810 * r - 2355 * g - 454 * b, shift),
        asr(2810 * b - 1862 * g - 947 * r, shift) };
}

template <typename Int>
struct Rgb {
    Int r, g, b;
};

// The reconstruction sums of red, green and blue from plane values, before
// the path's rounding (1164 * Y / 100000 is about one 8-bit step per 86).
template <typename Int>
[[gnu::always_inline]] constexpr Rgb<Int> reconstructionSums(Int y, Int cr, Int cb)
{
    const Int luma = mulWrap(Int {} + 1164, y);
    return { addWrap(luma, mulWrap(Int {} + 1596, cr)),
        subWrap(subWrap(luma, mulWrap(Int {} + 813, cr)), mulWrap(Int {} + 392, cb)),
        addWrap(luma, mulWrap(Int {} + 2017, cb)) };
}

} // namespace calmora::lanes

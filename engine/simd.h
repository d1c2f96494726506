// Lane types and helpers of the vector kernels (vector_kernels.cpp), which
// are built once per instruction set: a vector is as wide as that set's
// registers (16 bytes for SSE4, 32 for AVX2, 64 for AVX-512), written with
// the GCC/Clang vector extensions. The arithmetic itself is the scalar
// code's: the lanes:: helpers of fixed_point.h, applied lane by lane.
//
// Everything here has internal linkage, so that code built for one set can
// never stand in for another set's at link time.
#pragma once

#include "engine/fixed_point.h"

#include <cstddef>
#include <cstdint>
#include <utility>

#if defined(__AVX512BW__)
#define CALMORA_VECTOR_BYTES 64
#elif defined(__AVX2__)
#define CALMORA_VECTOR_BYTES 32
#else
#define CALMORA_VECTOR_BYTES 16
#endif

namespace calmora {
namespace {

constexpr int kVectorBytes = CALMORA_VECTOR_BYTES;
// 32-bit lanes per vector: every computation runs in 32-bit lanes, as the
// scalar code computes in 32-bit integers.
constexpr int kLanes = kVectorBytes / 4;

using I32 = int32_t __attribute__((vector_size(kVectorBytes)));
using U32 = uint32_t __attribute__((vector_size(kVectorBytes)));
using F32 = float __attribute__((vector_size(kVectorBytes)));
// Narrower and wider companions with the same number of lanes, for loads,
// stores and the double-precision steps.
using I16 = int16_t __attribute__((vector_size(kVectorBytes / 2)));
using U16 = uint16_t __attribute__((vector_size(kVectorBytes / 2)));
using U8 = uint8_t __attribute__((vector_size(kVectorBytes / 4)));
using F64 = double __attribute__((vector_size(kVectorBytes * 2)));
// Byte lanes, a whole register of them, for the passes over the byte maps.
constexpr int kByteLanes = kVectorBytes;
using I8 = int8_t __attribute__((vector_size(kVectorBytes)));
// Twice the lanes of I16, for loading every other 16-bit sample.
using I16Pair = int16_t __attribute__((vector_size(kVectorBytes)));
using U16Pair = uint16_t __attribute__((vector_size(kVectorBytes)));

} // namespace

template <>
struct lanes::UnsignedOf<I32> {
    using Type = U32;
};

namespace {

template <typename Vector, typename T>
[[gnu::always_inline]] inline Vector loadAs(const T* from)
{
    Vector v;
    __builtin_memcpy(&v, from, sizeof v);
    return v;
}

template <typename Vector, typename T>
[[gnu::always_inline]] inline void storeTo(T* to, Vector v)
{
    __builtin_memcpy(to, &v, sizeof v);
}

// Plane samples in 32-bit lanes: 16-bit samples are sign-extended.
[[gnu::always_inline]] inline I32 loadSamples(const int16_t* from)
{
    return __builtin_convertvector(loadAs<I16>(from), I32);
}

[[gnu::always_inline]] inline I32 loadSamples(const int32_t* from)
{
    return loadAs<I32>(from);
}

[[gnu::always_inline]] inline I32 loadBytes(const uint8_t* from)
{
    return __builtin_convertvector(loadAs<U8>(from), I32);
}

// Stores wrap to the sample type, as toSample does.
[[gnu::always_inline]] inline void storeSamples(int16_t* to, I32 v)
{
    storeTo(to, __builtin_convertvector(v, I16));
}

[[gnu::always_inline]] inline void storeSamples(int32_t* to, I32 v)
{
    storeTo(to, v);
}

[[gnu::always_inline]] inline void storeBytes(uint8_t* to, I32 v)
{
    storeTo(to, __builtin_convertvector(v, U8));
}

[[gnu::always_inline]] inline I32 splat(int32_t value)
{
    return I32 {} + value;
}

[[gnu::always_inline]] inline I32 select(I32 mask, I32 yes, I32 no)
{
    return mask ? yes : no;
}

[[gnu::always_inline]] inline I32 minLanes(I32 a, I32 b)
{
    return a < b ? a : b;
}

[[gnu::always_inline]] inline I32 maxLanes(I32 a, I32 b)
{
    return a > b ? a : b;
}

// 0, 1, 2, ... kLanes - 1.
[[gnu::always_inline]] inline I32 laneIndex()
{
    I32 index;
    for (int i = 0; i < kLanes; ++i)
        index[i] = i;
    return index;
}

// Whether any lane of a vector is not zero.
template <typename Vector>
[[gnu::always_inline]] inline bool anyLane(Vector v)
{
    static_assert(sizeof(Vector) == kVectorBytes);
    using Words = uint64_t __attribute__((vector_size(kVectorBytes)));
    const Words words = loadAs<Words>(&v);
    uint64_t folded = 0;
    for (int i = 0; i < kVectorBytes / 8; ++i)
        folded |= words[i];
    return folded != 0;
}

template <int... lane>
[[gnu::always_inline]] inline I16 evenHalves(I16Pair v, std::integer_sequence<int, lane...>)
{
    return __builtin_shufflevector(v, v, (2 * lane)...);
}

template <int... lane>
[[gnu::always_inline]] inline I32 evenOfTwo(I32 a, I32 b, std::integer_sequence<int, lane...>)
{
    return __builtin_shufflevector(a, b, (2 * lane)...);
}

// Samples 0, 2, 4, ... of a plane row in 32-bit lanes; reads 2 * kLanes
// samples from `from`.
[[gnu::always_inline]] inline I32 loadEvenSamples(const int16_t* from)
{
    return __builtin_convertvector(
        evenHalves(loadAs<I16Pair>(from), std::make_integer_sequence<int, kLanes> {}), I32);
}

[[gnu::always_inline]] inline I32 loadEvenSamples(const int32_t* from)
{
    return evenOfTwo(
        loadAs<I32>(from), loadAs<I32>(from + kLanes), std::make_integer_sequence<int, kLanes> {});
}

// table[index] for indexes 0..15 in every lane.
[[gnu::always_inline]] inline I32 lookUp16(const int32_t (&table)[16], I32 index)
{
#if defined(__GNUC__) && !defined(__clang__) && CALMORA_VECTOR_BYTES == 64
    return __builtin_shuffle(loadAs<I32>(table), index);
#elif defined(__GNUC__) && !defined(__clang__) && CALMORA_VECTOR_BYTES == 32
    return __builtin_shuffle(loadAs<I32>(table), loadAs<I32>(table + 8), index);
#else
    I32 result {};
    for (int i = 0; i < 16; ++i)
        result = index == i ? splat(table[i]) : result;
    return result;
#endif
}

// divTrunc of fixed_point.h for divisors other than 0 and -1. A double holds
// every 32-bit integer exactly, its quotient is correctly rounded, and two
// 32-bit integers' quotient lies at least 1/|b| from the next integer it is
// not equal to, far more than the rounding error: truncating the double
// quotient gives the integer quotient.
[[gnu::always_inline]] inline I32 divideLanes(I32 a, I32 b)
{
    const F64 quotient = __builtin_convertvector(a, F64) / __builtin_convertvector(b, F64);
    return __builtin_convertvector(quotient, I32);
}

} // namespace
} // namespace calmora

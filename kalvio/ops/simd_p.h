// Several floats at a time with the compiler's generic vectors (GCC and
// Clang): 4 lanes (SSE2 on x86-64, NEON on ARM, single floats elsewhere)
// and, on x86-64 processors that have it, 8 lanes of AVX2. Each lane
// performs the same IEEE single-precision operation as the scalar code it
// stands for, so a vector loop, its scalar tail and the scalar path give
// the same bits.
#pragma once

// Vectors pass by value between helpers that are always inlined into one
// kernel compiled for one instruction set, so the calling convention GCC
// warns about never applies.
#pragma GCC diagnostic ignored "-Wpsabi"

#include <cstdint>
#include <cstring>

#define KALVIO_INLINE [[gnu::always_inline]] inline

namespace kalvio::detail {

typedef float f4 __attribute__((vector_size(16)));
typedef float f8 __attribute__((vector_size(32)));

/// How many floats the pixel kernels take at once: 8 (AVX2, x86-64 only), 4,
/// or 1 (the scalar code). The widest the processor has, lowered by the
/// environment variable KALVIO_SIMD: "sse2" gives 4, "none" 1. The variable
/// is read on every call, so that a test can compare the paths.
int simd_lanes();

/// The integer vector of a float vector's shape, as comparisons give it.
template <class V>
using Mask = decltype(V{} < V{});

template <class V>
constexpr int kLanes = sizeof(V) / sizeof(float);

/// A vector (of floats, or of the integers of a Mask) from or to memory of
/// any alignment.
template <class V>
KALVIO_INLINE V load(const void* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class V>
KALVIO_INLINE void store(void* p, V v) {
    std::memcpy(p, &v, sizeof v);
}

template <class V>
KALVIO_INLINE V splat(float x) {
    V v;
    for (int i = 0; i < kLanes<V>; ++i) v[i] = x;
    return v;
}

/// Lane by lane: `when` (all bits set or clear, as comparisons give) picks
/// `a`, else `b`.
template <class V>
KALVIO_INLINE V select(Mask<V> when, V a, V b) {
    return (V)((when & (Mask<V>)a) | (~when & (Mask<V>)b));
}

/// round_half_away (image_checks_p.h) lane by lane, for lanes below 2^31 in
/// magnitude: whole lanes from 2^23 on come back unchanged, as there.
template <class V>
KALVIO_INLINE V round_half_away_bounded(V v) {
    const V whole = __builtin_convertvector(__builtin_convertvector(v, Mask<V>), V);
    const V rest = v - whole;  // exact
    const V one = splat<V>(1.0f);
    return whole + (V)((rest >= 0.5f) & (Mask<V>)one) - (V)((rest <= -0.5f) & (Mask<V>)one);
}

/// Splits four interleaved pixels (12 floats: r g b r g b ...) into their
/// three channels; the inverse below.
KALVIO_INLINE void deinterleave3(const float* p, f4* c0, f4* c1, f4* c2) {
    const f4 a = load<f4>(p), b = load<f4>(p + 4), c = load<f4>(p + 8);
    *c0 = __builtin_shufflevector(__builtin_shufflevector(a, b, 0, 3, 6, 7), c, 0, 1, 2, 5);
    *c1 = __builtin_shufflevector(__builtin_shufflevector(a, b, 1, 4, 7, 0), c, 0, 1, 2, 6);
    *c2 = __builtin_shufflevector(__builtin_shufflevector(a, b, 2, 5, 0, 1), c, 0, 1, 4, 7);
}

KALVIO_INLINE void interleave3(float* p, f4 c0, f4 c1, f4 c2) {
    store(p, __builtin_shufflevector(__builtin_shufflevector(c0, c1, 0, 4, 1, 5), c2, 0, 1, 4, 2));
    store(p + 4, __builtin_shufflevector(__builtin_shufflevector(c1, c2, 1, 5, 2, 6), c0, 0, 1, 6, 2));
    store(p + 8, __builtin_shufflevector(__builtin_shufflevector(c0, c1, 3, 7, 3, 7), c2, 6, 0, 1, 7));
}

/// The same for eight pixels (24 floats), as two halves of four.
KALVIO_INLINE void deinterleave3(const float* p, f8* c0, f8* c1, f8* c2) {
    f4 a0, a1, a2, b0, b1, b2;
    deinterleave3(p, &a0, &a1, &a2);
    deinterleave3(p + 12, &b0, &b1, &b2);
    *c0 = __builtin_shufflevector(a0, b0, 0, 1, 2, 3, 4, 5, 6, 7);
    *c1 = __builtin_shufflevector(a1, b1, 0, 1, 2, 3, 4, 5, 6, 7);
    *c2 = __builtin_shufflevector(a2, b2, 0, 1, 2, 3, 4, 5, 6, 7);
}

KALVIO_INLINE f4 low_half(f8 v) { return __builtin_shufflevector(v, v, 0, 1, 2, 3); }
KALVIO_INLINE f4 high_half(f8 v) { return __builtin_shufflevector(v, v, 4, 5, 6, 7); }

KALVIO_INLINE void interleave3(float* p, f8 c0, f8 c1, f8 c2) {
    interleave3(p, low_half(c0), low_half(c1), low_half(c2));
    interleave3(p + 12, high_half(c0), high_half(c1), high_half(c2));
}

}  // namespace kalvio::detail

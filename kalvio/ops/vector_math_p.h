// Elementary functions on several floats at a time, for the pixel kernels.
#pragma once

#include "ops/simd_p.h"

#include <cmath>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace kalvio::detail {

constexpr float kPi = 3.14159265f;
constexpr float kHalfPi = 1.57079633f;
constexpr float kQuarterPi = 0.785398163f;

// atan, atan2, sin and cos are Cephes' single-precision polynomials (sin
// and cos within 1.5 units in the last place, atan and atan2 within 3),
// written once for every vector width: a lane performs the same IEEE
// operations whatever the width, and one float on its own (f1) is the
// scalar path, so the results depend neither on the processor nor on
// KALVIO_SIMD. The C library's functions would give other last bits on
// every platform, and could not run several lanes at once.

// One float as a vector of one lane.
typedef float f1 __attribute__((vector_size(4)));

template <class V>
KALVIO_INLINE V abs_of(V v) {
    return (V)((Mask<V>)v & ~(Mask<V>)splat<V>(-0.0f));
}

// `v` (not negative) with the sign bit of `sign`.
template <class V>
KALVIO_INLINE V signed_like(V v, V sign) {
    return (V)((Mask<V>)v | ((Mask<V>)sign & (Mask<V>)splat<V>(-0.0f)));
}

KALVIO_INLINE f1 square_root(f1 v) { return f1{std::sqrt(v[0])}; }
#if defined(__x86_64__)
KALVIO_INLINE f4 square_root(f4 v) { return (f4)_mm_sqrt_ps((__m128)v); }
#else
KALVIO_INLINE f4 square_root(f4 v) {
    for (int i = 0; i < 4; ++i) v[i] = std::sqrt(v[i]);
    return v;
}
#endif
// Two halves: a template kernel cannot call an AVX-only function itself.
KALVIO_INLINE f8 square_root(f8 v) {
    const f4 low = square_root(low_half(v)), high = square_root(high_half(v));
    return __builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7);
}

// atan(u) for |u| <= tan(pi/8).
template <class V>
KALVIO_INLINE V arctan_near_zero(V u) {
    const V z = u * u;
    return ((((0.0805374449538f * z - 0.138776856032f) * z + 0.199777106478f) * z - 0.333329491539f) * z) * u + u;
}

// atan(t) for t in 0..1 (or beyond, down to tan(pi/8) from above).
template <class V>
KALVIO_INLINE V arctan_of_ratio(V t) {
    const Mask<V> far = t > 0.414213562f;
    const V u = select<V>(far, (t - 1.0f) / (t + 1.0f), t);
    return arctan_near_zero(u) + select<V>(far, splat<V>(kQuarterPi), splat<V>(0.0f));
}

// atan(x) over all x.
template <class V>
KALVIO_INLINE V arctan(V x) {
    const V ax = abs_of(x);
    const Mask<V> large = ax > 2.414213562f;  // tan(3pi/8)
    const V a = select<V>(large, kHalfPi - arctan_near_zero(1.0f / ax), arctan_of_ratio(ax));
    return signed_like(a, x);
}

// atan2(y, x) in -pi..pi, for (x, y) other than (0, 0): the angle of the
// smaller over the larger of |x| and |y|, then its octant.
template <class V>
KALVIO_INLINE V arctan2(V y, V x) {
    const V ax = abs_of(x), ay = abs_of(y);
    const Mask<V> steep = ay > ax;
    V a = arctan_of_ratio(select<V>(steep, ax, ay) / select<V>(steep, ay, ax));
    a = select<V>(steep, kHalfPi - a, a);
    a = select<V>(x < 0.0f, kPi - a, a);
    return signed_like(a, y);
}

// sin and cos of x: x less a whole number n of quarter turns (pi/2 in three
// parts, each product exact for |n| < 2^15) leaves |r| <= pi/4, where the
// polynomials hold; n modulo 4 then picks and signs them. Lanes must lie
// within +/-8192 (or be NaN, which gives NaN).
template <class V>
KALVIO_INLINE void sine_cosine(V x, V* sine, V* cosine) {
    using M = Mask<V>;
    V n = round_half_away_bounded<V>(x * 0.636619772f);
    n = select<V>(x == x, n, splat<V>(0.0f));
    const V r = ((x - n * 1.5703125f) - n * 4.837512969970703125e-4f) - n * 7.549789948768648e-8f;
    const V z = r * r;
    const V s = ((-1.9515295891e-4f * z + 8.3321608736e-3f) * z - 1.6666654611e-1f) * z * r + r;
    const V c =
        ((2.443315711809948e-5f * z - 1.388731625493765e-3f) * z + 4.166664568298827e-2f) * z * z - 0.5f * z + 1.0f;
    const M quarter = __builtin_convertvector(n, M) & 3;
    const M swap = (quarter & 1) != 0;
    const M sine_negative = quarter >= 2;
    const M cosine_negative = (quarter == 1) | (quarter == 2);
    const V sv = select<V>(swap, c, s), cv = select<V>(swap, s, c);
    *sine = select<V>(sine_negative, -sv, sv);
    *cosine = select<V>(cosine_negative, -cv, cv);
}

}  // namespace kalvio::detail

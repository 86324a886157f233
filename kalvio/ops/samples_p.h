// Runs of samples between bytes and floats, a row at a time: the readers
// and writers of 8-bit pictures see every sample of a picture here, so the
// loops work on whole vectors where SSE2 is there (every x86-64).
#pragma once

#include <kalvio/samples.h>

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kalvio::detail {

#if defined(__SSE2__)
namespace samples {

// Sixteen bytes as four vectors of floats, in order.
inline void widen(__m128i bytes, __m128 out[4]) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i low = _mm_unpacklo_epi8(bytes, zero), high = _mm_unpackhi_epi8(bytes, zero);
    out[0] = _mm_cvtepi32_ps(_mm_unpacklo_epi16(low, zero));
    out[1] = _mm_cvtepi32_ps(_mm_unpackhi_epi16(low, zero));
    out[2] = _mm_cvtepi32_ps(_mm_unpacklo_epi16(high, zero));
    out[3] = _mm_cvtepi32_ps(_mm_unpackhi_epi16(high, zero));
}

// sample_to_byte of four floats, as 32-bit lanes. The truncation gives
// 0x80000000 for NaN and for anything beyond the int range, whose low byte
// is right for NaN and for the negative side; the positive side is set to
// 255.
inline __m128i low_bytes(__m128 v) {
    const __m128i truncated = _mm_cvttps_epi32(v);
    const __m128i above = _mm_castps_si128(_mm_cmpge_ps(v, _mm_set1_ps(2147483648.0f)));
    return _mm_and_si128(_mm_or_si128(truncated, above), _mm_set1_epi32(0xFF));
}

// Sixteen floats (four vectors) as sixteen bytes, each its sample_to_byte.
inline __m128i narrow(const __m128 in[4]) {
    const __m128i low = _mm_packs_epi32(low_bytes(in[0]), low_bytes(in[1]));
    const __m128i high = _mm_packs_epi32(low_bytes(in[2]), low_bytes(in[3]));
    return _mm_packus_epi16(low, high);
}

// Swaps the first and the third sample of each of the four pixels that
// three vectors hold (12 samples, three a pixel): blue, green, red becomes
// red, green, blue and back.
inline void swap_outer(__m128& a, __m128& b, __m128& c) {
    const __m128 a0b1 = _mm_shuffle_ps(a, b, _MM_SHUFFLE(1, 1, 0, 0));   // a0 a0 b1 b1
    const __m128 b0a3 = _mm_shuffle_ps(b, a, _MM_SHUFFLE(3, 3, 0, 0));   // b0 b0 a3 a3
    const __m128 c0b3 = _mm_shuffle_ps(c, b, _MM_SHUFFLE(3, 3, 0, 0));   // c0 c0 b3 b3
    const __m128 b2c3 = _mm_shuffle_ps(b, c, _MM_SHUFFLE(3, 3, 2, 2));   // b2 b2 c3 c3
    const __m128 x = _mm_shuffle_ps(a, a0b1, _MM_SHUFFLE(2, 0, 1, 2));   // a2 a1 a0 b1
    const __m128 y = _mm_shuffle_ps(b0a3, c0b3, _MM_SHUFFLE(2, 0, 2, 0));  // b0 a3 c0 b3
    const __m128 z = _mm_shuffle_ps(b2c3, c, _MM_SHUFFLE(1, 2, 2, 0));   // b2 c3 c2 c1
    a = x, b = y, c = z;
}

}  // namespace samples
#endif

/// n bytes as floats.
inline void bytes_to_floats(const std::uint8_t* in, float* out, std::size_t n) {
    std::size_t i = 0;
#if defined(__SSE2__)
    for (; i + 16 <= n; i += 16) {
        __m128 v[4];
        samples::widen(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i)), v);
        for (int k = 0; k < 4; ++k) _mm_storeu_ps(out + i + 4 * k, v[k]);
    }
#endif
    for (; i < n; ++i) out[i] = in[i];
}

/// n floats as bytes, each its sample_to_byte.
inline void floats_to_bytes(const float* in, std::uint8_t* out, std::size_t n) {
    std::size_t i = 0;
#if defined(__SSE2__)
    for (; i + 16 <= n; i += 16) {
        const __m128 v[4] = {_mm_loadu_ps(in + i), _mm_loadu_ps(in + i + 4), _mm_loadu_ps(in + i + 8),
                             _mm_loadu_ps(in + i + 12)};
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), samples::narrow(v));
    }
#endif
    for (; i < n; ++i) out[i] = sample_to_byte(in[i]);
}

/// `pixels` pixels of blue, green, red bytes as red, green, blue floats.
inline void bgr_to_rgb_floats(const std::uint8_t* in, float* out, std::size_t pixels) {
    std::size_t p = 0;
#if defined(__SSE2__)
    for (; p + 16 <= pixels; p += 16) {
        const std::uint8_t* b = in + 3 * p;
        float* o = out + 3 * p;
        __m128 v[12];
        for (int k = 0; k < 3; ++k) samples::widen(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 16 * k)), v + 4 * k);
        for (int g = 0; g < 12; g += 3) samples::swap_outer(v[g], v[g + 1], v[g + 2]);
        for (int k = 0; k < 12; ++k) _mm_storeu_ps(o + 4 * k, v[k]);
    }
#endif
    for (; p < pixels; ++p) {
        out[3 * p] = in[3 * p + 2];
        out[3 * p + 1] = in[3 * p + 1];
        out[3 * p + 2] = in[3 * p];
    }
}

/// `pixels` pixels of red, green, blue floats as blue, green, red bytes,
/// each its sample_to_byte.
inline void rgb_floats_to_bgr(const float* in, std::uint8_t* out, std::size_t pixels) {
    std::size_t p = 0;
#if defined(__SSE2__)
    for (; p + 16 <= pixels; p += 16) {
        const float* f = in + 3 * p;
        std::uint8_t* o = out + 3 * p;
        __m128 v[12];
        for (int k = 0; k < 12; ++k) v[k] = _mm_loadu_ps(f + 4 * k);
        for (int g = 0; g < 12; g += 3) samples::swap_outer(v[g], v[g + 1], v[g + 2]);
        for (int k = 0; k < 3; ++k) _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 16 * k), samples::narrow(v + 4 * k));
    }
#endif
    for (; p < pixels; ++p) {
        out[3 * p] = sample_to_byte(in[3 * p + 2]);
        out[3 * p + 1] = sample_to_byte(in[3 * p + 1]);
        out[3 * p + 2] = sample_to_byte(in[3 * p]);
    }
}

/// True when each of `pixels` pixels of three bytes has three equal bytes.
inline bool equal_triples(const std::uint8_t* in, std::size_t pixels) {
    std::size_t p = 0;
#if defined(__SSE2__)
    // Byte k is compared with byte k + 1 where k is not the last of its
    // pixel; 16 pixels are 48 bytes, three vectors, whose masks repeat. The
    // shifted loads read one byte past the 16 pixels, so one more pixel
    // must follow.
    const __m128i last[3] = {
        _mm_setr_epi8(0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0),
        _mm_setr_epi8(0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0),
        _mm_setr_epi8(-1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1)};
    for (; p + 17 <= pixels; p += 16) {
        const std::uint8_t* b = in + 3 * p;
        for (int k = 0; k < 3; ++k) {
            const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 16 * k));
            const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 16 * k + 1));
            if (_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(here, next), last[k])) != 0xFFFF) return false;
        }
    }
#endif
    for (; p < pixels; ++p)
        if (in[3 * p] != in[3 * p + 1] || in[3 * p + 1] != in[3 * p + 2]) return false;
    return true;
}

}  // namespace kalvio::detail

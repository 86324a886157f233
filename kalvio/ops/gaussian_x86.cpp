// The x86 kernels of the Gaussian filters: SSE2, AVX2 and AVX-512, chosen at
// run time.

// The recursion takes and returns GCC vectors by value. Its functions are
// always inlined into the kernels compiled for one instruction set, so the
// calling convention GCC warns about never applies.
#pragma GCC diagnostic ignored "-Wpsabi"

#include "ops/gaussian_kernels_p.h"
#include "ops/gaussian_recursion_p.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <emmintrin.h>

namespace kalvio::detail {
namespace {

// Moves blocks of rows in and out of the transposed layout with SSE, 4 x 4
// tiles at a time.
struct SseTiles {
    // Copies column c of the L rows into xt[c * L + r].
    template <int L>
    [[gnu::always_inline]] static void in(const float* const rows[L], int n, float* xt) {
        std::ptrdiff_t c = 0;
        for (; c + 4 <= n; c += 4)
            for (int r = 0; r < L; r += 4) {
                __m128 a = _mm_loadu_ps(rows[r] + c), b = _mm_loadu_ps(rows[r + 1] + c);
                __m128 d = _mm_loadu_ps(rows[r + 2] + c), e = _mm_loadu_ps(rows[r + 3] + c);
                _MM_TRANSPOSE4_PS(a, b, d, e);
                float* o = xt + c * L + r;
                _mm_storeu_ps(o, a);
                _mm_storeu_ps(o + L, b);
                _mm_storeu_ps(o + 2 * L, d);
                _mm_storeu_ps(o + 3 * L, e);
            }
        for (; c < n; ++c)
            for (int r = 0; r < L; ++r) xt[c * L + r] = rows[r][c];
    }

    // Writes p[c * L + r] to rows[r][c] for the first `count` rows. With
    // `stream`, rows on 16-byte boundaries are written past the cache.
    template <int L>
    [[gnu::always_inline]] static void out(const float* p, int n, float* const rows[L], int count,
                                           bool stream) {
        for (int r = 0; r < count; r += 4) {
            std::ptrdiff_t c = 0;
            if (r + 4 <= count) {
                bool aligned = true;
                for (int i = r; i < r + 4; ++i)
                    aligned = aligned && reinterpret_cast<std::uintptr_t>(rows[i]) % 16 == 0;
                const auto tile = [&](auto put) {
                    for (; c + 4 <= n; c += 4) {
                        const float* q = p + c * L + r;
                        __m128 a = _mm_loadu_ps(q), b = _mm_loadu_ps(q + L);
                        __m128 d = _mm_loadu_ps(q + 2 * L), e = _mm_loadu_ps(q + 3 * L);
                        _MM_TRANSPOSE4_PS(a, b, d, e);
                        put(rows[r] + c, a);
                        put(rows[r + 1] + c, b);
                        put(rows[r + 2] + c, d);
                        put(rows[r + 3] + c, e);
                    }
                };
                if (stream && aligned)
                    tile([](float* o, __m128 v) { _mm_stream_ps(o, v); });
                else
                    tile([](float* o, __m128 v) { _mm_storeu_ps(o, v); });
            }
            for (int i = r; i < r + 4 && i < count; ++i)
                for (std::ptrdiff_t cc = c; cc < n; ++cc) rows[i][cc] = p[cc * L + i];
        }
    }

    // Streamed stores are weakly ordered: make them visible before returning.
    [[gnu::always_inline]] static void finish(bool stream) {
        if (stream) _mm_sfence();
    }
};

// The same source is compiled for SSE2 (every x86-64) and, chosen at run
// time, for AVX2 and AVX-512 with wider vectors; none of them uses fused
// multiply-adds, so all give the same bits.

typedef float Vec4 __attribute__((vector_size(16)));
typedef float Vec8 __attribute__((vector_size(32)));
typedef float Vec16 __attribute__((vector_size(64)));

template <bool Half>
void rows_sse2(const Coefficients& k, const float* const* src, float* const* dst, int nrows,
               int ncols, float* xt, float* p, bool stream) {
    filter_rows<Vec4, 2, Half, SseTiles>(k, src, dst, nrows, ncols, xt, p, stream);
}

template <bool Half>
void columns_sse2(const Coefficients& k, const float* const* rows, float* const* dst, int nrows,
                  int ncols, const StripScratch& scratch) {
    filter_columns<Vec4, Half>(k, rows, dst, nrows, ncols, scratch);
}

template <bool Half>
__attribute__((target("avx2"))) void rows_avx2(const Coefficients& k, const float* const* src,
                                               float* const* dst, int nrows, int ncols, float* xt,
                                               float* p, bool stream) {
    filter_rows<Vec8, 1, Half, SseTiles>(k, src, dst, nrows, ncols, xt, p, stream);
}

template <bool Half>
__attribute__((target("avx2"))) void columns_avx2(const Coefficients& k, const float* const* rows,
                                                  float* const* dst, int nrows, int ncols,
                                                  const StripScratch& scratch) {
    filter_columns<Vec8, Half>(k, rows, dst, nrows, ncols, scratch);
}

template <bool Half>
__attribute__((target("avx512f"))) void rows_avx512(const Coefficients& k,
                                                    const float* const* src, float* const* dst,
                                                    int nrows, int ncols, float* xt, float* p,
                                                    bool stream) {
    filter_rows<Vec16, 1, Half, SseTiles>(k, src, dst, nrows, ncols, xt, p, stream);
}

template <bool Half>
__attribute__((target("avx512f"))) void columns_avx512(const Coefficients& k,
                                                       const float* const* rows,
                                                       float* const* dst, int nrows, int ncols,
                                                       const StripScratch& scratch) {
    filter_columns<Vec16, Half>(k, rows, dst, nrows, ncols, scratch);
}

enum class Simd { sse2, avx2, avx512 };

// The widest instruction set the processor has, lowered to the one named by
// the environment variable KALVIO_SIMD ("sse2", "avx2"), if set. The
// variable is read on every call, so that a test can compare the paths.
Simd simd() {
    static const Simd best = [] {
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx512f")) return Simd::avx512;
        if (__builtin_cpu_supports("avx2")) return Simd::avx2;
        return Simd::sse2;
    }();
    const char* limit = std::getenv("KALVIO_SIMD");
    if (limit && std::strcmp(limit, "sse2") == 0) return Simd::sse2;
    if (limit && std::strcmp(limit, "avx2") == 0 && best == Simd::avx512) return Simd::avx2;
    return best;
}

}  // namespace

Kernels x86_kernels(bool half) {
    switch (simd()) {
    case Simd::avx512:
        return half ? Kernels{rows_avx512<true>, columns_avx512<true>}
                    : Kernels{rows_avx512<false>, columns_avx512<false>};
    case Simd::avx2:
        return half ? Kernels{rows_avx2<true>, columns_avx2<true>}
                    : Kernels{rows_avx2<false>, columns_avx2<false>};
    default:
        return half ? Kernels{rows_sse2<true>, columns_sse2<true>}
                    : Kernels{rows_sse2<false>, columns_sse2<false>};
    }
}

}  // namespace kalvio::detail

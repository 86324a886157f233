// The portable kernels of the Gaussian filters: the recursion on single
// floats, for machines (or builds) without the x86 kernels.
#include "ops/gaussian_kernels_p.h"
#include "ops/gaussian_recursion_p.h"

#include <cstddef>

namespace kalvio::detail {
namespace {

// Moves blocks of rows in and out of the transposed layout one float at a
// time.
struct PlainTiles {
    // Copies column c of the L rows into xt[c * L + r].
    template <int L>
    static void in(const float* const rows[L], int n, float* xt) {
        for (std::ptrdiff_t c = 0; c < n; ++c)
            for (int r = 0; r < L; ++r) xt[c * L + r] = rows[r][c];
    }

    // Writes p[c * L + r] to rows[r][c] for the first `count` rows; every
    // write goes through the cache.
    template <int L>
    static void out(const float* p, int n, float* const rows[L], int count, bool) {
        for (int r = 0; r < count; ++r)
            for (std::ptrdiff_t c = 0; c < n; ++c) rows[r][c] = p[c * L + r];
    }

    static void finish(bool) {}
};

// Along x: eight rows of single floats side by side. Along y: one column of
// the strip at a time.
template <bool Half>
void rows_portable(const Coefficients& k, const float* const* src, float* const* dst, int nrows,
                   int ncols, float* xt, float* p, bool stream) {
    filter_rows<float, 8, Half, PlainTiles>(k, src, dst, nrows, ncols, xt, p, stream);
}

template <bool Half>
void columns_portable(const Coefficients& k, const float* const* rows, float* const* dst,
                      int nrows, int ncols, const StripScratch& scratch) {
    filter_columns<float, Half>(k, rows, dst, nrows, ncols, scratch);
}

}  // namespace

Kernels portable_kernels(bool half) {
    return half ? Kernels{rows_portable<true>, columns_portable<true>}
                : Kernels{rows_portable<false>, columns_portable<false>};
}

}  // namespace kalvio::detail

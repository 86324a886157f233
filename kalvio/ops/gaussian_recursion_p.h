// The recursion of the Gaussian filters, written once for every kernel: one
// step of each pass, the filter along y over whole rows and the filter along
// x over transposed blocks of rows. V is float or a GCC vector of floats;
// each kernel file instantiates these templates for its instruction set.
#pragma once

#include "ops/gaussian_kernels_p.h"

#include <cstddef>
#include <cstring>

namespace kalvio::detail {

// ---------------------------------------------------------------------------
// One step of each pass. V is float or a GCC vector of floats; the sums are
// evaluated left to right exactly as written (the build forbids contraction
// into fused multiply-adds), so every lane of a vector computes the bits the
// scalar code computes.

template <class V>
[[gnu::always_inline]] inline V splat(float value) {
    if constexpr (sizeof(V) == sizeof(float)) {
        return value;
    } else {
        V v;
        for (unsigned i = 0; i < sizeof(V) / sizeof(float); ++i) v[i] = value;
        return v;
    }
}

// The coefficients repeated in every lane. The filters keep their own copy
// in a local object: coefficients read through a reference could, as far as
// the compiler knows, change with every float stored, and would be reloaded
// after each store.
template <class V>
struct Splat {
    V n0, n1, n2, n3, d1, d2, d3, d4, m1, m2, m3, m4, e1, e2, e3, e4, divisor;
    [[gnu::always_inline]] explicit Splat(const Coefficients& k)
        : n0(splat<V>(k.n0)), n1(splat<V>(k.n1)), n2(splat<V>(k.n2)), n3(splat<V>(k.n3)),
          d1(splat<V>(k.d1)), d2(splat<V>(k.d2)), d3(splat<V>(k.d3)), d4(splat<V>(k.d4)),
          m1(splat<V>(k.m1)), m2(splat<V>(k.m2)), m3(splat<V>(k.m3)), m4(splat<V>(k.m4)),
          e1(splat<V>(k.e1)), e2(splat<V>(k.e2)), e3(splat<V>(k.e3)), e4(splat<V>(k.e4)),
          divisor(splat<V>(k.divisor)) {}
};

template <class V>
[[gnu::always_inline]] inline V causal_step(const Splat<V>& k, const V& x0, const V& x1,
                                            const V& x2, const V& x3, const V& y1, const V& y2,
                                            const V& y3, const V& y4) {
    return k.n0 * x0 + k.n1 * x1 + k.n2 * x2 + k.n3 * x3 - k.d1 * y1 - k.d2 * y2 - k.d3 * y3 -
           k.d4 * y4;
}

template <class V>
[[gnu::always_inline]] inline V anticausal_step(const Splat<V>& k, const V& x1, const V& x2,
                                                const V& x3, const V& x4, const V& y1,
                                                const V& y2, const V& y3, const V& y4) {
    return k.m1 * x1 + k.m2 * x2 + k.m3 * x3 + k.m4 * x4 - k.e1 * y1 - k.e2 * y2 - k.e3 * y3 -
           k.e4 * y4;
}

// The output of both passes; the derivatives fold their factor 0.5 in here,
// which gives the same bits as a separate pass over the result.
template <bool Half, class V>
[[gnu::always_inline]] inline V combine(const Splat<V>& k, const V& causal, const V& anticausal) {
    V out = (causal + anticausal) / k.divisor;
    if constexpr (Half) out = out * splat<V>(0.5f);
    return out;
}

template <class V>
[[gnu::always_inline]] inline V load(const float* p) {
    V v;
    std::memcpy(&v, p, sizeof(V));
    return v;
}

template <class V>
[[gnu::always_inline]] inline void store(float* p, const V& v) {
    std::memcpy(p, &v, sizeof(V));
}

// ---------------------------------------------------------------------------
// Along y: the columns are taken a strip of kStrip at a time, and each step
// of the recursion runs over a whole row of the strip, W columns per
// vector, so plain loops over the strip carry many independent recursions
// side by side. The causal pass runs down the strip into scratch that holds
// the whole strip, which stays in the caches (kStrip floats by the picture's
// height); the anti-causal pass then runs back up, combining each row with
// the causal one and writing the output once. So every source row is read
// from memory about once, every output row written once, and each pass
// computed once.
//
// The output may replace the source (smoothing and the derivatives filter
// their intermediate image in place, which saves allocating a second one):
// the anti-causal pass reads the source row it is at before writing the
// output there, and keeps the four latest source rows for the rows above.

// R rows are taken at a time, each vector of columns carried through all of
// them while in registers, so that every source and scratch row is loaded
// about once per block rather than four times per row.
template <class V, int R, bool Half>
struct StripFilter {
    static_assert(R >= 1 && R <= 4);
    static constexpr int kAhead = 12;  // rows between a prefetch and its use

    const Splat<V> k;
    const Splat<float> k1;
    const float* const* rows;  // padded source rows, rows[-kPad] .. rows[n - 1 + kPad]
    float* const* dst;         // output rows; may be the source rows
    int n;
    const StripScratch& scratch;

    // The causal pass over B rows from row i, columns [c, end): x[t] (t = 0
    // .. B + 2) is source row i - 3 + t, y[t] (t = 0 .. 3) causal row i - 4 +
    // t, out[r] causal row i + r.
    template <int B, class U>
    [[gnu::always_inline]] static void causal_columns(const Splat<U>& k, const float* const x[B + 3],
                                                      const float* const y[4], float* const out[B],
                                                      int c, int end) {
        constexpr int W = sizeof(U) / sizeof(float);
        for (; c + W <= end; c += W) {
            U xv[B + 3];
            U yv[B + 4];
#pragma GCC unroll 8
            for (int t = 0; t < B + 3; ++t) xv[t] = load<U>(x[t] + c);
#pragma GCC unroll 4
            for (int t = 0; t < 4; ++t) yv[t] = load<U>(y[t] + c);
#pragma GCC unroll 4
            for (int r = 0; r < B; ++r) {
                yv[r + 4] = causal_step(k, xv[r + 3], xv[r + 2], xv[r + 1], xv[r], yv[r + 3], yv[r + 2],
                                        yv[r + 1], yv[r]);
                store(out[r] + c, yv[r + 4]);
            }
        }
    }

    // The anti-causal pass over B rows up from row i, columns [c, end),
    // listed in the pass's direction: kept[t] and anti[t] (t = 0 .. 3) are
    // the kept source row and the anti-causal row i + 4 - t, source[r],
    // causal[r] and out[r] (r = 0 .. B - 1) rows i - r. Each output is
    // combined with its causal row; the block's source and anti-causal rows
    // then replace in the ring the rows no longer needed (keep[r], anti_out[r]:
    // the slots of row i - r).
    template <int B, class U>
    [[gnu::always_inline]] static void anticausal_columns(const Splat<U>& k, const float* const kept[4],
                                                          const float* const anti[4],
                                                          const float* const source[B],
                                                          const float* const causal[B],
                                                          float* const keep[B], float* const anti_out[B],
                                                          float* const out[B], int c, int end) {
        constexpr int W = sizeof(U) / sizeof(float);
        for (; c + W <= end; c += W) {
            U xv[B + 4];
            U yv[B + 4];
#pragma GCC unroll 4
            for (int t = 0; t < 4; ++t) {
                xv[t] = load<U>(kept[t] + c);
                yv[t] = load<U>(anti[t] + c);
            }
#pragma GCC unroll 4
            for (int r = 0; r < B; ++r) xv[r + 4] = load<U>(source[r] + c);
#pragma GCC unroll 4
            for (int r = 0; r < B; ++r) {
                yv[r + 4] = anticausal_step(k, xv[r + 3], xv[r + 2], xv[r + 1], xv[r], yv[r + 3],
                                            yv[r + 2], yv[r + 1], yv[r]);
                store(out[r] + c, combine<Half>(k, load<U>(causal[r] + c), yv[r + 4]));
            }
#pragma GCC unroll 4
            for (int r = 0; r < B; ++r) {
                store(keep[r] + c, xv[r + 4]);
                store(anti_out[r] + c, yv[r + 4]);
            }
        }
    }

    // Asks for the strip's part of a row before it is needed: the rows of a
    // strip lie a picture row apart, too far for the processor to guess the
    // next one in time.
    [[gnu::always_inline]] static void prefetch(const float* row, int width, bool write) {
        for (int c = 0; c < width; c += 16) {
            if (write)
                __builtin_prefetch(row + c, 1, 3);
            else
                __builtin_prefetch(row + c, 0, 3);
        }
    }

    // Causal row i of the strip, i >= 0; causal_row also takes the rows
    // before the first, whose outputs are 0.
    [[gnu::always_inline]] float* causal_at(int i) const {
        return scratch.causal + static_cast<std::size_t>(i) * scratch.stride;
    }
    [[gnu::always_inline]] const float* causal_row(int i) const { return i < 0 ? scratch.zero : causal_at(i); }

    template <int B>
    [[gnu::always_inline]] void causal_block(int i, int c0, int width) const {
        constexpr int W = sizeof(V) / sizeof(float);
        const float* x[B + 3];
        const float* y[4];
        float* out[B];
        for (int t = 0; t < B + 3; ++t) x[t] = rows[i - 3 + t] + c0;
        for (int t = 0; t < 4; ++t) y[t] = causal_row(i - 4 + t);
        for (int r = 0; r < B; ++r) out[r] = causal_at(i + r);
        for (int r = 0; r < B; ++r)
            if (i + r + kAhead < n) prefetch(rows[i + r + kAhead] + c0, width, false);
        const int vector_end = width - width % W;
        causal_columns<B>(k, x, y, out, 0, vector_end);
        causal_columns<B>(k1, x, y, out, vector_end, width);
    }

    template <int B>
    [[gnu::always_inline]] void anticausal_block(int i, int c0, int width) const {
        constexpr int W = sizeof(V) / sizeof(float);
        const float* kept[4];
        const float* anti[4];
        const float* source[B];
        const float* causal[B];
        float* keep[B];
        float* anti_out[B];
        float* out[B];
        for (int t = 0; t < 4; ++t) {
            kept[t] = scratch.kept[(i + 4 - t) % 4];
            anti[t] = scratch.anti[(i + 4 - t) % 4];
        }
        for (int r = 0; r < B; ++r) {
            source[r] = rows[i - r] + c0;
            causal[r] = causal_at(i - r);
            keep[r] = scratch.kept[(i - r) % 4];
            anti_out[r] = scratch.anti[(i - r) % 4];
            out[r] = dst[i - r] + c0;
            if (i - r >= kAhead) {
                prefetch(rows[i - r - kAhead] + c0, width, false);
                prefetch(dst[i - r - kAhead] + c0, width, true);
            }
        }
        const int vector_end = width - width % W;
        anticausal_columns<B>(k, kept, anti, source, causal, keep, anti_out, out, 0, vector_end);
        anticausal_columns<B>(k1, kept, anti, source, causal, keep, anti_out, out, vector_end, width);
    }

    // Filters columns [c0, c0 + width) of the rows, width <= kStrip.
    [[gnu::always_inline]] void strip(int c0, int width) const {
        int i = 0;
        for (; i + R <= n; i += R) causal_block<R>(i, c0, width);
        for (; i < n; ++i) causal_block<1>(i, c0, width);
        // Past the last row the source repeats row n - 1 and the anti-causal
        // outputs are 0.
        for (int t = 0; t < 4; ++t) {
            std::memcpy(scratch.kept[t], rows[n - 1] + c0, sizeof(float) * static_cast<std::size_t>(width));
            std::memset(scratch.anti[t], 0, sizeof(float) * static_cast<std::size_t>(width));
        }
        i = n - 1;
        for (; i - R + 1 >= 0; i -= R) anticausal_block<R>(i, c0, width);
        for (; i >= 0; --i) anticausal_block<1>(i, c0, width);
    }
};

// Filters columns [0, ncols) along y, a strip at a time, R rows a block.
template <class V, int R, bool Half>
[[gnu::always_inline]] inline void filter_columns(const Coefficients& coefficients,
                                                  const float* const* rows, float* const* dst,
                                                  int nrows, int ncols, const StripScratch& scratch) {
    const StripFilter<V, R, Half> filter{Splat<V>(coefficients), Splat<float>(coefficients), rows, dst,
                                      nrows, scratch};
    for (int c0 = 0; c0 < ncols; c0 += kStrip)
        filter.strip(c0, ncols - c0 < kStrip ? ncols - c0 : kStrip);
}

// ---------------------------------------------------------------------------
// Along x: blocks of L rows are transposed into a scratch buffer xt, in which
// "line" c holds column c of every row of the block, L consecutive floats.
// Each step of the recursion then handles one column of all the rows, one
// row per vector lane, and the result is transposed back. The causal pass
// walks the columns forward while the anti-causal pass walks them backward
// in the same loop: the two are independent, and running both keeps more
// arithmetic in flight than the latency of one recursion allows. In the
// first half of the loop the output buffer keeps the causal results of the
// left columns and the anti-causal results of the right ones; in the second
// half each column meets its partner there and is finished.

// The recursion state: the last four outputs of each pass, per vector.
template <class V, int G>
struct LaneState {
    V f[4][G];  // causal outputs of columns i-1 .. i-4
    V b[4][G];  // anti-causal outputs of columns j+1 .. j+4
};

// What a step does with its two outputs.
enum class Use { store_both, combine_middle, combine_both };

// Advances both passes by one column: the causal pass to column i, the
// anti-causal pass to column j. G vectors of W lanes, L = G * W.
template <class V, int G, bool Half, Use U>
[[gnu::always_inline]] inline void lane_step(const Splat<V>& k, const float* xt, float* p,
                                             std::ptrdiff_t i, std::ptrdiff_t j,
                                             LaneState<V, G>& s) {
    constexpr int W = sizeof(V) / sizeof(float);
    constexpr int L = G * W;
    const float* xi = xt + i * L;
    const float* xj = xt + j * L;
    float* pi = p + i * L;
    float* pj = p + j * L;
#pragma GCC unroll 8
    for (int g = 0; g < G; ++g) {
        const int o = g * W;
        const V f = causal_step(k, load<V>(xi + o), load<V>(xi + o - L), load<V>(xi + o - 2 * L),
                                load<V>(xi + o - 3 * L), s.f[0][g], s.f[1][g], s.f[2][g],
                                s.f[3][g]);
        const V b = anticausal_step(k, load<V>(xj + o + L), load<V>(xj + o + 2 * L),
                                    load<V>(xj + o + 3 * L), load<V>(xj + o + 4 * L), s.b[0][g],
                                    s.b[1][g], s.b[2][g], s.b[3][g]);
        if constexpr (U == Use::store_both) {
            store(pi + o, f);
            store(pj + o, b);
        } else if constexpr (U == Use::combine_middle) {
            store(pi + o, combine<Half>(k, f, b));
        } else {
            store(pi + o, combine<Half>(k, f, load<V>(pi + o)));
            store(pj + o, combine<Half>(k, load<V>(pj + o), b));
        }
        s.f[3][g] = s.f[2][g], s.f[2][g] = s.f[1][g], s.f[1][g] = s.f[0][g], s.f[0][g] = f;
        s.b[3][g] = s.b[2][g], s.b[2][g] = s.b[1][g], s.b[1][g] = s.b[0][g], s.b[0][g] = b;
    }
}

// Both passes over the n columns of the transposed block xt (columns -kPad
// .. n - 1 + kPad present); column i of the result goes to p[i * L].
template <class V, int G, bool Half>
[[gnu::always_inline]] inline void filter_block(const Splat<V>& k, const float* xt, float* p,
                                                int n) {
    LaneState<V, G> s;
    for (int t = 0; t < 4; ++t)
        for (int g = 0; g < G; ++g) s.f[t][g] = s.b[t][g] = splat<V>(0.0f);
    const int half = n / 2;
    for (int i = 0; i < half; ++i)
        lane_step<V, G, Half, Use::store_both>(k, xt, p, i, n - 1 - i, s);
    if (n % 2) lane_step<V, G, Half, Use::combine_middle>(k, xt, p, half, half, s);
    for (int i = n - half; i < n; ++i)
        lane_step<V, G, Half, Use::combine_both>(k, xt, p, i, n - 1 - i, s);
}

// Repeats the first and the last of the n columns of the transposed block
// xt into the kPad columns before and after them.
template <int L>
[[gnu::always_inline]] inline void pad_columns(float* xt, int n) {
    for (int p = 1; p <= kPad; ++p) {
        std::memcpy(xt - p * L, xt, sizeof(float) * L);
        std::memcpy(xt + (n - 1 + p) * std::ptrdiff_t{L}, xt + (n - 1) * std::ptrdiff_t{L},
                    sizeof(float) * L);
    }
}

// Along x, L = G * W rows at a time, at most kFilterRows. `xt` holds (ncols +
// 2 kPad) * L floats, `p` ncols * L. `dst` may be `src`: a block is read
// whole before its output is written. With `stream`, the output goes past
// the cache where it can.
//
// `Tiles` moves a block between the rows and the transposed layout, as fits
// the instruction set: Tiles::in<L>(rows, n, xt) copies column c of the L
// rows into xt[c * L + r]; Tiles::out<L>(p, n, rows, count, stream) writes
// p[c * L + r] to rows[r][c] for the first `count` rows, past the cache
// where it can when `stream` is set; Tiles::finish(stream) completes those
// writes before the filter returns.
template <class V, int G, bool Half, class Tiles>
[[gnu::always_inline]] inline void filter_rows(const Coefficients& coefficients,
                                               const float* const* src, float* const* dst,
                                               int nrows, int ncols, float* xt, float* p, bool stream) {
    constexpr int L = G * static_cast<int>(sizeof(V) / sizeof(float));
    static_assert(L <= kFilterRows);
    const Splat<V> k(coefficients);
    for (int r0 = 0; r0 < nrows; r0 += L) {
        const int rows = nrows - r0 < L ? nrows - r0 : L;
        const float* block_in[L];
        float* block_out[L];
        // Lanes past the last row filter a copy of it and are not written.
        for (int r = 0; r < L; ++r) {
            block_in[r] = src[r0 + (r < rows ? r : rows - 1)];
            block_out[r] = r < rows ? dst[r0 + r] : nullptr;
        }
        Tiles::template in<L>(block_in, ncols, xt + kPad * L);
        pad_columns<L>(xt + kPad * L, ncols);
        filter_block<V, G, Half>(k, xt + kPad * L, p, ncols);
        Tiles::template out<L>(p, ncols, block_out, rows, stream);
    }
    Tiles::finish(stream);
}

}  // namespace kalvio::detail

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
//
// Each pass takes one row at a time, its earlier rows read back from memory
// rather than held in registers: every vector of a row is then a recursion
// step of its own, independent of the others, and the processor overlaps
// the long chain of additions of one step (each sum rounded in turn, as
// written) with the next ones. Carrying a vector through several rows in
// registers saves loads, but chains the rows' steps one after the other,
// and was slower on every instruction set measured.
template <class V, bool Half>
struct StripFilter {
    static constexpr int kAhead = 12;  // rows between a prefetch and its use

    const Splat<V> k;
    const Splat<float> k1;
    const float* const* rows;  // padded source rows, rows[-kPad] .. rows[n - 1 + kPad]
    float* const* dst;         // output rows; may be the source rows
    int n;
    const StripScratch& scratch;

    // The causal pass over one row, columns [c, end): x0 .. x3 are source
    // rows i .. i - 3, y1 .. y4 causal rows i - 1 .. i - 4, out causal row i.
    template <class U>
    [[gnu::always_inline]] static void causal_columns(const Splat<U>& k, const float* x0, const float* x1,
                                                      const float* x2, const float* x3, const float* y1,
                                                      const float* y2, const float* y3, const float* y4,
                                                      float* out, int c, int end) {
        constexpr int W = sizeof(U) / sizeof(float);
        for (; c + W <= end; c += W)
            store(out + c, causal_step(k, load<U>(x0 + c), load<U>(x1 + c), load<U>(x2 + c), load<U>(x3 + c),
                                       load<U>(y1 + c), load<U>(y2 + c), load<U>(y3 + c), load<U>(y4 + c)));
    }

    // The anti-causal pass over row i, columns [c, end), combined with the
    // causal row into the output. The kept source rows and anti-causal rows
    // i + 1 .. i + 4 lie in rings of four slots, row r in slot r % 4, and row
    // i takes the slot of row i + 4; S = i % 4. The rings lie kStrip floats
    // apart from `ring` on (kept slots 0 .. 3, then anti-causal slots 0 ..
    // 3), so with S fixed every row is at a fixed distance from one pointer
    // and the loop needs few registers.
    template <int S, class U>
    [[gnu::always_inline]] static void anticausal_columns(const Splat<U>& k, float* ring, const float* source,
                                                          const float* causal, float* out, int c, int end) {
        constexpr int W = sizeof(U) / sizeof(float);
        constexpr int x1 = (S + 1) % 4 * kStrip, x2 = (S + 2) % 4 * kStrip;
        constexpr int x3 = (S + 3) % 4 * kStrip, x4 = S * kStrip;
        constexpr int y1 = 4 * kStrip + x1, y2 = 4 * kStrip + x2, y3 = 4 * kStrip + x3, y4 = 4 * kStrip + x4;
        for (; c + W <= end; c += W) {
            const U x0 = load<U>(source + c);  // before the output may replace it
            const U y0 = anticausal_step(k, load<U>(ring + x1 + c), load<U>(ring + x2 + c), load<U>(ring + x3 + c),
                                         load<U>(ring + x4 + c), load<U>(ring + y1 + c), load<U>(ring + y2 + c),
                                         load<U>(ring + y3 + c), load<U>(ring + y4 + c));
            store(out + c, combine<Half>(k, load<U>(causal + c), y0));
            store(ring + x4 + c, x0);
            store(ring + y4 + c, y0);
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

    // Both passes at row i of the strip.
    [[gnu::always_inline]] void causal_pass(int i, int c0, int width) const {
        constexpr int W = sizeof(V) / sizeof(float);
        if (i + kAhead < n) prefetch(rows[i + kAhead] + c0, width, false);
        const float *x0 = rows[i] + c0, *x1 = rows[i - 1] + c0, *x2 = rows[i - 2] + c0, *x3 = rows[i - 3] + c0;
        const float *y1 = causal_row(i - 1), *y2 = causal_row(i - 2), *y3 = causal_row(i - 3), *y4 = causal_row(i - 4);
        float* out = causal_at(i);
        const int vector_end = width - width % W;
        causal_columns(k, x0, x1, x2, x3, y1, y2, y3, y4, out, 0, vector_end);
        causal_columns(k1, x0, x1, x2, x3, y1, y2, y3, y4, out, vector_end, width);
    }

    template <int S>
    [[gnu::always_inline]] void anticausal_pass(int i, int c0, int width) const {
        constexpr int W = sizeof(V) / sizeof(float);
        if (i >= kAhead) {
            prefetch(rows[i - kAhead] + c0, width, false);
            prefetch(dst[i - kAhead] + c0, width, true);
        }
        const int vector_end = width - width % W;
        anticausal_columns<S>(k, scratch.ring, rows[i] + c0, causal_at(i), dst[i] + c0, 0, vector_end);
        anticausal_columns<S>(k1, scratch.ring, rows[i] + c0, causal_at(i), dst[i] + c0, vector_end, width);
    }

    // Filters columns [c0, c0 + width) of the rows, width <= kStrip.
    [[gnu::always_inline]] void strip(int c0, int width) const {
        for (int i = 0; i < n; ++i) causal_pass(i, c0, width);
        // Past the last row the source repeats row n - 1 and the anti-causal
        // outputs are 0.
        for (int t = 0; t < 4; ++t) {
            std::memcpy(scratch.ring + t * kStrip, rows[n - 1] + c0, sizeof(float) * static_cast<std::size_t>(width));
            std::memset(scratch.ring + (4 + t) * kStrip, 0, sizeof(float) * static_cast<std::size_t>(width));
        }
        for (int i = n - 1; i >= 0; --i) {
            switch (i % 4) {
            case 0: anticausal_pass<0>(i, c0, width); break;
            case 1: anticausal_pass<1>(i, c0, width); break;
            case 2: anticausal_pass<2>(i, c0, width); break;
            default: anticausal_pass<3>(i, c0, width); break;
            }
        }
    }
};

// Filters columns [0, ncols) along y, a strip at a time.
template <class V, bool Half>
[[gnu::always_inline]] inline void filter_columns(const Coefficients& coefficients,
                                                  const float* const* rows, float* const* dst,
                                                  int nrows, int ncols, const StripScratch& scratch) {
    const StripFilter<V, Half> filter{Splat<V>(coefficients), Splat<float>(coefficients), rows, dst, nrows, scratch};
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

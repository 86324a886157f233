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
// Along y: each step of the recursion runs over a whole row at once, W
// columns per vector, so plain loops over the columns carry many independent
// recursions side by side, and the rows are read in order, the access the
// memory system serves best.
//
// Two sweeps keep the memory traffic low. The first runs the causal pass
// down the whole image but keeps only a ring of its latest rows, plus the
// four rows before each boundary between segments of kSegment rows. The
// second takes the segments from the bottom up: the anti-causal pass runs up
// through the segment into a scratch band, then the causal pass, restarted
// from the rows kept at the segment's top boundary, runs down through it
// again and combines each row. A segment's rows are still in the cache when
// the causal pass comes back to them, so the image is read twice and written
// once. The restarted pass repeats exactly the arithmetic of the first, so
// the bits are the same as those of one pass.
//
// The filter may also write over its source (smoothing and the derivatives
// filter their intermediate image in place, which saves allocating a second
// one). It then keeps the boundary rows in scratch, copies each source row of
// the segment before the output replaces it, and hands the first four source
// rows of each segment to the segment above.

// One pass over R rows at once, each vector of columns carried through all
// of them while in registers: the rows are wider than the first-level cache,
// and row by row the recursion would fetch its eight operand rows from
// farther away for every output row.
//
// The rows are listed in the pass's direction: x[t] (t = 0 .. R + 2) is the
// source row that lies 3 - t rows behind the block's first output row, y[t]
// (t = 0 .. 3) the output row 4 - t rows behind it. Output r is then
// computed from x[r + 3] .. x[r] and the four outputs before it, which makes
// one code serve the causal pass (walking down) and the anti-causal pass
// (walking up). Each output goes to `sink(k, r, column, value)`.
template <class V, int R, bool Causal, class Sink>
[[gnu::always_inline]] inline void pass_rows(const Splat<V>& k, const float* const x[R + 3],
                                             const float* const y[4], const Sink& sink, int c,
                                             int end) {
    constexpr int W = sizeof(V) / sizeof(float);
    for (; c + W <= end; c += W) {
        V xv[R + 3];
        V yv[R + 4];
#pragma GCC unroll 16
        for (int t = 0; t < R + 3; ++t) xv[t] = load<V>(x[t] + c);
#pragma GCC unroll 4
        for (int t = 0; t < 4; ++t) yv[t] = load<V>(y[t] + c);
#pragma GCC unroll 8
        for (int r = 0; r < R; ++r) {
            if constexpr (Causal)
                yv[r + 4] = causal_step(k, xv[r + 3], xv[r + 2], xv[r + 1], xv[r], yv[r + 3],
                                        yv[r + 2], yv[r + 1], yv[r]);
            else
                yv[r + 4] = anticausal_step(k, xv[r + 3], xv[r + 2], xv[r + 1], xv[r], yv[r + 3],
                                            yv[r + 2], yv[r + 1], yv[r]);
            sink(k, r, c, yv[r + 4]);
        }
    }
}

// Stores output r into out[r].
template <int R>
struct StoreRows {
    float* out[R];
    template <class V>
    [[gnu::always_inline]] void operator()(const Splat<V>&, int r, int c, const V& v) const {
        store(out[r] + c, v);
    }
};

// Stores the causal output r into keep[r], and its combination with the
// anti-causal row anti[r] into out[r].
template <int R, bool Half>
struct CombineRows {
    float* keep[R];
    const float* anti[R];
    float* out[R];
    template <class V>
    [[gnu::always_inline]] void operator()(const Splat<V>& k, int r, int c, const V& v) const {
        store(keep[r] + c, v);
        store(out[r] + c, combine<Half>(k, v, load<V>(anti[r] + c)));
    }
};

// Runs pass_rows over the columns: vectors of V, then single floats.
template <class V, int R, bool Causal, class Sink>
[[gnu::always_inline]] inline void pass_row_block(const Splat<V>& k, const Splat<float>& k1,
                                                  const float* const x[R + 3],
                                                  const float* const y[4], const Sink& sink,
                                                  int ncols) {
    constexpr int W = sizeof(V) / sizeof(float);
    const int vector_end = ncols - ncols % W;
    pass_rows<V, R, Causal>(k, x, y, sink, 0, vector_end);
    pass_rows<float, R, Causal>(k1, x, y, sink, vector_end, ncols);
}

// The two sweeps along y; R rows at a time, single rows where fewer remain.
template <class V, int R, bool Half, bool InPlace>
struct ColumnFilter {
    static_assert(kSegment >= 4 && kSegment % R == 0 && R + 4 <= kRing);

    const Splat<V> k;
    const Splat<float> k1;
    const float* const* rows;  // padded source rows
    float* const* dst;         // output rows; the source rows when InPlace
    int n, ncols;
    float* zero;                // ncols zeros: the outputs outside the image, only read
    float* const* ring;         // kRing causal rows
    float* const* band;         // kSegment + 4 anti-causal rows
    float* const* kept;         // InPlace: four causal rows per segment boundary
    float* const* source_ring;  // InPlace: kRing copies of source rows
    float* const* source_carry; // InPlace: the first four source rows of the segment below
    int s = 0, e = 0;           // the segment of the second sweep

    // Where the first sweep leaves causal row i: the four rows before each
    // segment boundary are kept (in the output rows, which are written last,
    // or in scratch when the output replaces the source), the others go to
    // the ring.
    [[gnu::always_inline]] float* causal_row(int i) const {
        if (i < 0) return zero;
        const int t = i % kSegment - (kSegment - 4);
        if (t >= 0 && (i / kSegment + 1) * kSegment < n)
            return InPlace ? kept[i / kSegment * 4 + t] : dst[i];
        return ring[i % kRing];
    }

    // Where the second sweep finds causal row i: rows above the segment
    // where the first sweep kept them, the segment's own in the ring.
    [[gnu::always_inline]] float* causal_again_row(int i) const {
        return i < s ? causal_row(i) : ring[i % kRing];
    }

    // Anti-causal row i. The band holds the segment's rows and the first
    // four of the segment below, which the segment reads first and replaces
    // last.
    [[gnu::always_inline]] float* anti_row(int i) const {
        return i >= n ? zero : band[i % (kSegment + 4)];
    }

    // Source row i for the anti-causal pass of the segment. In place, the
    // rows below the segment already hold outputs; their sources were
    // handed up.
    [[gnu::always_inline]] const float* source_below(int i) const {
        if (InPlace && i >= e && e < n) return source_carry[i - e];
        return rows[i];
    }

    // Source row i for the causal pass of the segment. In place, the
    // segment's rows are read from the copies taken before each block;
    // before the top of the image that is the copy of row 0.
    [[gnu::always_inline]] const float* source_above(int i) const {
        if (!InPlace) return rows[i];
        if (i >= s) return source_ring[i % kRing];
        return s == 0 ? source_ring[0] : rows[i];
    }

    template <int B>
    [[gnu::always_inline]] void causal_block(int i) const {
        const float* x[B + 3];
        const float* y[4];
        StoreRows<B> sink;
        for (int t = 0; t < B + 3; ++t) x[t] = rows[i - 3 + t];
        for (int t = 0; t < 4; ++t) y[t] = causal_row(i - 4 + t);
        for (int r = 0; r < B; ++r) sink.out[r] = causal_row(i + r);
        pass_row_block<V, B, true>(k, k1, x, y, sink, ncols);
    }

    template <int B>
    [[gnu::always_inline]] void anticausal_block(int i) const {
        const float* x[B + 3];
        const float* y[4];
        StoreRows<B> sink;
        for (int t = 0; t < B + 3; ++t) x[t] = source_below(i + 4 - t);
        for (int t = 0; t < 4; ++t) y[t] = anti_row(i + 4 - t);
        for (int r = 0; r < B; ++r) sink.out[r] = anti_row(i - r);
        pass_row_block<V, B, false>(k, k1, x, y, sink, ncols);
    }

    template <int B>
    [[gnu::always_inline]] void combine_block(int i) const {
        if constexpr (InPlace) {
            for (int r = 0; r < B; ++r)
                std::memcpy(source_ring[(i + r) % kRing], rows[i + r], sizeof(float) * ncols);
        }
        const float* x[B + 3];
        const float* y[4];
        CombineRows<B, Half> sink;
        for (int t = 0; t < B + 3; ++t) x[t] = source_above(i - 3 + t);
        for (int t = 0; t < 4; ++t) y[t] = causal_again_row(i - 4 + t);
        for (int r = 0; r < B; ++r) {
            sink.keep[r] = ring[(i + r) % kRing];
            sink.anti[r] = anti_row(i + r);
            sink.out[r] = dst[i + r];
        }
        pass_row_block<V, B, true>(k, k1, x, y, sink, ncols);
    }

    [[gnu::always_inline]] void run() {
        for (int i = 0; i < n;) {
            if (n - i >= R) {
                causal_block<R>(i);
                i += R;
            } else {
                causal_block<1>(i);
                i += 1;
            }
        }
        for (s = (n - 1) / kSegment * kSegment; s >= 0; s -= kSegment) {
            e = n - s < kSegment ? n : s + kSegment;
            for (int i = e - 1; i >= s;) {
                if (i - s + 1 >= R) {
                    anticausal_block<R>(i);
                    i -= R;
                } else {
                    anticausal_block<1>(i);
                    i -= 1;
                }
            }
            if (InPlace && s > 0) {
                for (int t = 0; t < 4; ++t)
                    std::memcpy(source_carry[t], rows[s + t], sizeof(float) * ncols);
            }
            for (int i = s; i < e;) {
                if (e - i >= R) {
                    combine_block<R>(i);
                    i += R;
                } else {
                    combine_block<1>(i);
                    i += 1;
                }
            }
        }
    }
};

template <class V, int R, bool Half>
[[gnu::always_inline]] inline void filter_columns(const Coefficients& coefficients,
                                                  const float* const* rows, float* const* dst,
                                                  int nrows, int ncols,
                                                  const ColumnScratch& scratch, bool in_place) {
    if (in_place) {
        ColumnFilter<V, R, Half, true> filter{
            Splat<V>(coefficients), Splat<float>(coefficients), rows, dst, nrows, ncols,
            scratch.zero, scratch.ring, scratch.band, scratch.kept, scratch.source_ring,
            scratch.source_carry};
        filter.run();
    } else {
        ColumnFilter<V, R, Half, false> filter{
            Splat<V>(coefficients), Splat<float>(coefficients), rows, dst, nrows, ncols,
            scratch.zero, scratch.ring, scratch.band, nullptr, nullptr, nullptr};
        filter.run();
    }
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

// Along x, G * W = kFilterRows rows at a time. `xt` holds (ncols + 2 kPad) *
// kFilterRows floats, `p` ncols * kFilterRows. `dst` may be `src`: a block is read
// whole before its output is written.
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
                                               int nrows, int ncols, float* xt, float* p) {
    // Larger than the caches of a few cores: an image that would otherwise
    // first be read in, line by line, only to be overwritten.
    const bool stream = static_cast<std::size_t>(nrows) * static_cast<std::size_t>(ncols) >
                        (std::size_t{4} << 20);
    constexpr int L = G * static_cast<int>(sizeof(V) / sizeof(float));
    static_assert(L == kFilterRows);
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

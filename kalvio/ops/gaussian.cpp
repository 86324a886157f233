// Recursive Gaussian filtering: coefficient tables, the line and image
// filters, smoothed derivatives, smoothing and the linear stretch.
#include <kalvio/arrays.h>
#include <kalvio/gaussian.h>
#include <kalvio/image.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <emmintrin.h>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>
#ifdef __linux__
#include <sys/mman.h>
#endif

// The vector helpers below take and return GCC vectors by value. They are
// always inlined into the functions compiled for one instruction set, so the
// calling convention GCC warns about never applies.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace {

// ---------------------------------------------------------------------------
// Coefficients

// The constants of one recursive approximation, each exactly as the float
// literal that names it; the formulas use some sums and multiples as literals
// of their own, which need not equal the same sum of the rounded parts.
struct Design {
    float a0, a1, b0, b1, w0, w1, c0, c1;
    float c0_plus_2a0, twice_c0_plus_a0, twice_b0, twice_b1;
};

constexpr Design kGaussian = {1.68f,  3.735f,  1.783f,  1.723f, 0.6318f, 1.997f,
                              -0.6803f, -0.2598f, 2.6797f, 0.3194f, 3.566f, 3.446f};
constexpr Design kDerivative = {-0.6472f, -4.531f, 1.527f,  1.516f, 0.6719f, 2.072f,
                                0.6494f,  0.9557f, -0.645f, 0.6516f, 3.054f, 3.032f};

// The part both tables share, in double precision: n0..n3 and d1..d4.
struct Recursion {
    double n[4];
    double d[5];  // d[1]..d[4]
    double s0, c0_cos, e_b0, e_2b0;
};

Recursion recursion_of(const Design& k, float sigma) {
    const double s = sigma;
    const double a0 = k.a0, a1 = k.a1, b0 = k.b0, b1 = k.b1, c0 = k.c0, c1 = k.c1;
    const double b0x2 = k.twice_b0, b1x2 = k.twice_b1;
    const double S0 = std::sin(k.w0 / s), C0 = std::cos(k.w0 / s);
    const double S1 = std::sin(k.w1 / s), C1 = std::cos(k.w1 / s);
    const auto E = [s](double x) { return std::exp(x / s); };

    Recursion r{};
    r.n[0] = a0 + c0;
    r.n[1] = E(-b1) * (c1 * S1 - double(k.c0_plus_2a0) * C1) +
             E(-b0) * (a1 * S0 - double(k.twice_c0_plus_a0) * C0);
    r.n[2] = 2 * E(-b0 - b1) * ((a0 + c0) * C1 * C0 - C1 * a1 * S0 - C0 * c1 * S1) +
             c0 * E(-b0x2) + a0 * E(-b1x2);
    r.n[3] = E(-b1 - b0x2) * (c1 * S1 - c0 * C1) + E(-b0 - b1x2) * (a1 * S0 - a0 * C0);
    r.d[1] = -2 * E(-b1) * C1 - 2 * E(-b0) * C0;
    r.d[2] = 4 * C1 * C0 * E(-b0 - b1) + E(-b1x2) + E(-b0x2);
    r.d[3] = -2 * C0 * E(-b0 - b1x2) - 2 * C1 * E(-b1 - b0x2);
    r.d[4] = E(-b0x2 - b1x2);
    r.s0 = S0;
    r.c0_cos = C0;
    r.e_b0 = E(b0);
    r.e_2b0 = E(b0x2);
    return r;
}

// Stores the recursion, the anti-causal numerator m1..m4 (already signed)
// and the divisor in the table's layout; rows 0 to 3 only.
void store_table(const Recursion& r, const double m[5], double divisor, float** table) {
    table[0][0] = static_cast<float>(r.n[0]);
    for (int i = 1; i <= 3; ++i) table[0][i] = static_cast<float>(r.n[i]);
    for (int i = 1; i <= 4; ++i) {
        table[1][i] = static_cast<float>(r.d[i]);
        table[2][i] = static_cast<float>(m[i]);
        table[3][i] = static_cast<float>(r.d[i]);
    }
    table[2][0] = static_cast<float>(divisor);
}

// The filter's coefficients as the image filters read them from a table.
struct Coefficients {
    float n0, n1, n2, n3;  // causal numerator
    float d1, d2, d3, d4;  // causal denominator
    float m1, m2, m3, m4;  // anti-causal numerator
    float e1, e2, e3, e4;  // anti-causal denominator
    float divisor;         // of the sum of both passes
};

Coefficients read_table(const float* const* t) {
    return {t[0][0], t[0][1], t[0][2], t[0][3], t[1][1], t[1][2], t[1][3], t[1][4], t[2][1],
            t[2][2], t[2][3], t[2][4], t[3][1], t[3][2], t[3][3], t[3][4], t[2][0]};
}

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

// The line filter: `line` in place, `causal` holds n floats of scratch.
// Samples before the start are line[0], past the end line[n - 1]; outputs
// outside the line are 0. The recursion keeps its neighbours in variables,
// so it never reads outside the line, whatever n >= 1.
void filter_line(const Coefficients& coefficients, float* line, float* causal, int n) {
    const Splat<float> k(coefficients);
    float x1 = line[0], x2 = x1, x3 = x1;
    float y1 = 0, y2 = 0, y3 = 0, y4 = 0;
    for (int i = 0; i < n; ++i) {
        const float x0 = line[i];
        const float y0 = causal_step(k, x0, x1, x2, x3, y1, y2, y3, y4);
        causal[i] = y0;
        x3 = x2, x2 = x1, x1 = x0;
        y4 = y3, y3 = y2, y2 = y1, y1 = y0;
    }
    float x4 = line[n - 1];
    x1 = x2 = x3 = x4;
    y1 = y2 = y3 = y4 = 0;
    for (int i = n - 1; i >= 0; --i) {
        const float y0 = anticausal_step(k, x1, x2, x3, x4, y1, y2, y3, y4);
        const float x0 = line[i];
        line[i] = combine<false>(k, causal[i], y0);
        x4 = x3, x3 = x2, x2 = x1, x1 = x0;
        y4 = y3, y3 = y2, y2 = y1, y1 = y0;
    }
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

// Rows of the source -kPad .. nrows - 1 + kPad: the padding repeats the first
// and the last row, which gives the border rule without tests in the loops.
constexpr int kPad = 4;

// Rows a segment holds: a multiple of every row block, and at least the four
// rows kept at each boundary. A segment's source rows and band stay in a
// core's cache for images a few thousand columns wide, and the kept rows
// (in place: scratch) amount to an eighth of the image.
constexpr int kSegment = 32;

// Rows of the causal pass held in the ring: the latest four and a block.
constexpr int kRing = 8;

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

// The scratch rows of ColumnFilter.
struct ColumnScratch {
    float* zero;
    float* ring[kRing];
    float* band[kSegment + 4];
    float* const* kept;
    float* source_ring[kRing];
    float* source_carry[4];
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

// Along x: the rows of a block, with every instruction set (4 x 4, 2 x 8 or
// 1 x 16 lanes). Its buffers, about 32 ncols floats, stay in the second-level
// cache.
constexpr int kLanes = 16;

// Copies column c of the L rows into xt[c * L + r], 4 x 4 tiles at a time,
// and repeats the first and last columns into the padding.
template <int L>
[[gnu::always_inline]] inline void transpose_in(const float* const in[L], int n, float* xt) {
    std::ptrdiff_t c = 0;
    for (; c + 4 <= n; c += 4)
        for (int r = 0; r < L; r += 4) {
            __m128 a = _mm_loadu_ps(in[r] + c), b = _mm_loadu_ps(in[r + 1] + c);
            __m128 d = _mm_loadu_ps(in[r + 2] + c), e = _mm_loadu_ps(in[r + 3] + c);
            _MM_TRANSPOSE4_PS(a, b, d, e);
            float* o = xt + c * L + r;
            _mm_storeu_ps(o, a);
            _mm_storeu_ps(o + L, b);
            _mm_storeu_ps(o + 2 * L, d);
            _mm_storeu_ps(o + 3 * L, e);
        }
    for (; c < n; ++c)
        for (int r = 0; r < L; ++r) xt[c * L + r] = in[r][c];
    for (int p = 1; p <= kPad; ++p) {
        std::memcpy(xt - p * L, xt, sizeof(float) * L);
        std::memcpy(xt + (n - 1 + p) * std::ptrdiff_t{L}, xt + (n - 1) * std::ptrdiff_t{L},
                    sizeof(float) * L);
    }
}

// Writes p[c * L + r] to out[r][c] for the first `rows` rows. With `stream`,
// rows on 16-byte boundaries are written past the cache: an image larger
// than the cache would otherwise first be read in, line by line, only to be
// overwritten.
template <int L>
[[gnu::always_inline]] inline void transpose_out(const float* p, int n, float* const out[L],
                                                 int rows, bool stream) {
    for (int r = 0; r < rows; r += 4) {
        std::ptrdiff_t c = 0;
        if (r + 4 <= rows) {
            bool aligned = true;
            for (int i = r; i < r + 4; ++i)
                aligned = aligned && reinterpret_cast<std::uintptr_t>(out[i]) % 16 == 0;
            const auto tile = [&](auto put) {
                for (; c + 4 <= n; c += 4) {
                    const float* q = p + c * L + r;
                    __m128 a = _mm_loadu_ps(q), b = _mm_loadu_ps(q + L);
                    __m128 d = _mm_loadu_ps(q + 2 * L), e = _mm_loadu_ps(q + 3 * L);
                    _MM_TRANSPOSE4_PS(a, b, d, e);
                    put(out[r] + c, a);
                    put(out[r + 1] + c, b);
                    put(out[r + 2] + c, d);
                    put(out[r + 3] + c, e);
                }
            };
            if (stream && aligned)
                tile([](float* o, __m128 v) { _mm_stream_ps(o, v); });
            else
                tile([](float* o, __m128 v) { _mm_storeu_ps(o, v); });
        }
        for (int i = r; i < r + 4 && i < rows; ++i)
            for (std::ptrdiff_t cc = c; cc < n; ++cc) out[i][cc] = p[cc * L + i];
    }
}

// Along x, G * W = kLanes rows at a time. `xt` holds (ncols + 2 kPad) *
// kLanes floats, `p` ncols * kLanes. `dst` may be `src`: a block is read
// whole before its output is written.
template <class V, int G, bool Half>
[[gnu::always_inline]] inline void filter_rows(const Coefficients& coefficients,
                                               const float* const* src, float* const* dst,
                                               int nrows, int ncols, float* xt, float* p) {
    // Larger than the caches of a few cores.
    const bool stream = static_cast<std::size_t>(nrows) * static_cast<std::size_t>(ncols) >
                        (std::size_t{4} << 20);
    constexpr int L = G * static_cast<int>(sizeof(V) / sizeof(float));
    static_assert(L == kLanes);
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
        transpose_in<L>(block_in, ncols, xt + kPad * L);
        filter_block<V, G, Half>(k, xt + kPad * L, p, ncols);
        transpose_out<L>(p, ncols, block_out, rows, stream);
    }
    // Streamed stores are weakly ordered: make them visible before returning.
    if (stream) _mm_sfence();
}

// ---------------------------------------------------------------------------
// Instruction sets. The same source is compiled for SSE2 (every x86-64) and,
// chosen at run time, for AVX2 and AVX-512 with wider vectors; none of them
// uses fused multiply-adds, so all give the same bits.

typedef float Vec4 __attribute__((vector_size(16)));
typedef float Vec8 __attribute__((vector_size(32)));
typedef float Vec16 __attribute__((vector_size(64)));

using RowsKernel = void (*)(const Coefficients&, const float* const*, float* const*, int, int,
                            float*, float*);
using ColumnsKernel = void (*)(const Coefficients&, const float* const*, float* const*, int, int,
                               const ColumnScratch&, bool);

template <bool Half>
void rows_sse2(const Coefficients& k, const float* const* src, float* const* dst, int nrows,
               int ncols, float* xt, float* p) {
    filter_rows<Vec4, 4, Half>(k, src, dst, nrows, ncols, xt, p);
}

template <bool Half>
void columns_sse2(const Coefficients& k, const float* const* rows, float* const* dst, int nrows,
                  int ncols, const ColumnScratch& scratch, bool in_place) {
    filter_columns<Vec4, 2, Half>(k, rows, dst, nrows, ncols, scratch, in_place);
}

template <bool Half>
__attribute__((target("avx2"))) void rows_avx2(const Coefficients& k, const float* const* src,
                                               float* const* dst, int nrows, int ncols, float* xt,
                                               float* p) {
    filter_rows<Vec8, 2, Half>(k, src, dst, nrows, ncols, xt, p);
}

template <bool Half>
__attribute__((target("avx2"))) void columns_avx2(const Coefficients& k, const float* const* rows,
                                                  float* const* dst, int nrows, int ncols,
                                                  const ColumnScratch& scratch, bool in_place) {
    filter_columns<Vec8, 4, Half>(k, rows, dst, nrows, ncols, scratch, in_place);
}

template <bool Half>
__attribute__((target("avx512f"))) void rows_avx512(const Coefficients& k,
                                                    const float* const* src, float* const* dst,
                                                    int nrows, int ncols, float* xt, float* p) {
    filter_rows<Vec16, 1, Half>(k, src, dst, nrows, ncols, xt, p);
}

template <bool Half>
__attribute__((target("avx512f"))) void columns_avx512(const Coefficients& k,
                                                       const float* const* rows,
                                                       float* const* dst, int nrows, int ncols,
                                                       const ColumnScratch& scratch, bool in_place) {
    filter_columns<Vec16, 4, Half>(k, rows, dst, nrows, ncols, scratch, in_place);
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

RowsKernel rows_kernel(bool half) {
    switch (simd()) {
    case Simd::avx512: return half ? rows_avx512<true> : rows_avx512<false>;
    case Simd::avx2: return half ? rows_avx2<true> : rows_avx2<false>;
    default: return half ? rows_sse2<true> : rows_sse2<false>;
    }
}

ColumnsKernel columns_kernel(bool half) {
    switch (simd()) {
    case Simd::avx512: return half ? columns_avx512<true> : columns_avx512<false>;
    case Simd::avx2: return half ? columns_avx2<true> : columns_avx2<false>;
    default: return half ? columns_sse2<true> : columns_sse2<false>;
    }
}

// ---------------------------------------------------------------------------
// Image level

// Asks the system to back [first, first + bytes) with huge pages, where it
// covers whole ones. Each filter writes a new image (or large scratch), and
// the faults on its first touch cost more than the filtering itself where
// faults are slow (virtual machines): one fault per 2 MB instead of one per
// 4 KB. Only a hint; nothing depends on whether it is taken.
void advise_huge_pages(const void* first, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
    if (bytes < 2 * kHuge) return;
    const auto address = reinterpret_cast<std::uintptr_t>(first);
    const std::uintptr_t begin = (address + kHuge - 1) / kHuge * kHuge;
    const std::uintptr_t end = (address + bytes) / kHuge * kHuge;
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)first, (void)bytes;
#endif
}

// Scratch floats for one filter call, 64-byte aligned, not initialised.
class Scratch {
public:
    explicit Scratch(std::size_t count) : block_(new (std::nothrow) float[count + 16]) {
        if (block_) {
            const auto address = reinterpret_cast<std::uintptr_t>(block_.get());
            aligned_ = block_.get() + ((64 - address % 64) % 64) / sizeof(float);
            advise_huge_pages(aligned_, count * sizeof(float));
        }
    }
    float* get() const { return aligned_; }

private:
    std::unique_ptr<float[]> block_;
    float* aligned_ = nullptr;
};

bool has_grey_layout(const CImage& image) {
    return image.data && image.nrows > 0 && image.ncols > 0 &&
           (image.color == 0 || image.color == 1);
}

enum class Axis { x, y };

// Filters rows [r0, r1) of `in` along x into the same rows of `out`.
bool filter_row_range(const Coefficients& k, const CImage& in, CImage& out, int r0, int r1, bool half) {
    const std::size_t width = static_cast<std::size_t>(in.ncols);
    Scratch xt((width + 2 * kPad) * kLanes), p(width * kLanes);
    if (!xt.get() || !p.get()) return false;
    rows_kernel(half)(k, in.data + r0, out.data + r0, r1 - r0, in.ncols, xt.get(), p.get());
    return true;
}

// Filters columns [c0, c1) of `in` along y into the same columns of `out`.
bool filter_column_range(const Coefficients& k, const CImage& in, CImage& out, int c0, int c1, bool half) {
    const int nrows = in.nrows;
    const std::size_t width = static_cast<std::size_t>(c1 - c0);
    const bool in_place = in.data == out.data;
    const std::size_t stride = (width + 15) / 16 * 16;  // scratch rows 64-byte aligned
    const std::size_t boundaries = static_cast<std::size_t>((nrows - 1) / kSegment);
    const std::size_t band_rows = 1 + kRing + (kSegment + 4);
    const std::size_t place_rows = in_place ? kRing + 4 + 4 * boundaries : 0;
    std::unique_ptr<const float*[]> rows(
        new (std::nothrow) const float*[static_cast<std::size_t>(nrows) + 2 * kPad]);
    std::unique_ptr<float*[]> dst(new (std::nothrow) float*[static_cast<std::size_t>(nrows)]);
    std::unique_ptr<float*[]> kept(new (std::nothrow) float*[4 * boundaries + 1]);
    Scratch scratch((band_rows + place_rows) * stride);
    if (!rows || !dst || !kept || !scratch.get()) return false;
    for (int i = -kPad; i < nrows + kPad; ++i)
        rows[i + kPad] = in.data[i < 0 ? 0 : i < nrows ? i : nrows - 1] + c0;
    for (int i = 0; i < nrows; ++i) dst[i] = out.data[i] + c0;
    float* next = scratch.get();
    const auto take = [&next, stride] { return std::exchange(next, next + stride); };
    ColumnScratch c;
    c.zero = take();
    std::memset(c.zero, 0, sizeof(float) * width);
    for (float*& row : c.ring) row = take();
    for (float*& row : c.band) row = take();
    if (in_place) {
        for (float*& row : c.source_ring) row = take();
        for (float*& row : c.source_carry) row = take();
        for (std::size_t i = 0; i < 4 * boundaries; ++i) kept[i] = take();
    }
    c.kept = kept.get();
    columns_kernel(half)(k, rows.get() + kPad, dst.get(), nrows, static_cast<int>(width), c, in_place);
    return true;
}

// Threads for one filter pass over `pixels` pixels: one per processor, or
// the number in KALVIO_THREADS when set, at most 8; but only for pictures of
// a megapixel or more, where starting threads costs little beside the work.
// The variable is read on every call, so that a test can compare splits.
int filter_threads(std::size_t pixels) {
    if (pixels < (std::size_t{1} << 20)) return 1;
    int threads = static_cast<int>(std::thread::hardware_concurrency());
    if (const char* wanted = std::getenv("KALVIO_THREADS")) {
        const int n = std::atoi(wanted);
        if (n >= 1) threads = n;
    }
    return threads < 1 ? 1 : threads > 8 ? 8 : threads;
}

// Runs part(begin, end) over [0, n) cut into `threads` pieces whose starts
// are multiples of `unit`: the first piece on this thread, the others on
// their own. A thread that cannot be started runs its piece here instead.
// True when every piece succeeded.
template <class Part>
bool run_in_parts(int n, int unit, int threads, const Part& part) {
    const int units = (n + unit - 1) / unit;
    if (threads > units) threads = units;
    if (threads <= 1) return part(0, n);
    std::vector<char> ok(static_cast<std::size_t>(threads), 0);
    std::vector<std::thread> workers;
    workers.reserve(static_cast<std::size_t>(threads));
    const auto bounds = [&](int t) { return std::min(n, static_cast<int>(static_cast<long long>(units) * t / threads) * unit); };
    for (int t = 1; t < threads; ++t) {
        try {
            workers.emplace_back([&, t] { ok[t] = part(bounds(t), bounds(t + 1)); });
        } catch (const std::system_error&) {
            ok[t] = part(bounds(t), bounds(t + 1));
        }
    }
    ok[0] = part(bounds(0), bounds(1));
    for (std::thread& worker : workers) worker.join();
    for (char done : ok)
        if (!done) return false;
    return true;
}

// Filters the grey layout of `in` along `axis` into `out`, an image of the
// same size, which may be `in` itself. With `half` every output is also
// multiplied by 0.5. Lines are independent, so large pictures are split
// into bands of rows (along x) or columns (along y) filtered side by side;
// the results do not depend on the split. False when scratch memory is
// lacking.
bool run_filter(const Coefficients& k, const CImage& in, CImage& out, Axis axis, bool half) {
    const int threads = filter_threads(static_cast<std::size_t>(in.nrows) * static_cast<std::size_t>(in.ncols));
    if (axis == Axis::x)
        return run_in_parts(in.nrows, kLanes, threads,
                            [&](int r0, int r1) { return filter_row_range(k, in, out, r0, r1, half); });
    // Column bands start on 64-byte boundaries of the row.
    return run_in_parts(in.ncols, 16, threads,
                        [&](int c0, int c1) { return filter_column_range(k, in, out, c0, c1, half); });
}

// A new zero-filled image shaped like `image`, or null.
CImage* new_image_like(const CImage& image) {
    CImage* result = new CImage(image.nrows, image.ncols, image.color, image.format, image.datatype);
    if (!result->data) {
        delete result;
        return nullptr;
    }
    const std::size_t length = static_cast<std::size_t>(image.color == 1 ? 3 : 1) *
                               static_cast<std::size_t>(image.ncols);
    // A new image's rows lie in one block.
    advise_huge_pages(result->data[0], static_cast<std::size_t>(image.nrows) * length * sizeof(float));
    return result;
}

bool filterable(const CImage& image) {
    // Line indices run past the ends by the padding.
    return has_grey_layout(image) && image.nrows <= INT_MAX - 2 * kPad &&
           image.ncols <= INT_MAX - 2 * kPad;
}

// New image: `image` filtered along `first`, then, when `second_table` is
// given, along the other axis with it (in place, which saves a second
// image). `half` applies to the last filter. Null for an image without
// pixels, a missing table or lack of memory.
CImage* filter_image(const CImage& image, const float* const* table, Axis first,
                     const float* const* second_table, bool half) {
    if (!table || !filterable(image)) return nullptr;
    CImage* result = new_image_like(image);
    if (!result) return nullptr;
    bool done = run_filter(read_table(table), image, *result, first, half && !second_table);
    if (done && second_table)
        done = run_filter(read_table(second_table), *result, *result,
                          first == Axis::x ? Axis::y : Axis::x, half);
    if (!done) {
        delete result;
        return nullptr;
    }
    return result;
}

// Derivative across `axis` smoothed along the other one, times 0.5.
CImage* smoothed_derivative(const CImage& image, float sigma, Axis axis) {
    if (!filterable(image)) return nullptr;
    float** slope = make_2D_float_array(5, 5);
    float** smooth = make_2D_float_array(5, 5);
    CImage* result = nullptr;
    if (slope && smooth) {
        fdga(sigma, slope);
        ga(sigma, smooth);
        result = filter_image(image, slope, axis, smooth, true);
    }
    free_2D_float_array(slope);
    free_2D_float_array(smooth);
    return result;
}

}  // namespace

void ga(float sigma, float** table) {
    if (!table) return;
    const Recursion r = recursion_of(kGaussian, sigma);
    const double n0 = r.n[0];
    // Symmetric filter: the anti-causal numerator mirrors the causal one.
    const double m[5] = {0, r.n[1] - r.d[1] * n0, r.n[2] - r.d[2] * n0, r.n[3] - r.d[3] * n0,
                         -r.d[4] * n0};
    const double e2 = r.e_2b0;
    const double divisor =
        double(-1.68f) * (e2 - 1) / (2 * r.e_b0 * r.c0_cos - 1 - e2);
    store_table(r, m, divisor, table);
}

void fdga(float sigma, float** table) {
    if (!table) return;
    const Recursion r = recursion_of(kDerivative, sigma);
    const double n0 = r.n[0];
    // Antisymmetric filter: the anti-causal numerator changes sign.
    const double m[5] = {0, -(r.n[1] - r.d[1] * n0), -(r.n[2] - r.d[2] * n0),
                         -(r.n[3] - r.d[3] * n0), r.d[4] * n0};
    const double s = sigma;
    const double C0 = r.c0_cos, e1 = r.e_b0, e2 = r.e_2b0;
    const double e3 = std::exp(double(4.581f) / s), e4 = std::exp(double(6.108f) / s);
    const double numerator = (C0 * C0 * e2 - e2 - C0 * C0 + 1) * e1 * double(-9.062f) / r.s0;
    const double denominator =
        4 * C0 * e1 - 1 - 2 * e2 - 4 * (C0 * C0) * e2 + 4 * C0 * e3 - e4;
    store_table(r, m, numerator / denominator, table);
}

void apply_IIR4_filter_z(float** table, float* line, int n) {
    if (!table || !line || n <= 0) return;
    float* causal = make_1D_float_array(n);
    if (!causal) return;
    filter_line(read_table(table), line, causal, n);
    free_1D_float_array(causal);
}

CImage* CImage::apply_IIR4_filter_x(float** table) {
    return filter_image(*this, table, Axis::x, nullptr, false);
}

CImage* CImage::apply_IIR4_filter_y(float** table) {
    return filter_image(*this, table, Axis::y, nullptr, false);
}

CImage* CImage::first_derivative_x(float sigma) { return smoothed_derivative(*this, sigma, Axis::x); }

CImage* CImage::first_derivative_y(float sigma) { return smoothed_derivative(*this, sigma, Axis::y); }

CImage* CImage::smooth_image(float sigma) {
    if (!filterable(*this)) return nullptr;
    float** table = make_2D_float_array(5, 5);
    if (!table) return nullptr;
    ga(sigma, table);
    CImage* result = nullptr;
    if (color == 0) {
        result = filter_image(*this, table, Axis::x, table, false);
    } else {
        // Each channel is smoothed in place, stretched and interleaved.
        const Coefficients k = read_table(table);
        CImage* channels[3];
        for (CImage*& channel : channels) channel = new CImage(nrows, ncols, 0, format, datatype);
        bool ok = channels[0]->data && channels[1]->data && channels[2]->data;
        if (ok) ComputeRGB(channels[0], channels[1], channels[2]);
        for (int i = 0; ok && i < 3; ++i) {
            ok = run_filter(k, *channels[i], *channels[i], Axis::x, false) &&
                 run_filter(k, *channels[i], *channels[i], Axis::y, false);
            if (ok) channels[i]->Normalize(0.0f, 255.0f);
        }
        if (ok) result = new_image_like(*this);
        if (result) {
            for (int r = 0; r < nrows; ++r) {
                float* out = result->data[r];
                for (int c = 0; c < ncols; ++c)
                    for (int i = 0; i < 3; ++i) out[3 * c + i] = channels[i]->data[r][c];
            }
        }
        for (CImage* channel : channels) delete channel;
    }
    free_2D_float_array(table);
    return result;
}

void CImage::Normalize(float low, float high) {
    datatype = KALVIO_TYPE_UINT8;
    if (!has_grey_layout(*this)) return;
    // The library's customary starting bounds: values beyond +/-1,000,000
    // are not stretched onto the range correctly.
    float min = 1000000.0f, max = -1000000.0f;
    for (int r = 0; r < nrows; ++r)
        for (int c = 0; c < ncols; ++c) {
            const float v = data[r][c];
            if (v < min) min = v;
            if (v > max) max = v;
        }
    if (max == min) {
        // A constant image has no range to stretch: it becomes `low`.
        for (int r = 0; r < nrows; ++r)
            for (int c = 0; c < ncols; ++c) data[r][c] = low;
        return;
    }
    const long double lo = min, range = static_cast<long double>(max) - min;
    const long double span = static_cast<long double>(high) - low;
    for (int r = 0; r < nrows; ++r)
        for (int c = 0; c < ncols; ++c)
            data[r][c] = static_cast<float>((data[r][c] - lo) / range * span + low);
}

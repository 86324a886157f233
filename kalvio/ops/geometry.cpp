// Geometric transforms: cropping, reduction and enlargement by whole
// factors, translation, rotation and bilinear rescaling.
#include "ops/bands_p.h"
#include "ops/image_checks_p.h"
#include "ops/simd_p.h"

#include <kalvio/arrays.h>
#include <kalvio/image.h>

#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

using namespace kalvio::detail;

namespace {

// Runs body.template operator()<N>() with N the channel count of `image`,
// so that inner loops know it at compile time.
template <class Body>
void by_channels(const CImage& image, const Body& body) {
    if (image.color == 1) body.template operator()<3>();
    else body.template operator()<1>();
}

// ---------------------------------------------------------------------------
// Reduction

// Pixel c of a row of `out` (N channels): the plain mean of the f x f block
// of `in` at rows f r ... and columns f c ..., summed in reading order from
// its first sample, divided by f^2.
template <int N>
KALVIO_INLINE void block_mean(const float* const* rows, int f, int c, float area, float* o) {
    for (int k = 0; k < N; ++k) {
        float sum = rows[0][static_cast<std::ptrdiff_t>(N) * f * c + k];
        for (int rr = 0; rr < f; ++rr) {
            const float* p = rows[rr] + static_cast<std::ptrdiff_t>(N) * f * c + k;
            for (int jj = rr == 0 ? 1 : 0; jj < f; ++jj) sum += p[N * jj];
        }
        o[N * c + k] = sum / area;
    }
}

// The even and the odd lanes of two vectors: eight grey pixels as the
// first and second of each pair.
KALVIO_INLINE f4 even_lanes(f4 a, f4 b) { return __builtin_shufflevector(a, b, 0, 2, 4, 6); }
KALVIO_INLINE f4 odd_lanes(f4 a, f4 b) { return __builtin_shufflevector(a, b, 1, 3, 5, 7); }

// A colour pixel as a vector: its three channels and, in the fourth lane,
// the next sample, which is computed along and never kept.
KALVIO_INLINE f4 pixel_at(const float* p) { return load<f4>(p); }

// Rows [begin, end) of `out` (N channels, `cols` pixels a row): the plain
// mean of each f x f block of `in`. Halving, the common case, takes a colour
// pixel's channels or four grey pixels at a time: ((a + b) + c) + d over the
// 2 x 2 block, as block_mean sums it. A colour pixel's store spills one
// float into the next pixel's place, so the last pixel of a row is left to
// block_mean, as are pixels whose loads would pass the end of a row.
template <int N>
KALVIO_INLINE void block_means(float* const* in, float* const* out, int cols, int f, int begin, int end,
                               bool vectors) {
    const float area = static_cast<float>(static_cast<std::int64_t>(f) * f);
    const f4 areas = splat<f4>(area);
    for (int r = begin; r < end; ++r) {
        const float* const* rows = in + static_cast<std::int64_t>(f) * r;
        float* o = out[r];
        int c = 0;
        if (f == 2 && vectors) {
            const float *a = rows[0], *b = rows[1];
            if constexpr (N == 3) {
                for (; c + 1 < cols; ++c) {
                    const float *pa = a + 6 * c, *pb = b + 6 * c;
                    store(o + 3 * c, (pixel_at(pa) + pixel_at(pa + 3) + pixel_at(pb) + pixel_at(pb + 3)) / areas);
                }
            } else {
                for (; c + 4 <= cols; c += 4) {
                    const f4 a0 = load<f4>(a + 2 * c), a1 = load<f4>(a + 2 * c + 4);
                    const f4 b0 = load<f4>(b + 2 * c), b1 = load<f4>(b + 2 * c + 4);
                    store(o + c, (even_lanes(a0, a1) + odd_lanes(a0, a1) + even_lanes(b0, b1) + odd_lanes(b0, b1)) /
                                     areas);
                }
            }
        }
        for (; c < cols; ++c) block_mean<N>(rows, f, c, area, o);
    }
}

// Pixel c of a row of `out`: the cross-shaped mean around (2r, 2c) from the
// rows above, at and below 2r, with `left` the column left of 2c.
template <int N>
KALVIO_INLINE void cross_mean(const float* up, const float* mid, const float* down, int c, int left, float* o) {
    for (int k = 0; k < N; ++k) {
        const int centre = N * 2 * c + k;
        o[N * c + k] =
            (up[centre] + mid[N * left + k] + 2.0f * mid[centre] + mid[centre + N] + down[centre]) * 0.16666667f;
    }
}

// Rows [begin, end) of `out`: the cross-shaped mean around (2r, 2c), weights
// 1 above, 1 left, 2 centre, 1 right, 1 below, times one sixth; row and
// column -1 are read as +1. Row and column 2r + 1, 2c + 1 always exist,
// since `out` has half the rows and columns, rounded down. Between the first
// and the last column, vectors as in block_means.
template <int N>
KALVIO_INLINE void cross_means(float* const* in, float* const* out, int cols, int begin, int end, bool vectors) {
    const f4 two = splat<f4>(2.0f), sixth = splat<f4>(0.16666667f);
    for (int r = begin; r < end; ++r) {
        const float* up = in[r == 0 ? 1 : 2 * r - 1];
        const float* mid = in[2 * r];
        const float* down = in[2 * r + 1];
        float* o = out[r];
        cross_mean<N>(up, mid, down, 0, 1, o);
        int c = 1;
        if (vectors) {
            if constexpr (N == 3) {
                for (; c + 1 < cols; ++c) {
                    const int centre = 6 * c;
                    store(o + 3 * c, (pixel_at(up + centre) + pixel_at(mid + centre - 3) + two * pixel_at(mid + centre) +
                                      pixel_at(mid + centre + 3) + pixel_at(down + centre)) *
                                         sixth);
                }
            } else {
                for (; c + 4 < cols; c += 4) {
                    const f4 m0 = load<f4>(mid + 2 * c - 1), m1 = load<f4>(mid + 2 * c + 3);  // 2c - 1 ... 2c + 6
                    const f4 m2 = load<f4>(mid + 2 * c), m3 = load<f4>(mid + 2 * c + 4);      // 2c ... 2c + 7
                    const f4 u0 = load<f4>(up + 2 * c), u1 = load<f4>(up + 2 * c + 4);
                    const f4 d0 = load<f4>(down + 2 * c), d1 = load<f4>(down + 2 * c + 4);
                    store(o + c, (even_lanes(u0, u1) + even_lanes(m0, m1) + two * odd_lanes(m0, m1) +
                                  odd_lanes(m2, m3) + even_lanes(d0, d1)) *
                                     sixth);
                }
            }
        }
        for (; c < cols; ++c) cross_mean<N>(up, mid, down, c, 2 * c - 1, o);
    }
}

// Reduces a plane (or the pixels) of N channels into `out`, rows x cols.
template <int N>
KALVIO_INLINE void reduce_rows(float* const* in, float* const* out, int cols, int factor, int mode, int begin,
                               int end, bool vectors) {
    if (factor == 2 && mode == 1) cross_means<N>(in, out, cols, begin, end, vectors);
    else block_means<N>(in, out, cols, factor, begin, end, vectors);
}

template <int N>
void reduce_rows_default(float* const* in, float* const* out, int cols, int factor, int mode, int begin, int end,
                         bool vectors) {
    reduce_rows<N>(in, out, cols, factor, mode, begin, end, vectors);
}

// The same four-lane code with AVX2's three-operand shuffles.
#if defined(__x86_64__)
template <int N>
__attribute__((target("avx2"))) void reduce_rows_avx2(float* const* in, float* const* out, int cols, int factor,
                                                      int mode, int begin, int end, bool vectors) {
    reduce_rows<N>(in, out, cols, factor, mode, begin, end, vectors);
}
#else
template <int N>
void reduce_rows_avx2(float* const* in, float* const* out, int cols, int factor, int mode, int begin, int end,
                      bool vectors) {
    reduce_rows<N>(in, out, cols, factor, mode, begin, end, vectors);
}
#endif

template <int N>
void reduce_plane(float* const* in, float* const* out, int rows, int cols, int factor, int mode) {
    const int lanes = simd_lanes();
    const auto kernel = lanes == 8 ? reduce_rows_avx2<N> : reduce_rows_default<N>;
    run_rows_in_bands(rows, pixels_of(rows, cols) * static_cast<std::size_t>(factor) * factor,
                      [&](int begin, int end) { kernel(in, out, cols, factor, mode, begin, end, lanes > 1); });
}

// Stretches a plane onto 0..1 over its running extremes; 0 when constant.
void stretch_to_unit(float** plane, int rows, int cols) {
    float low, high;
    running_extremes(plane, rows, cols, &low, &high);
    const Stretch stretch(low, high, 1.0f);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) plane[r][c] = stretch(plane[r][c]);
}

// ---------------------------------------------------------------------------
// Enlargement

// Rows [begin, end) of the source, each as f rows of f x f blocks of its
// pixels' values.
template <int N>
void replicate_rows(const CImage& in, CImage& out, int f, int begin, int end) {
    const std::size_t length = static_cast<std::size_t>(N) * static_cast<std::size_t>(out.ncols);
    for (int r = begin; r < end; ++r) {
        const float* row = in.data[r];
        const std::int64_t first = static_cast<std::int64_t>(f) * r;
        float* o = out.data[first];
        for (int c = 0; c < in.ncols; ++c)
            for (int j = 0; j < f; ++j)
                for (int k = 0; k < N; ++k) o[(static_cast<std::size_t>(f) * c + j) * N + k] = row[N * c + k];
        for (int i = 1; i < f; ++i) std::memcpy(out.data[first + i], o, length * sizeof(float));
    }
}

// Rows [begin, end) of the source enlarged bilinearly: target (f r + i,
// f c + j) = [p (f-i)(f-j) + q (f-i) j + s i (f-j) + t i j] / f^2 with p the
// pixel, q its right, s its lower and t its diagonal neighbour, the last
// column and row standing in for the missing ones. `weights` holds 4 f
// floats of scratch: the four weight rows of the offset i at hand.
template <int N>
void interpolate_rows(const CImage& in, CImage& out, int f, int begin, int end, float* weights) {
    float* const w1 = weights;
    float* const w2 = weights + f;
    float* const w3 = weights + 2 * static_cast<std::size_t>(f);
    float* const w4 = weights + 3 * static_cast<std::size_t>(f);
    const std::int64_t ff = static_cast<std::int64_t>(f) * f;
    const float area = static_cast<float>(ff);
    for (int r = begin; r < end; ++r) {
        const float* row = in.data[r];
        const float* below = in.data[r + 1 < in.nrows ? r + 1 : r];
        for (int i = 0; i < f; ++i) {
            const std::int64_t fi = f - i;
            for (int j = 0; j < f; ++j) {
                const std::int64_t fj = f - j;
                w1[j] = static_cast<float>(fi * fj), w2[j] = static_cast<float>(fi * j);
                w3[j] = static_cast<float>(i * fj), w4[j] = static_cast<float>(static_cast<std::int64_t>(i) * j);
            }
            float* o = out.data[static_cast<std::int64_t>(f) * r + i];
            for (int c = 0; c < in.ncols; ++c) {
                const int right = c + 1 < in.ncols ? c + 1 : c;
                float* block = o + static_cast<std::size_t>(f) * N * c;
                for (int k = 0; k < N; ++k) {
                    const float p = row[N * c + k], q = row[N * right + k];
                    const float s = below[N * c + k], t = below[N * right + k];
                    for (int j = 0; j < f; ++j)
                        block[N * j + k] = (p * w1[j] + q * w2[j] + s * w3[j] + t * w4[j]) / area;
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Bilinear sampling

// The largest float below n - 1: a sample's upper-left corner must lie
// before the last row or column. Compared in float, n - 1 itself may round
// up beyond 2^24, which would let a position reach the last row.
float last_corner(int n) {
    float limit = static_cast<float>(n - 1);
    while (static_cast<double>(limit) >= static_cast<double>(n) - 1.0) limit = std::nextafter(limit, -INFINITY);
    return limit;
}

// The source of a bilinear sampling pass and the bounds of its positions.
struct Source {
    const CImage& image;
    float last_row, last_column;
    explicit Source(const CImage& in)
        : image(in), last_row(last_corner(in.nrows)), last_column(last_corner(in.ncols)) {}
};

// Pixel (y, x) of `source` interpolated bilinearly from (i, j) = (trunc y,
// trunc x) and its right, lower and diagonal neighbours, with fy = y - i and
// fx = x - j; 0 when y < 0, y >= nrows - 1, x < 0 or x >= ncols - 1 (NaN
// included), so the last row and column are never an upper-left corner.
template <int N>
inline void sample(const Source& source, float y, float x, float* o) {
    if (!(y >= 0.0f && y <= source.last_row && x >= 0.0f && x <= source.last_column)) {
        for (int k = 0; k < N; ++k) o[k] = 0.0f;
        return;
    }
    const int i = static_cast<int>(y), j = static_cast<int>(x);
    const float fy = y - static_cast<float>(i), fx = x - static_cast<float>(j);
    const float* p0 = source.image.data[i] + static_cast<std::ptrdiff_t>(N) * j;
    const float* p1 = source.image.data[i + 1] + static_cast<std::ptrdiff_t>(N) * j;
    const float w00 = (1.0f - fy) * (1.0f - fx), w01 = (1.0f - fy) * fx;
    const float w10 = fy * (1.0f - fx), w11 = fy * fx;
    for (int k = 0; k < N; ++k) o[k] = w00 * p0[k] + w01 * p0[N + k] + w10 * p1[k] + w11 * p1[N + k];
}

// Asks for the cache lines that sample<N> at (y, x) will read.
template <int N>
inline void prefetch_sample(const Source& source, float y, float x) {
    if (!(y >= 0.0f && y <= source.last_row && x >= 0.0f && x <= source.last_column)) return;
    const int i = static_cast<int>(y), j = static_cast<int>(x);
    __builtin_prefetch(source.image.data[i] + static_cast<std::ptrdiff_t>(N) * j);
    __builtin_prefetch(source.image.data[i + 1] + static_cast<std::ptrdiff_t>(N) * j);
}

// Positions of a rotation by theta about (R, C): y = (r - R) cos - (c - C)
// sin + R and x = (c - C) cos + (r - R) sin + C, in float. The column terms
// are tabled once; the sums keep the formula's order.
struct Rotation {
    int centre_row, centre_column;
    float cos_theta, sin_theta;
    const float* column_cos;  // (c - C) cos theta
    const float* column_sin;  // (c - C) sin theta

    void at(float row_cos, float row_sin, int c, float* y, float* x) const {
        *y = (row_cos - column_sin[c]) + static_cast<float>(centre_row);
        *x = (column_cos[c] + row_sin) + static_cast<float>(centre_column);
    }
};

// Rows [begin, end) of a rotation of `source` into `out`, in tiles. A
// rotated row walks across hundreds of source rows, each on pages of its
// own: row by row, nearly every sample would wait for an address
// translation (expensive under virtualisation) and a cache line. A tile of
// 128 x 16 pixels reads a patch of at most about 140 source rows that stays
// cached while the tile is filled, and the lines a few rows ahead are asked
// for early. Every pixel depends on its own position only, so neither the
// tiles nor the bands change a bit.
template <int N>
void rotate_rows(const Source& source, const Rotation& rotation, CImage& out, int begin, int end) {
    constexpr int kTileRows = 128, kTileColumns = 16, kAhead = 4;
    for (int top = begin; top < end; top += kTileRows) {
        const int bottom = top + kTileRows < end ? top + kTileRows : end;
        for (int left = 0; left < out.ncols; left += kTileColumns) {
            const int right = left + kTileColumns < out.ncols ? left + kTileColumns : out.ncols;
            for (int r = top; r < bottom; ++r) {
                const float d = static_cast<float>(r - rotation.centre_row);
                const float row_cos = d * rotation.cos_theta, row_sin = d * rotation.sin_theta;
                // The lines a few rows further down will want, asked for now.
                const float ahead = static_cast<float>(r + kAhead - rotation.centre_row);
                const float ahead_cos = ahead * rotation.cos_theta, ahead_sin = ahead * rotation.sin_theta;
                float* o = out.data[r];
                for (int c = left; c < right; ++c) {
                    float y, x;
                    rotation.at(ahead_cos, ahead_sin, c, &y, &x);
                    prefetch_sample<N>(source, y, x);
                    rotation.at(row_cos, row_sin, c, &y, &x);
                    sample<N>(source, y, x, o + N * c);
                }
            }
        }
    }
}

// The rescaling's columns: source column j and the fractions 1 - fx and fx
// of each target column that samples inside the source, repeated for each
// of the N channels so that a row is blended sample by sample. Target
// columns from `count` on lie at or past the last source column: the
// positions c / factor grow with c, so the columns that sample form a
// prefix.
struct ScaleColumns {
    int count = 0;
    std::unique_ptr<int[]> source_column;
    std::unique_ptr<float[]> left, right;  // 1 - fx, fx; N per column

    bool make(const Source& source, int cols, float columnfactor, int N) {
        while (count < cols && static_cast<float>(count) / columnfactor <= source.last_column) ++count;
        const std::size_t n = static_cast<std::size_t>(count) * static_cast<std::size_t>(N);
        source_column.reset(new (std::nothrow) int[count + 1]);
        left.reset(new (std::nothrow) float[n + 1]);
        right.reset(new (std::nothrow) float[n + 1]);
        if (!source_column || !left || !right) return false;
        for (int c = 0; c < count; ++c) {
            const float x = static_cast<float>(c) / columnfactor;
            const int j = static_cast<int>(x);
            const float fx = x - static_cast<float>(j);
            source_column[c] = j;
            for (int k = 0; k < N; ++k) left[N * c + k] = 1.0f - fx, right[N * c + k] = fx;
        }
        return true;
    }
};

// The samples of source row `row` at each target column's left and right
// neighbour: at[N c + k] = row[N j + k], next[N c + k] = row[N (j + 1) + k].
// Colour pixels move as four floats, the fourth landing in the next
// column's place (or the buffer's one float of padding) before that is
// written; the right neighbour is read from one float earlier, so that no
// read passes the end of the source row.
template <int N>
KALVIO_INLINE void gather_pixel(const float* row, std::ptrdiff_t j, float* at, float* next) {
    const float* p = row + N * j;
    if constexpr (N == 3) {
        store(at, load<f4>(p));
        const f4 shifted = load<f4>(p + 2);
        store(next, __builtin_shufflevector(shifted, shifted, 1, 2, 3, 3));
    } else {
        at[0] = p[0], next[0] = p[1];
    }
}

template <int N>
void gather_row(const float* row, const ScaleColumns& columns, float* at, float* next) {
    for (int c = 0; c < columns.count; ++c) gather_pixel<N>(row, columns.source_column[c], at + N * c, next + N * c);
}

// gather_row of two source rows at once, which reads each column once.
template <int N>
void gather_rows(const float* upper_row, const float* lower_row, const ScaleColumns& columns, float* upper,
                 float* upper_next, float* lower, float* lower_next) {
    for (int c = 0; c < columns.count; ++c) {
        const std::ptrdiff_t j = columns.source_column[c];
        gather_pixel<N>(upper_row, j, upper + N * c, upper_next + N * c);
        gather_pixel<N>(lower_row, j, lower + N * c, lower_next + N * c);
    }
}

// o[q] = w00 a0[q] + w01 a1[q] + w10 b0[q] + w11 b1[q] with the weights of
// sample<N>, (1 - fy)(1 - fx), (1 - fy) fx, fy (1 - fx), fy fx, formed and
// summed in the same order, V's lanes at a time.
template <class V>
KALVIO_INLINE void blend_row(const float* a0, const float* a1, const float* b0, const float* b1,
                             const float* left, const float* right, float fy, float* o, int n) {
    const float gy = 1.0f - fy;
    int q = 0;
    if constexpr (!std::is_same_v<V, float>) {
        for (; q + kLanes<V> <= n; q += kLanes<V>) {
            const V l = load<V>(left + q), r = load<V>(right + q);
            const V w00 = gy * l, w01 = gy * r, w10 = fy * l, w11 = fy * r;
            store(o + q, w00 * load<V>(a0 + q) + w01 * load<V>(a1 + q) + w10 * load<V>(b0 + q) +
                             w11 * load<V>(b1 + q));
        }
    }
    for (; q < n; ++q) {
        const float w00 = gy * left[q], w01 = gy * right[q], w10 = fy * left[q], w11 = fy * right[q];
        o[q] = w00 * a0[q] + w01 * a1[q] + w10 * b0[q] + w11 * b1[q];
    }
}

// Rows [begin, end) of a rescaling. Target rows sampling the same source
// rows i and i + 1 share one gathering of them, and a step of one row
// gathers only the new lower row. Rows at or past the last source row stay
// 0, as the new image is. `scratch` holds 4 (N columns.count + 1) floats.
template <int N, class V>
KALVIO_INLINE void scale_rows(const Source& source, const ScaleColumns& columns, float rowfactor, CImage& out,
                              int begin, int end, float* scratch) {
    const std::size_t n = static_cast<std::size_t>(N) * static_cast<std::size_t>(columns.count);
    const std::size_t stride = n + 1;  // one float of padding each
    float *upper = scratch, *upper_next = scratch + stride;
    float *lower = scratch + 2 * stride, *lower_next = scratch + 3 * stride;
    int gathered = -2;  // source row held in upper; lower holds the one below
    for (int r = begin; r < end; ++r) {
        const float y = static_cast<float>(r) / rowfactor;
        if (!(y >= 0.0f && y <= source.last_row)) continue;
        const int i = static_cast<int>(y);
        if (i == gathered + 1) {
            std::swap(upper, lower), std::swap(upper_next, lower_next);
            gather_row<N>(source.image.data[i + 1], columns, lower, lower_next);
        } else if (i != gathered) {
            gather_rows<N>(source.image.data[i], source.image.data[i + 1], columns, upper, upper_next, lower,
                           lower_next);
        }
        gathered = i;
        blend_row<V>(upper, upper_next, lower, lower_next, columns.left.get(), columns.right.get(),
                     y - static_cast<float>(i), out.data[r], static_cast<int>(n));
    }
}

template <int N>
using ScaleRows = void (*)(const Source&, const ScaleColumns&, float, CImage&, int, int, float*);

template <int N>
void scale_rows_1(const Source& s, const ScaleColumns& c, float f, CImage& o, int b, int e, float* t) {
    scale_rows<N, float>(s, c, f, o, b, e, t);
}
template <int N>
void scale_rows_4(const Source& s, const ScaleColumns& c, float f, CImage& o, int b, int e, float* t) {
    scale_rows<N, f4>(s, c, f, o, b, e, t);
}
#if defined(__x86_64__)
template <int N>
__attribute__((target("avx2"))) void scale_rows_8(const Source& s, const ScaleColumns& c, float f, CImage& o,
                                                  int b, int e, float* t) {
    scale_rows<N, f8>(s, c, f, o, b, e, t);
}
#else
template <int N>
void scale_rows_8(const Source& s, const ScaleColumns& c, float f, CImage& o, int b, int e, float* t) {
    scale_rows<N, f4>(s, c, f, o, b, e, t);
}
#endif

// A new rows x cols image whose pixel (r, c) samples `in` at (r / rowfactor,
// c / columnfactor); rows are cut into bands worked on side by side.
CImage* rescale(const CImage& in, std::int64_t rows, std::int64_t cols, float rowfactor, float columnfactor) {
    if (!fits_image(rows, cols, channels(in))) return nullptr;
    const Source source(in);
    ScaleColumns columns;
    if (!columns.make(source, static_cast<int>(cols), columnfactor, channels(in))) return nullptr;
    CImage* out = new_image(rows, cols, in.color, in.format, in.datatype);
    if (!out) return nullptr;
    bool done = true;
    by_channels(in, [&]<int N>() {
        const int lanes = simd_lanes();
        const ScaleRows<N> kernel = lanes == 8 ? scale_rows_8<N> : lanes == 4 ? scale_rows_4<N> : scale_rows_1<N>;
        const std::size_t n = static_cast<std::size_t>(N) * static_cast<std::size_t>(columns.count);
        done = run_in_bands(out->nrows, 1, band_threads(pixels_of(rows, cols)), [&](int begin, int end) {
            const std::unique_ptr<float[]> scratch = scratch_of<float>(4 * (n + 1));
            if (scratch) kernel(source, columns, rowfactor, *out, begin, end, scratch.get());
            return scratch != nullptr;
        });
    });
    if (!done) {
        delete out;
        return nullptr;
    }
    return out;
}

bool positive_finite(float v) { return v > 0.0f && std::isfinite(v); }

}  // namespace

CImage* CImage::Extract(int row, int column, int rows, int cols) {
    if (!has_pixels(this) || row < 0 || column < 0 || rows <= 0 || cols <= 0 ||
        static_cast<std::int64_t>(row) + rows > nrows || static_cast<std::int64_t>(column) + cols > ncols)
        return nullptr;
    CImage* out = new_image(rows, cols, color, format, datatype);
    if (!out) return nullptr;
    if ((mag && !add_plane(*out, &out->mag)) || (dir && !add_plane(*out, &out->dir))) {
        delete out;
        return nullptr;
    }
    const int n = channels(*this);
    const std::size_t length = static_cast<std::size_t>(n) * static_cast<std::size_t>(cols);
    for (int r = 0; r < rows; ++r) {
        std::memcpy(out->data[r], data[row + r] + static_cast<std::ptrdiff_t>(n) * column, length * sizeof(float));
        if (mag) std::memcpy(out->mag[r], mag[row + r] + column, sizeof(float) * static_cast<std::size_t>(cols));
        if (dir) std::memcpy(out->dir[r], dir[row + r] + column, sizeof(float) * static_cast<std::size_t>(cols));
    }
    return out;
}

CImage* CImage::Reduce(int factor, int mode) {
    if (!has_pixels(this) || factor < 1) return nullptr;
    const int rows = nrows / factor, cols = ncols / factor;
    CImage* out = new_image(rows, cols, color, format, datatype);
    if (!out) return nullptr;
    if ((mag && !add_plane(*out, &out->mag)) || (dir && !add_plane(*out, &out->dir))) {
        delete out;
        return nullptr;
    }
    by_channels(*this, [&]<int N>() { reduce_plane<N>(data, out->data, rows, cols, factor, mode); });
    if (mag) {
        reduce_plane<1>(mag, out->mag, rows, cols, factor, mode);
        stretch_to_unit(out->mag, rows, cols);
    }
    if (dir) reduce_plane<1>(dir, out->dir, rows, cols, factor, mode);
    return out;
}

CImage* CImage::Enlarge(int factor, int mode) {
    if (!has_pixels(this) || factor < 1) return nullptr;
    const std::int64_t rows = static_cast<std::int64_t>(factor) * nrows;
    const std::int64_t cols = static_cast<std::int64_t>(factor) * ncols;
    CImage* out = new_image(rows, cols, color, format, datatype);
    if (!out) return nullptr;
    bool done = true;
    by_channels(*this, [&]<int N>() {
        done = run_in_bands(nrows, 1, band_threads(pixels_of(rows, cols)), [&](int begin, int end) {
            if (mode != 1) {
                replicate_rows<N>(*this, *out, factor, begin, end);
                return true;
            }
            const std::unique_ptr<float[]> weights = scratch_of<float>(4 * static_cast<std::size_t>(factor));
            if (weights) interpolate_rows<N>(*this, *out, factor, begin, end, weights.get());
            return weights != nullptr;
        });
    });
    if (!done) {
        delete out;
        return nullptr;
    }
    return out;
}

CImage* CImage::Translate(int rows, int columns) {
    if (!has_pixels(this)) return nullptr;
    CImage* out = new_image(nrows, ncols, color, format, datatype);
    if (!out) return nullptr;
    // The columns that stay inside, in 64 bits: shifts may be any int.
    const std::int64_t first = columns > 0 ? columns : 0;
    const std::int64_t last = columns < 0 ? static_cast<std::int64_t>(ncols) + columns : ncols;
    if (first >= last) return out;
    const int n = channels(*this);
    const std::size_t length = static_cast<std::size_t>(last - first) * static_cast<std::size_t>(n);
    for (int r = 0; r < nrows; ++r) {
        const std::int64_t from = static_cast<std::int64_t>(r) - rows;
        if (from < 0 || from >= nrows) continue;
        std::memcpy(out->data[r] + first * n, data[from] + (first - columns) * n, length * sizeof(float));
    }
    return out;
}

CImage* CImage::Rotate(int degrees) {
    if (!has_pixels(this)) return nullptr;
    const float theta = static_cast<float>(degrees) * -0.017453292f;
    Rotation rotation{nrows / 2, ncols / 2, static_cast<float>(std::cos(static_cast<double>(theta))),
                      static_cast<float>(std::sin(static_cast<double>(theta))), nullptr, nullptr};
    const std::unique_ptr<float[]> columns = scratch_of<float>(2 * static_cast<std::size_t>(ncols));
    if (!columns) return nullptr;
    for (int c = 0; c < ncols; ++c) {
        const float d = static_cast<float>(c - ncols / 2);
        columns[c] = d * rotation.cos_theta;
        columns[ncols + c] = d * rotation.sin_theta;
    }
    rotation.column_cos = columns.get();
    rotation.column_sin = columns.get() + ncols;
    CImage* out = new_image(nrows, ncols, color, format, datatype);
    if (!out) return nullptr;
    const Source source(*this);
    by_channels(*this, [&]<int N>() {
        run_rows_in_bands(nrows, pixels_of(nrows, ncols),
                          [&](int begin, int end) { rotate_rows<N>(source, rotation, *out, begin, end); });
    });
    return out;
}

CImage* CImage::Scale(float rowfactor, float columnfactor) {
    if (columnfactor == 0.0f) columnfactor = rowfactor;
    if (!has_pixels(this) || !positive_finite(rowfactor) || !positive_finite(columnfactor)) return nullptr;
    const std::int64_t rows = truncate_to_int64(static_cast<float>(nrows) * rowfactor);
    const std::int64_t cols = truncate_to_int64(static_cast<float>(ncols) * columnfactor);
    return rescale(*this, rows, cols, rowfactor, columnfactor);
}

CImage* CImage::Scale(int rows, int cols) {
    if (!has_pixels(this) || rows <= 0 || cols <= 0) return nullptr;
    return rescale(*this, rows, cols, static_cast<float>(rows) / static_cast<float>(nrows),
                   static_cast<float>(cols) / static_cast<float>(ncols));
}

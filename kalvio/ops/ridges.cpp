// Multi-scale ridge detection: at each scale the picture is smoothed, the
// direction across a line is taken from the Hessian and checked against the
// gradients on both sides of the pixel, and the line strength is measured
// from the directional derivatives one scale-width away on either side.
#include "ops/bands_p.h"
#include "ops/image_checks_p.h"
#include "ops/simd_p.h"
#include "ops/vector_math_p.h"

#include <kalvio/arrays.h>
#include <kalvio/image.h>
#include <kalvio/trace.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

using namespace kalvio::detail;

namespace {

// The detector's constants, all single precision, as is its arithmetic.
constexpr float kThreeHalvesPi = 4.712389f;
constexpr float kThirdPi = 1.0471976f;  // gradients this far from opposite: no line
constexpr float kNoDirection = 3.5f;    // outside 0..pi
constexpr float kStrengthGain = 2.8989599f;
constexpr float kMinGradient = 0.0001f;  // weaker gradients have no direction
constexpr float kMinCurvature = 0.005f;  // flatter pixels have no line direction
constexpr float kMinStrength = 0.0001f;

// v modulo pi for v in 0..3pi, as fmod gives it: each subtraction is exact.
template <class V>
KALVIO_INLINE V modulo_pi(V v) {
    v = select<V>(v >= 2.0f * kPi, v - 2.0f * kPi, v);
    return select<V>(v >= kPi, v - kPi, v);
}

// |cos^2 hrr + 2 sin cos hrc + sin^2 hcc|: the curvature along an angle.
template <class V>
KALVIO_INLINE V curvature_along(V cosine, V sine, V hrr, V hrc, V hcc) {
    return abs_of(cosine * cosine * hrr + 2.0f * sine * cosine * hrc + sine * sine * hcc);
}

// std::max and std::min lane by lane (the first operand on ties).
template <class V>
KALVIO_INLINE V larger(V a, V b) {
    return select<V>(a < b, b, a);
}
template <class V>
KALVIO_INLINE V smaller(V a, V b) {
    return select<V>(b < a, b, a);
}

// 0, 1, 2, ... in the lanes of an index vector.
template <class V>
KALVIO_INLINE Mask<V> lane_numbers() {
    Mask<V> n;
    for (int k = 0; k < kLanes<V>; ++k) n[k] = k;
    return n;
}

// rows[row][column] lane by lane.
template <class V>
KALVIO_INLINE V gather(const float* const* rows, Mask<V> row, Mask<V> column) {
    V v;
    for (int k = 0; k < kLanes<V>; ++k) v[k] = rows[row[k]][column[k]];
    return v;
}

// A plane whose rows lie in one block `stride` floats apart, read around
// the row `origin`: offsets from it fit in 32 bits (see fits_offsets).
struct Plane {
    const float* const* rows;
    int origin;
    int stride;
};

#if defined(__x86_64__)
// AVX2's gather; an ordinary function, which the compiler inlines into the
// AVX2 kernels that call it.
__attribute__((target("avx2"))) inline f8 gather_avx2(const float* base, Mask<f8> offset) {
    return (f8)_mm256_i32gather_ps(base, (__m256i)offset, 4);
}
#endif

template <class V>
KALVIO_INLINE V gather(const Plane& plane, Mask<V> row, Mask<V> column) {
#if defined(__x86_64__)
    if constexpr (std::is_same_v<V, f8>)
        return gather_avx2(plane.rows[plane.origin], (row - plane.origin) * plane.stride + column);
#endif
    return gather<V>(plane.rows, row, column);
}

// ---- The detector's steps, lane by lane --------------------------------------

// The gradient of a smoothed picture S at (row, column): half central
// differences across rows and across columns. Computed, with the same
// operations, wherever it is read, rather than stored.
template <class V>
KALVIO_INLINE void gradient_at(const Plane& s, Mask<V> row, Mask<V> column, V* across_rows, V* across_cols) {
    *across_rows = (gather<V>(s, row + 1, column) - gather<V>(s, row - 1, column)) * 0.5f;
    *across_cols = (gather<V>(s, row, column + 1) - gather<V>(s, row, column - 1)) * 0.5f;
}

// The direction of the gradient at columns c.. of an interior row, 3.5
// where the gradient is negligible.
template <class V>
KALVIO_INLINE void direction_lanes(const float* up, const float* mid, const float* down, int c, float* g) {
    const V across_rows = (load<V>(down + c) - load<V>(up + c)) * 0.5f;
    const V across_cols = (load<V>(mid + c + 1) - load<V>(mid + c - 1)) * 0.5f;
    const V size = square_root(across_rows * across_rows + across_cols * across_cols);
    store(g + c, select<V>(size >= kMinGradient, arctan2(across_cols, across_rows), splat<V>(kNoDirection)));
}

// The line direction at columns c.. of row r, where there is one:
// 1. the Hessian's principal angle of larger curvature (the second one
//    on ties), and its curvature, which must be at least 0.005;
// 2. the gradient directions g1 and g2 one scale away on either side along
//    that angle (the step rounded to whole pixels), which must both exist
//    and be opposite within pi/3;
// 3. the line direction ((g1 + g2) / 2 + 3pi/2) modulo pi.
// The columns that have one are appended to `column`, their directions to
// `rho` (both with room for the lanes); returns the new count.
template <class V>
KALVIO_INLINE int line_direction_lanes(const float* const* s, const float* const* g, int stride, const float* mask,
                                       int r, int c, float sigma, float longest, float* rho, int* column, int n) {
    using M = Mask<V>;
    const float *up = s[r - 1], *mid = s[r], *down = s[r + 1];
    const V twice = 2.0f * load<V>(mid + c);
    const V hrr = ((load<V>(up + c) - twice) + load<V>(down + c)) * 0.25f;
    const V hcc = ((load<V>(mid + c - 1) - twice) + load<V>(mid + c + 1)) * 0.25f;
    const V hrc =
        (((load<V>(up + c - 1) + load<V>(down + c + 1)) - load<V>(up + c + 1)) - load<V>(down + c - 1)) * 0.25f;
    const M round_hessian = hrr == hcc;
    V first = modulo_pi(arctan(2.0f * hrc / (hrr - hcc)) * 0.5f + kPi);
    V second = modulo_pi(first + kHalfPi);
    first = select<V>(round_hessian, splat<V>(0.0f), first);
    second = select<V>(round_hessian, splat<V>(kHalfPi), second);
    V s1, c1, s2, c2;
    sine_cosine(first, &s1, &c1);
    sine_cosine(second, &s2, &c2);
    const V d1 = curvature_along(c1, s1, hrr, hrc, hcc), d2 = curvature_along(c2, s2, hrr, hrc, hcc);
    const M take_first = d1 > d2;
    const V step_r = round_half_away_bounded<V>(sigma * select<V>(take_first, c1, c2));
    const V step_c = round_half_away_bounded<V>(sigma * select<V>(take_first, s1, s2));
    // A step beyond reach (from infinite or NaN pixels) is not followed.
    M ok = (select<V>(take_first, d1, d2) >= kMinCurvature) & (abs_of(step_r) <= longest) & (abs_of(step_c) <= longest);
    if (mask) ok &= load<V>(mask + c) != 0.0f;
    const M dr = __builtin_convertvector(select<V>(ok, step_r, splat<V>(0.0f)), M);
    const M dc = __builtin_convertvector(select<V>(ok, step_c, splat<V>(0.0f)), M);
    const M columns = c + lane_numbers<V>();
    const Plane directions{g, r, stride};
    const V g1 = gather<V>(directions, r + dr, columns + dc), g2 = gather<V>(directions, r - dr, columns - dc);
    ok &= (g1 != kNoDirection) & (g2 != kNoDirection) & ~(abs_of(kPi - abs_of(g1 - g2)) >= kThirdPi);
    const V direction = modulo_pi((g1 + g2) * 0.5f + kThreeHalvesPi);
    for (int k = 0; k < kLanes<V>; ++k) {  // without branches: a lane that fails is overwritten
        rho[n] = direction[k];
        column[n] = c + k;
        n -= ok[k];  // -1 where it holds
    }
    return n;
}

// Where the detector reads its derivatives across the line: the gradient
// of the smoothed picture, computed where it is read.
struct SmoothedGradient {
    Plane s;
    template <class V>
    KALVIO_INLINE void operator()(Mask<V> row, Mask<V> column, V* a, V* b) const {
        gradient_at<V>(s, row, column, a, b);
    }
};

// Two arrays, as bilinear_int takes them.
struct ArrayPair {
    const float* const* a;
    const float* const* b;
    template <class V>
    KALVIO_INLINE void operator()(Mask<V> row, Mask<V> column, V* av, V* bv) const {
        *av = gather<V>(a, row, column);
        *bv = gather<V>(b, row, column);
    }
};

template <class V, class Sample>
KALVIO_INLINE V along(const Sample& sample, Mask<V> row, Mask<V> column, V cosine, V sine) {
    V a, b;
    sample(row, column, &a, &b);
    return cosine * a + sine * b;
}

// cos(angle) a + sin(angle) b interpolated bilinearly at `distance` along
// the angle from (row, column), from the angle's cosine and sine; `sample`
// gives a and b at whole pixels.
template <class V, class Sample>
KALVIO_INLINE V interpolate_along(const Sample& sample, Mask<V> row, Mask<V> column, V distance, V cosine, V sine) {
    using M = Mask<V>;
    const V dr = distance * cosine, dc = distance * sine;
    const M i = __builtin_convertvector(dr, M), j = __builtin_convertvector(dc, M);  // toward zero
    const V fr = abs_of(dr - __builtin_convertvector(i, V)), fc = abs_of(dc - __builtin_convertvector(j, V));
    const M r0 = row + i, c0 = column + j;
    const M r1 = r0 + ((dr < 0.0f) | 1), c1 = c0 + ((dc < 0.0f) | 1);  // -1 where negative, else +1
    return (1.0f - fr) * (1.0f - fc) * along<V>(sample, r0, c0, cosine, sine) +
           fr * (1.0f - fc) * along<V>(sample, r1, c0, cosine, sine) +
           (1.0f - fr) * fc * along<V>(sample, r0, c1, cosine, sine) + fr * fc * along<V>(sample, r1, c1, cosine, sine);
}

// The strength of the lines listed at i.. of row r: from the derivatives
// across the line one scale before (a) and, negated, after it (b),
// 2.8989599 min(a+, b+) for bright lines plus 2.8989599 min((-a)+, (-b)+)
// for dark ones.
template <class V>
KALVIO_INLINE void strength_lanes(const float* const* s, int stride, int r, const float* rho, const int* column, int i,
                                  float sigma, int bright, int dark, float* strength) {
    using M = Mask<V>;
    V sine, cosine;
    sine_cosine(load<V>(rho + i), &sine, &cosine);
    M columns;
    std::memcpy(&columns, column + i, sizeof columns);
    const SmoothedGradient gradient{{s, r, stride}};
    const M rows = M{} + r;
    const V a = interpolate_along<V>(gradient, rows, columns, splat<V>(-sigma), cosine, sine);
    const V b = -interpolate_along<V>(gradient, rows, columns, splat<V>(sigma), cosine, sine);
    const V none = splat<V>(0.0f);
    V total = none;
    if (bright) total = total + kStrengthGain * smaller(larger(a, none), larger(b, none));
    if (dark) total = total + kStrengthGain * smaller(larger(-a, none), larger(-b, none));
    store(strength + i, total);
}

// ---- Row kernels, one per vector width ----------------------------------------

template <class V>
KALVIO_INLINE void direction_row(const float* up, const float* mid, const float* down, int begin, int end, float* g) {
    int c = begin;
    for (; c + kLanes<V> <= end; c += kLanes<V>) direction_lanes<V>(up, mid, down, c, g);
    for (; c < end; ++c) direction_lanes<f1>(up, mid, down, c, g);
}

template <class V>
KALVIO_INLINE int line_direction_row(const float* const* s, const float* const* g, int stride, const float* mask, int r,
                                     int begin, int end, float sigma, float longest, float* rho, int* column) {
    int n = 0, c = begin;
    for (; c + kLanes<V> <= end; c += kLanes<V>)
        n = line_direction_lanes<V>(s, g, stride, mask, r, c, sigma, longest, rho, column, n);
    for (; c < end; ++c) n = line_direction_lanes<f1>(s, g, stride, mask, r, c, sigma, longest, rho, column, n);
    return n;
}

template <class V>
KALVIO_INLINE void strength_row(const float* const* s, int stride, int r, const float* rho, const int* column, int n,
                                float sigma, int bright, int dark, float* strength) {
    int i = 0;
    for (; i + kLanes<V> <= n; i += kLanes<V>)
        strength_lanes<V>(s, stride, r, rho, column, i, sigma, bright, dark, strength);
    for (; i < n; ++i) strength_lanes<f1>(s, stride, r, rho, column, i, sigma, bright, dark, strength);
}

using DirectionRow = void (*)(const float*, const float*, const float*, int, int, float*);
using LineDirectionRow = int (*)(const float* const*, const float* const*, int, const float*, int, int, int, float,
                                 float, float*, int*);
using StrengthRow = void (*)(const float* const*, int, int, const float*, const int*, int, float, int, int, float*);

struct Kernels {
    DirectionRow direction;
    LineDirectionRow line_direction;
    StrengthRow strength;
};

template <class V>
void direction_row_of(const float* up, const float* mid, const float* down, int begin, int end, float* g) {
    direction_row<V>(up, mid, down, begin, end, g);
}
template <class V>
int line_direction_row_of(const float* const* s, const float* const* g, int stride, const float* mask, int r, int begin,
                          int end, float sigma, float longest, float* rho, int* column) {
    return line_direction_row<V>(s, g, stride, mask, r, begin, end, sigma, longest, rho, column);
}
template <class V>
void strength_row_of(const float* const* s, int stride, int r, const float* rho, const int* column, int n, float sigma,
                     int bright, int dark, float* strength) {
    strength_row<V>(s, stride, r, rho, column, n, sigma, bright, dark, strength);
}

template <class V>
constexpr Kernels kernels_of() {
    return {direction_row_of<V>, line_direction_row_of<V>, strength_row_of<V>};
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) void direction_row_8(const float* up, const float* mid, const float* down, int begin,
                                                     int end, float* g) {
    direction_row<f8>(up, mid, down, begin, end, g);
}
__attribute__((target("avx2"))) int line_direction_row_8(const float* const* s, const float* const* g, int stride,
                                                         const float* mask, int r, int begin, int end, float sigma,
                                                         float longest, float* rho, int* column) {
    return line_direction_row<f8>(s, g, stride, mask, r, begin, end, sigma, longest, rho, column);
}
__attribute__((target("avx2"))) void strength_row_8(const float* const* s, int stride, int r, const float* rho,
                                                    const int* column, int n, float sigma, int bright, int dark,
                                                    float* strength) {
    strength_row<f8>(s, stride, r, rho, column, n, sigma, bright, dark, strength);
}
constexpr Kernels kWide = {direction_row_8, line_direction_row_8, strength_row_8};
#else
constexpr Kernels kWide = kernels_of<f4>();
#endif

Kernels chosen_kernels() {
    const int lanes = simd_lanes();
    return lanes == 8 ? kWide : lanes == 4 ? kernels_of<f4>() : kernels_of<f1>();
}

// ---- The passes of one scale -----------------------------------------------------

// Pixels [begin, end) of a picture `size` long without a margin of `margin`.
struct Span {
    int begin, end;
};

Span inside(int size, std::int64_t margin) {
    const std::int64_t end = size - margin;
    if (margin >= end) return {0, 0};
    return {static_cast<int>(margin), static_cast<int>(end)};
}

// The arrays of one call, all nrows x ncols: the gradient direction of the
// current scale, and the new planes, installed at the end.
struct Work {
    float** g = nullptr;
    float** mag = nullptr;
    float** dir = nullptr;
    float** scale = nullptr;

    ~Work() {
        for (float** a : {g, mag, dir, scale}) free_2D_float_array(a);
    }

    bool allocate(const CImage& image) {
        for (float*** a : {&g, &mag, &dir, &scale})
            if (!add_plane(image, a)) return false;
        // The gradient's one-pixel border is never computed: no direction.
        run_rows_in_bands(image.nrows, pixels_of(image), [&](int begin, int end) {
            for (int r = begin; r < end; ++r) {
                std::fill(dir[r], dir[r] + image.ncols, kNoDirection);
                if (r == 0 || r == image.nrows - 1) {
                    std::fill(g[r], g[r] + image.ncols, kNoDirection);
                } else {
                    g[r][0] = kNoDirection;
                    g[r][image.ncols - 1] = kNoDirection;
                }
            }
        });
        return true;
    }
};

// The gradient direction over the interior of the smoothed picture.
void direction_pass(const CImage& smooth, const Kernels& kernels, Work& work) {
    const int rows = smooth.nrows - 2, cols = smooth.ncols;
    if (rows < 1 || cols < 3) return;
    run_rows_in_bands(rows, pixels_of(smooth), [&](int begin, int end) {
        for (int r = begin + 1; r < end + 1; ++r)
            kernels.direction(smooth.data[r - 1], smooth.data[r], smooth.data[r + 1], 1, cols - 1, work.g[r]);
    });
}

// Whether the 8-lane kernels may read the smoothed picture and the
// gradient directions by 32-bit offsets from the current row: both in one
// block, row after row, and every row read (at most reach + 3 away) within
// reach of such an offset. Otherwise the 4-lane kernels, which follow the
// row pointers, give the same bits.
bool fits_offsets(const CImage& smooth, const float* const* g, std::int64_t reach) {
    const std::int64_t stride = smooth.ncols;
    if ((reach + 4) * stride >= INT32_MAX) return false;
    for (int r = 1; r < smooth.nrows; ++r)
        if (smooth.data[r] != smooth.data[0] + r * stride || g[r] != g[0] + r * stride) return false;
    return true;
}

struct Scale {
    float sigma;
    int bright, dark;
    const CImage* mask;
};

// Line direction and strength at one scale, keeping the strongest response
// in the new planes. The strength at a pixel reads the line direction of
// that pixel only, and gradients around it, so both run in one pass, after
// the gradient directions are complete, over the pixels where the strength
// is measured: a margin of trunc(sigma) + 2. (The direction's own margin,
// one less, would add only directions that nothing reads.)
bool line_pass(const CImage& smooth, const Kernels& kernels, const Scale& at, Work& work) {
    const std::int64_t reach = truncate_to_int64(at.sigma);
    const Span rows = inside(smooth.nrows, reach + 2), cols = inside(smooth.ncols, reach + 2);
    if (rows.end <= rows.begin || cols.end <= cols.begin) return true;
    // One scale's step along any angle is at most reach + 1 pixels.
    const float longest = static_cast<float>(reach + 1);
    const int stride = smooth.ncols;
    const Kernels run = fits_offsets(smooth, work.g, reach) ? kernels : kernels_of<f4>();
    return run_in_bands(rows.end - rows.begin, 1, band_threads(pixels_of(smooth)), [&](int begin, int end) {
        // The lines of one row: their columns and directions, and strengths.
        std::vector<float> rho, strength;
        std::vector<int> column;
        try {
            const std::size_t room = static_cast<std::size_t>(smooth.ncols) + 8;
            rho.resize(room), strength.resize(room), column.resize(room);
        } catch (const std::bad_alloc&) {
            return false;
        }
        for (int r = rows.begin + begin; r < rows.begin + end; ++r) {
            const int n = run.line_direction(smooth.data, work.g, stride, at.mask ? at.mask->data[r] : nullptr, r,
                                             cols.begin, cols.end, at.sigma, longest, rho.data(), column.data());
            run.strength(smooth.data, stride, r, rho.data(), column.data(), n, at.sigma, at.bright, at.dark,
                         strength.data());
            float* mag = work.mag[r];
            for (int i = 0; i < n; ++i) {
                const int c = column[i];
                if (strength[i] >= kMinStrength && strength[i] > mag[c]) {
                    mag[c] = strength[i];
                    work.dir[r][c] = rho[i];
                    work.scale[r][c] = at.sigma;
                }
            }
        }
        return true;
    });
}

// (v - min) / (max - min) over the whole plane, the running minimum from
// 1,000,000 and the maximum from 0; all 0 when the plane is constant.
void normalise(float** mag, int nrows, int ncols) {
    float low = 1000000.0f, high = 0.0f;
    std::mutex merge;
    const std::size_t pixels = static_cast<std::size_t>(nrows) * static_cast<std::size_t>(ncols);
    run_rows_in_bands(nrows, pixels, [&](int begin, int end) {
        float band_low, band_high;
        running_extremes(mag + begin, end - begin, ncols, &band_low, &band_high);
        const std::lock_guard<std::mutex> lock(merge);
        low = std::min(low, band_low);
        high = std::max(high, band_high);
    });
    const Stretch stretch(low, high, 1.0f);
    run_rows_in_bands(nrows, pixels, [&](int begin, int end) {
        for (int r = begin; r < end; ++r)
            for (int c = 0; c < ncols; ++c) mag[r][c] = stretch(mag[r][c]);
    });
}

bool valid_scales(float sigmamin, float sigmamax, int nscales) {
    return nscales >= 1 && std::isfinite(sigmamin) && std::isfinite(sigmamax) && sigmamin > 0.0f &&
           sigmamax >= sigmamin;
}

}  // namespace

void CImage::ridges(float sigmamin, float sigmamax, int nscales, int bright, int dark, CImage* mask) {
    if (!has_pixels(this) || !valid_scales(sigmamin, sigmamax, nscales)) return;
    if (mask && (!has_pixels(mask) || !require_same_size(*this, *mask))) return;
    std::unique_ptr<CImage> grey;
    if (color == 1) {
        grey.reset(MakeGray());
        if (!grey) return;
    }
    CImage& source = grey ? *grey : *this;
    Work work;
    if (!work.allocate(*this)) return;
    const Kernels kernels = chosen_kernels();
    const float step = nscales == 1 ? 1.0f : (sigmamax - sigmamin) / static_cast<float>(nscales - 1);
    for (int k = 0; k < nscales; ++k) {
        const float sigma = static_cast<float>(k) * step + sigmamin;
        KALVIO_TRACE("Current scale: k=%d sigma=%f\n", k, static_cast<double>(sigma));
        const std::unique_ptr<CImage> smooth(source.smooth_image(sigma));
        if (!smooth) return;
        direction_pass(*smooth, kernels, work);
        if (!line_pass(*smooth, kernels, {sigma, bright, dark, mask}, work)) return;
    }
    normalise(work.mag, nrows, ncols);
    free_2D_float_array(this->mag);
    free_2D_float_array(dir);
    free_2D_float_array(scale);
    this->mag = std::exchange(work.mag, nullptr);
    dir = std::exchange(work.dir, nullptr);
    scale = std::exchange(work.scale, nullptr);
}

float bilinear_int(float** a, float** b, int row, int column, float distance, float angle) {
    f1 sine, cosine;
    if (std::fabs(angle) <= 8192.0f) {
        sine_cosine(f1{angle}, &sine, &cosine);
    } else {  // beyond the reduction's range
        sine[0] = std::sin(angle), cosine[0] = std::cos(angle);
    }
    return interpolate_along<f1>(ArrayPair{a, b}, Mask<f1>{row}, Mask<f1>{column}, f1{distance}, cosine, sine)[0];
}

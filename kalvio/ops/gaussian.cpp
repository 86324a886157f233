// Recursive Gaussian filtering: coefficient tables, the line filter, and the
// image filters, smoothed derivatives, smoothing and the linear stretch,
// which run the kernels of gaussian_portable.cpp or gaussian_x86.cpp.
#include "ops/bands_p.h"
#include "ops/gaussian_kernels_p.h"
#include "ops/gaussian_recursion_p.h"
#include "ops/image_checks_p.h"

#include <kalvio/arrays.h>
#include <kalvio/gaussian.h>
#include <kalvio/image.h>

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

// Every kernel promises the bits of plain float arithmetic, each sum
// rounded to float as written; a machine that evaluates floats in wider
// registers would give other results.
static_assert(FLT_EVAL_METHOD == 0, "the filters need float arithmetic evaluated in float");

using namespace kalvio::detail;

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

}  // namespace

Coefficients kalvio::detail::read_table(const float* const* t) {
    return {t[0][0], t[0][1], t[0][2], t[0][3], t[1][1], t[1][2], t[1][3], t[1][4], t[2][1],
            t[2][2], t[2][3], t[2][4], t[3][1], t[3][2], t[3][3], t[3][4], t[2][0]};
}

namespace {

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

// The kernels the filters run: the x86 ones where the build has them,
// unless the environment variable KALVIO_SIMD is "none"; else the portable
// ones. All give the same bits. The variable is read on every call, so that
// a test can compare the paths.
Kernels kernels(bool half) {
#ifdef KALVIO_X86_KERNELS
    const char* limit = std::getenv("KALVIO_SIMD");
    if (!limit || std::strcmp(limit, "none") != 0) return x86_kernels(half);
#endif
    return portable_kernels(half);
}

// ---------------------------------------------------------------------------
// Image level

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

// Filters rows [r0, r1) of `in` along x into the same rows of `out`. The
// rows are written through the cache: `out` is either a new image, whose
// memory the system clears page by page as the filter first touches it, or
// `in` itself, whose rows the filter has just read; either way they are in
// the cache already, and stores past it would only push them out.
bool filter_row_range(const Coefficients& k, const CImage& in, CImage& out, int r0, int r1, bool half) {
    return filter_along_rows(k, in.data + r0, out.data + r0, r1 - r0, in.ncols, half, false);
}

}  // namespace

bool kalvio::detail::filter_along_rows(const Coefficients& k, float* const* in, float* const* out, int nrows,
                                       int ncols, bool half, bool stream) {
    const std::size_t width = static_cast<std::size_t>(ncols);
    Scratch xt((width + 2 * kPad) * kFilterRows), p(width * kFilterRows);
    if (!xt.get() || !p.get()) return false;
    kernels(half).rows(k, in, out, nrows, ncols, xt.get(), p.get(), stream);
    return true;
}

bool kalvio::detail::filter_columns(const Coefficients& k, float* const* in, float* const* out, int nrows, int c0,
                                    int c1, bool half) {
    const int width = c1 - c0;
    std::unique_ptr<const float*[]> rows(
        new (std::nothrow) const float*[static_cast<std::size_t>(nrows) + 2 * kPad]);
    std::unique_ptr<float*[]> dst(new (std::nothrow) float*[static_cast<std::size_t>(nrows)]);
    // Scratch rows as wide as the strips of these columns, not wider: the
    // causal rows span the picture's height, so a narrow picture would
    // otherwise take up to kStrip floats of scratch for each of its pixels.
    const std::size_t stride = width >= kStrip ? kStrip : (static_cast<std::size_t>(width) + 3) / 4 * 4;
    Scratch scratch(8 * kStrip + (static_cast<std::size_t>(nrows) + 1) * stride);
    if (!rows || !dst || !scratch.get()) return false;
    for (int i = -kPad; i < nrows + kPad; ++i)
        rows[i + kPad] = in[i < 0 ? 0 : i < nrows ? i : nrows - 1] + c0;
    for (int i = 0; i < nrows; ++i) dst[i] = out[i] + c0;
    StripScratch s;
    s.stride = stride;
    s.ring = scratch.get();
    s.zero = s.ring + 8 * kStrip;
    std::memset(s.zero, 0, sizeof(float) * stride);
    s.causal = s.zero + stride;
    kernels(half).columns(k, rows.get() + kPad, dst.get(), nrows, width, s);
    return true;
}

namespace {

// Filters the grey layout of `in` along `axis` into `out`, an image of the
// same size, which may be `in` itself. With `half` every output is also
// multiplied by 0.5. Lines are independent, so large pictures are split
// into pieces of rows (along x) or columns (along y) that the threads take
// in turn; the results do not depend on the split. False when scratch
// memory is lacking.
bool run_filter(const Coefficients& k, const CImage& in, CImage& out, Axis axis, bool half) {
    const int threads = band_threads(static_cast<std::size_t>(in.nrows) * static_cast<std::size_t>(in.ncols));
    if (axis == Axis::x) {
        // Rows of at least kRowPieceBytes, a multiple of the rows a kernel
        // takes at a time.
        const std::size_t row_bytes = sizeof(float) * static_cast<std::size_t>(in.ncols);
        const std::size_t rows = (kRowPieceBytes / row_bytes + kFilterRows) / kFilterRows * kFilterRows;
        const int piece = static_cast<int>(std::min<std::size_t>(std::max<std::size_t>(rows, kRowPiece), in.nrows));
        return run_in_pieces(in.nrows, piece, threads,
                             [&](int r0, int r1) { return filter_row_range(k, in, out, r0, r1, half); });
    }
    // Column pieces are whole strips, which start on 64-byte boundaries of
    // the row.
    return run_in_pieces(in.ncols, kColumnPiece, threads,
                         [&](int c0, int c1) { return filter_columns(k, in.data, out.data, in.nrows, c0, c1, half); });
}

// A new zero-filled image shaped like `image`, or null.
CImage* new_image_like(const CImage& image) {
    CImage* result = new CImage(image.nrows, image.ncols, image.color, image.format, image.datatype);
    if (!result->data) {
        delete result;
        return nullptr;
    }
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
        // Each channel in turn is copied out, smoothed in place, stretched
        // and put in its place in the result: one plane of scratch beside
        // the result.
        const Coefficients k = read_table(table);
        const std::unique_ptr<CImage> plane(new CImage(nrows, ncols, 0, format, datatype));
        if (plane->data) result = new_image_like(*this);
        for (int i = 0; result && i < 3; ++i) {
            for (int r = 0; r < nrows; ++r) {
                const float* in = data[r];
                float* out = plane->data[r];
                for (int c = 0; c < ncols; ++c) out[c] = in[3 * c + i];
            }
            if (!run_filter(k, *plane, *plane, Axis::x, false) || !run_filter(k, *plane, *plane, Axis::y, false)) {
                delete result;
                result = nullptr;
                break;
            }
            plane->Normalize(0.0f, 255.0f);
            for (int r = 0; r < nrows; ++r) {
                const float* in = plane->data[r];
                float* out = result->data[r];
                for (int c = 0; c < ncols; ++c) out[3 * c + i] = in[c];
            }
        }
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

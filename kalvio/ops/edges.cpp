// Edge detection: gradient magnitude and direction from the recursive
// Gaussian derivatives, thinning across the gradient, hysteresis
// thresholding, and the plain 3 x 3 Sobel magnitude.
#include "ops/bands_p.h"
#include "ops/image_checks_p.h"
#include "ops/simd_p.h"
#include "ops/vector_math_p.h"

#include <kalvio/arrays.h>
#include <kalvio/image.h>
#include <kalvio/message.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

using namespace kalvio::detail;

namespace {


// The direction of the gradient (gx, gy) plus pi, in 0..2pi, lane by lane.
// A gradient without a horizontal part points straight up or down: +pi/2
// when gy is positive, -pi/2 otherwise (also for no gradient at all).
template <class V>
KALVIO_INLINE V direction(V gx, V gy) {
    const V vertical = select<V>(gy > 0.0f, splat<V>(kHalfPi), splat<V>(-kHalfPi));
    return select<V>(gx == 0.0f, vertical, arctan2(gy, gx)) + kPi;
}

// Magnitude and direction of the channel of largest magnitude, at columns
// c.. of one row, from `count` channels' derivatives.
template <class V>
KALVIO_INLINE void mag_dir_lanes(const float* const* gx, const float* const* gy, int count, int c, float* mag,
                                 float* dir) {
    V x = load<V>(gx[0] + c), y = load<V>(gy[0] + c);
    V best = square_root(x * x + y * y);
    for (int k = 1; k < count; ++k) {
        const V xk = load<V>(gx[k] + c), yk = load<V>(gy[k] + c);
        const V m = square_root(xk * xk + yk * yk);
        const Mask<V> larger = m > best;  // the earlier channel on ties
        best = select<V>(larger, m, best);
        x = select<V>(larger, xk, x);
        y = select<V>(larger, yk, y);
    }
    store(mag + c, best);
    store(dir + c, direction(x, y));
}

template <class V>
KALVIO_INLINE void mag_dir_row(const float* const* gx, const float* const* gy, int count, int n, float* mag,
                               float* dir) {
    int c = 0;
    for (; c + kLanes<V> <= n; c += kLanes<V>) mag_dir_lanes<V>(gx, gy, count, c, mag, dir);
    for (; c < n; ++c) mag_dir_lanes<f1>(gx, gy, count, c, mag, dir);
}

using MagDirRow = void (*)(const float* const*, const float* const*, int, int, float*, float*);

void mag_dir_row_1(const float* const* gx, const float* const* gy, int count, int n, float* mag, float* dir) {
    mag_dir_row<f1>(gx, gy, count, n, mag, dir);
}

void mag_dir_row_4(const float* const* gx, const float* const* gy, int count, int n, float* mag, float* dir) {
    mag_dir_row<f4>(gx, gy, count, n, mag, dir);
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) void mag_dir_row_8(const float* const* gx, const float* const* gy, int count, int n,
                                                   float* mag, float* dir) {
    mag_dir_row<f8>(gx, gy, count, n, mag, dir);
}
#else
void mag_dir_row_8(const float* const* gx, const float* const* gy, int count, int n, float* mag, float* dir) {
    mag_dir_row<f4>(gx, gy, count, n, mag, dir);
}
#endif

// The derivatives across columns and rows of one grey image, or nothing.
struct Gradient {
    std::unique_ptr<CImage> x, y;
    bool ok() const { return x && y; }
};

Gradient gradient_of(CImage& grey, float sigma) {
    Gradient g;
    g.x.reset(grey.first_derivative_x(sigma));
    if (g.x) g.y.reset(grey.first_derivative_y(sigma));
    return g;
}

// The gradients of a colour image's three channels, or an empty vector.
std::vector<Gradient> channel_gradients(CImage& image, float sigma) {
    std::vector<Gradient> out;
    std::unique_ptr<CImage> channel[3];
    for (auto& c : channel) {
        c.reset(new_image(image.nrows, image.ncols, 0, image.format, image.datatype));
        if (!c) return {};
    }
    image.ComputeRGB(channel[0].get(), channel[1].get(), channel[2].get());
    out.reserve(3);
    for (auto& c : channel) {
        out.push_back(gradient_of(*c, sigma));
        c.reset();  // one channel's pixels at a time beside the gradients
        if (!out.back().ok()) return {};
    }
    return out;
}

// The rows or columns kept by the normalisation: from round(2 sigma) up to
// but excluding round(size - 2 sigma), halves away from zero, clamped to
// 0..size (empty when the bands meet).
struct Span {
    int begin, end;
};

Span interior(int size, float sigma) {
    const double band = 2.0 * static_cast<double>(sigma);
    if (std::isnan(band)) return {0, size};
    const auto clamp = [size](double v) { return v < 0.0 ? 0 : v > size ? size : static_cast<int>(v); };
    return {clamp(std::round(band)), clamp(std::round(size - band))};
}

// Scales mag so that its largest value inside the border band is 1 and
// sets the band to 0; all 0 when that interior is empty or holds no
// positive value (a flat picture, or one no wider than the band).
void normalise_interior(CImage& image, float sigma) {
    const Span rows = interior(image.nrows, sigma), cols = interior(image.ncols, sigma);
    // The largest value, band by band; a maximum does not depend on the
    // order in which it is taken.
    float top = 0.0f;
    std::mutex merge;
    const int inside = rows.end > rows.begin ? rows.end - rows.begin : 0;
    run_rows_in_bands(inside, pixels_of(image), [&](int begin, int end) {
        float band_top = 0.0f;
        for (int r = rows.begin + begin; r < rows.begin + end; ++r)
            for (int c = cols.begin; c < cols.end; ++c) band_top = image.mag[r][c] > band_top ? image.mag[r][c] : band_top;
        const std::lock_guard<std::mutex> lock(merge);
        top = band_top > top ? band_top : top;
    });
    run_rows_in_bands(image.nrows, pixels_of(image), [&](int begin, int end) {
        for (int r = begin; r < end; ++r) {
            float* m = image.mag[r];
            const bool inside = r >= rows.begin && r < rows.end && top > 0.0f;
            for (int c = 0; c < image.ncols; ++c)
                m[c] = inside && c >= cols.begin && c < cols.end ? m[c] / top : 0.0f;
        }
    });
}

// Allocates whichever of mag and dir is missing; on failure releases what
// it allocated here and leaves the image as it was.
bool ensure_planes(CImage& image, bool want_dir) {
    const bool had_mag = image.mag != nullptr;
    if (!had_mag && !add_plane(image, &image.mag)) return false;
    if (want_dir && !image.dir && !add_plane(image, &image.dir)) {
        if (!had_mag) {
            free_2D_float_array(image.mag);
            image.mag = nullptr;
        }
        return false;
    }
    return true;
}

// Thinning at columns c.. of one row. The direction sectors are bounded by
// the odd multiples of pi/8 (single precision); counting the bounds at or
// below the direction numbers them 0 to 8, and opposite sectors (k and
// k + 4, 8 and 0) compare the same neighbours: 0 left and right, 1 lower
// right and upper left, 2 below and above, 3 lower left and upper right. A
// direction below 0, or not a number, counts 0. A pixel stays when it is at
// least both neighbours (so never when either comparison has a NaN).
template <class V>
KALVIO_INLINE void thin_lanes(const float* up, const float* mid, const float* down, const float* dir, int c,
                              float* out) {
    using M = Mask<V>;
    const V d = load<V>(dir + c);
    const M count = (d >= 0.39269909f) + (d >= 1.1780973f) + (d >= 1.9634955f) + (d >= 2.7488936f) +
                    (d >= 3.5342917f) + (d >= 4.3196898f) + (d >= 5.1050882f) + (d >= 5.8904862f);
    const M k = (0 - count) & 3;  // each true comparison counts -1
    V a = load<V>(mid + c - 1), b = load<V>(mid + c + 1);
    a = select<V>(k == 1, load<V>(down + c + 1), a), b = select<V>(k == 1, load<V>(up + c - 1), b);
    a = select<V>(k == 2, load<V>(down + c), a), b = select<V>(k == 2, load<V>(up + c), b);
    a = select<V>(k == 3, load<V>(down + c - 1), a), b = select<V>(k == 3, load<V>(up + c + 1), b);
    const V m = load<V>(mid + c);
    store(out + c, select<V>((m >= a) & (m >= b), m, splat<V>(0.0f)));
}

template <class V>
KALVIO_INLINE void thin_row(const float* up, const float* mid, const float* down, const float* dir, int n,
                            float* out) {
    int c = 1;
    for (; c + kLanes<V> <= n - 1; c += kLanes<V>) thin_lanes<V>(up, mid, down, dir, c, out);
    for (; c < n - 1; ++c) thin_lanes<f1>(up, mid, down, dir, c, out);
}

using ThinRow = void (*)(const float*, const float*, const float*, const float*, int, float*);

void thin_row_1(const float* up, const float* mid, const float* down, const float* dir, int n, float* out) {
    thin_row<f1>(up, mid, down, dir, n, out);
}

void thin_row_4(const float* up, const float* mid, const float* down, const float* dir, int n, float* out) {
    thin_row<f4>(up, mid, down, dir, n, out);
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) void thin_row_8(const float* up, const float* mid, const float* down,
                                                const float* dir, int n, float* out) {
    thin_row<f8>(up, mid, down, dir, n, out);
}
#else
void thin_row_8(const float* up, const float* mid, const float* down, const float* dir, int n, float* out) {
    thin_row<f4>(up, mid, down, dir, n, out);
}
#endif

// Pixel (r, c) packed into one index of a picture `cols` wide.
using Index = std::int64_t;

}  // namespace

void CImage::edges_mag_dir(float sigma) {
    if (!has_pixels(this)) return;
    // All derivatives first, so that a failure leaves the image as it was.
    std::vector<Gradient> grads;
    if (color == 1) {
        grads = channel_gradients(*this, sigma);
    } else {
        Gradient g = gradient_of(*this, sigma);
        if (g.ok()) grads.push_back(std::move(g));
    }
    if (grads.empty() || !ensure_planes(*this, true)) return;

    const int count = static_cast<int>(grads.size());
    const int lanes = simd_lanes();
    const MagDirRow row = lanes == 8 ? mag_dir_row_8 : lanes == 4 ? mag_dir_row_4 : mag_dir_row_1;
    run_rows_in_bands(nrows, pixels_of(*this), [&](int begin, int end) {
        for (int r = begin; r < end; ++r) {
            const float* gx[3];
            const float* gy[3];
            for (int k = 0; k < count; ++k) gx[k] = grads[k].x->data[r], gy[k] = grads[k].y->data[r];
            row(gx, gy, count, ncols, mag[r], dir[r]);
        }
    });
    normalise_interior(*this, sigma);
}

CImage* CImage::non_maximum_suppression() {
    if (!has_pixels(this) || !mag || !dir) return nullptr;
    CImage* out = new_image(nrows, ncols, 0, format, KALVIO_TYPE_FLOAT);
    if (!out || nrows < 3 || ncols < 3) return out;
    const int lanes = simd_lanes();
    const ThinRow row = lanes == 8 ? thin_row_8 : lanes == 4 ? thin_row_4 : thin_row_1;
    run_rows_in_bands(nrows - 2, pixels_of(*this), [&](int begin, int end) {
        for (int r = begin + 1; r < end + 1; ++r) row(mag[r - 1], mag[r], mag[r + 1], dir[r], ncols, out->data[r]);
    });
    return out;
}

CImage* CImage::hysteresis_thresholding(float high, float low) {
    if (!has_pixels(this)) return nullptr;
    CImage* out = new_image(nrows, ncols, 0, format, KALVIO_TYPE_UINT8);
    if (!out) return nullptr;
    for (int r = 1; r < nrows - 1; ++r)
        for (int c = 1; c < ncols - 1; ++c)
            // A pixel already marked has had its neighbourhood followed.
            if (data[r][c] > high && out->data[r][c] == 0.0f) {
                out->data[r][c] = 255.0f;
                follow_edge(out, r, c, low);
            }
    return out;
}

void CImage::follow_edge(CImage* out, int row, int column, float low) {
    if (!has_pixels(this) || !has_pixels(out) || out->nrows != nrows || out->ncols != ncols) return;
    if (row < 0 || row >= nrows || column < 0 || column >= ncols) return;
    // Every pixel is marked when it is pushed, so each is pushed once at
    // most; the set reached is the 8-connected one, whatever the order.
    std::vector<Index> stack;
    const auto visit_around = [&](int r0, int c0) {
        for (int r = r0 - 1; r <= r0 + 1; ++r) {
            if (r < 0 || r >= nrows) continue;
            for (int c = c0 - 1; c <= c0 + 1; ++c) {
                if (c < 0 || c >= ncols || !(data[r][c] > low) || out->data[r][c] != 0.0f) continue;
                out->data[r][c] = 255.0f;
                stack.push_back(static_cast<Index>(r) * ncols + c);
            }
        }
    };
    try {
        visit_around(row, column);
        while (!stack.empty()) {
            const Index p = stack.back();
            stack.pop_back();
            visit_around(static_cast<int>(p / ncols), static_cast<int>(p % ncols));
        }
    } catch (const std::bad_alloc&) {
        AfxMessageBox("follow_edge: Can't allocate memory", MB_OK);
    }
}

void CImage::SobelFilter() {
    if (!has_pixels(this) || nrows < 3 || ncols < 3) return;
    std::unique_ptr<CImage> grey;
    if (color == 1) {
        grey.reset(MakeGray());
        if (!grey) return;
    }
    const CImage& g = grey ? *grey : *this;
    if (!ensure_planes(*this, false)) return;
    run_rows_in_bands(nrows - 2, pixels_of(*this), [&](int begin, int end) {
        for (int r = begin + 1; r < end + 1; ++r) {
            const float* up = g.data[r - 1];
            const float* mid = g.data[r];
            const float* down = g.data[r + 1];
            float* m = mag[r];
            for (int c = 1; c < ncols - 1; ++c) {
                const float gx = (up[c + 1] + 2.0f * mid[c + 1] + down[c + 1]) - (up[c - 1] + 2.0f * mid[c - 1] + down[c - 1]);
                const float gy = (up[c - 1] + 2.0f * up[c] + up[c + 1]) - (down[c - 1] + 2.0f * down[c] + down[c + 1]);
                m[c] = std::sqrt(gx * gx + gy * gy);
            }
        }
    });
}

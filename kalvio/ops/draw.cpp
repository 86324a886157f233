// Drawing into the pixels: digital segments, crosses and circles, and
// filling regions bounded by a value.
#include "ops/image_checks_p.h"

#include <kalvio/image.h>
#include <kalvio/message.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

using namespace kalvio::detail;

namespace {

// Whether pixel (r, c) holds `v` (a colour pixel in all three channels);
// NaN matches NaN, so that a fill with NaN ends.
bool holds(const CImage& image, int r, int c, float v) {
    const auto same = [v](float p) { return p == v || (std::isnan(p) && std::isnan(v)); };
    if (image.color != 1) return same(image.data[r][c]);
    const float* p = image.data[r] + 3 * static_cast<std::ptrdiff_t>(c);
    return same(p[0]) && same(p[1]) && same(p[2]);
}

void put(CImage& image, std::int64_t r, std::int64_t c, float v) {
    image.SetPixel(static_cast<int>(r), static_cast<int>(c), v);
}

// Sets the pixels inside the image of the digital segment that digiline
// traces from (r0, c0) to (r1, c1): Bresenham's, from the lexicographically
// smaller end. Point i along the longer axis D = max(|dr|, |dc|) is moved
// floor((i d - D/2 + D - 1) / D) steps along the shorter one (d = the
// shorter extent), which is where digiline's error term puts it, so only
// the points over the image are visited, however far the ends lie.
void draw_segment(CImage& image, std::int64_t r0, std::int64_t c0, std::int64_t r1, std::int64_t c1, float v) {
    if (r1 < r0 || (r1 == r0 && c1 < c0)) std::swap(r0, r1), std::swap(c0, c1);
    const std::int64_t dr = r1 - r0, dc = c1 >= c0 ? c1 - c0 : c0 - c1;
    const bool rows_major = dr > dc;
    const std::int64_t D = rows_major ? dr : dc, d = rows_major ? dc : dr;
    // Longer axis: start m0, step sm, extent mn; shorter: n0, sn, nn.
    const std::int64_t m0 = rows_major ? r0 : c0, n0 = rows_major ? c0 : r0;
    const std::int64_t sm = rows_major ? 1 : (c1 >= c0 ? 1 : -1), sn = rows_major ? (c1 >= c0 ? 1 : -1) : 1;
    const std::int64_t mn = rows_major ? image.nrows : image.ncols, nn = rows_major ? image.ncols : image.nrows;

    // The steps i in 0..D whose longer coordinate m0 + sm i lies in 0..mn-1.
    std::int64_t first = sm > 0 ? -m0 : m0 - (mn - 1);
    std::int64_t last = sm > 0 ? mn - 1 - m0 : m0;
    first = first < 0 ? 0 : first;
    last = last > D ? D : last;
    if (first > last) return;

    // The error term and shorter coordinate at step `first`, as digiline's
    // loop would have them (in 128 bits: i d can exceed 64).
    const __int128 numerator = static_cast<__int128>(first) * d - D / 2 + D - 1;
    const std::int64_t moved = D == 0 ? 0 : static_cast<std::int64_t>(numerator / D);
    std::int64_t err = static_cast<std::int64_t>(D / 2 - static_cast<__int128>(first) * d + static_cast<__int128>(moved) * D);
    std::int64_t n = n0 + sn * moved;
    for (std::int64_t i = first; i <= last; ++i) {
        const std::int64_t m = m0 + sm * i;
        if (n >= 0 && n < nn) rows_major ? put(image, m, n, v) : put(image, n, m, v);
        err -= d;
        if (err < 0) n += sn, err += D;
    }
}

// Whether a sample equals `v`, NaN matching NaN.
struct Matches {
    float v;
    bool nan;
    explicit Matches(float value) : v(value), nan(std::isnan(value)) {}
    bool operator()(float p) const { return p == v || (nan && p != p); }
};

// Scan-line fill of the 4-connected region around (row, column) whose
// pixels (N channels) match neither `value` nor `boundary`: each run of
// such open pixels in a row is filled at once, and the open runs touching
// it above and below are queued by one of their pixels. Filled pixels hold
// `value` and are no longer open, so the fill ends, and it reaches exactly
// that region whatever the order.
template <int N>
void fill_region(CImage& image, int row, int column, float value, float boundary) {
    const Matches is_value(value), is_boundary(boundary);
    const auto open = [&](const float* p) {
        bool all_value = true, all_boundary = true;
        for (int k = 0; k < N; ++k) all_value = all_value && is_value(p[k]), all_boundary = all_boundary && is_boundary(p[k]);
        return !all_value && !all_boundary;
    };
    const auto at = [&](int r, int c) { return image.data[r] + static_cast<std::ptrdiff_t>(N) * c; };
    struct Seed {
        int r, c;
    };
    std::vector<Seed> stack;
    try {
        stack.push_back({row, column});
        while (!stack.empty()) {
            const Seed s = stack.back();
            stack.pop_back();
            if (!open(at(s.r, s.c))) continue;
            int left = s.c, right = s.c;
            while (left > 0 && open(at(s.r, left - 1))) --left;
            while (right < image.ncols - 1 && open(at(s.r, right + 1))) ++right;
            std::fill(at(s.r, left), at(s.r, right + 1), value);
            for (int r : {s.r - 1, s.r + 1}) {
                if (r < 0 || r >= image.nrows) continue;
                for (int c = left; c <= right; ++c) {
                    if (!open(at(r, c))) continue;
                    stack.push_back({r, c});
                    while (c < right && open(at(r, c + 1))) ++c;
                }
            }
        }
    } catch (const std::bad_alloc&) {
        AfxMessageBox("FillObject: Can't allocate memory", MB_OK);
    }
}

}  // namespace

void CImage::DrawLine(int row0, int column0, int row1, int column1, float value) {
    if (has_pixels(this)) draw_segment(*this, row0, column0, row1, column1, value);
}

void CImage::DrawCross(int row, int column, float value, int size) {
    if (!has_pixels(this)) return;
    const std::int64_t s = size;
    draw_segment(*this, row - s, column, row + s, column, value);
    draw_segment(*this, row, column - s, row, column + s, value);
}

void CImage::DrawCircle(int row, int column, float radius, float value) {
    if (!has_pixels(this)) return;
    for (int k = 0; k < 360; ++k) {
        const float a = static_cast<float>(k) * 0.017453292f;
        const double r = round_half_away(static_cast<float>(row) + radius * std::cos(a));
        const double c = round_half_away(static_cast<float>(column) + radius * std::sin(a));
        if (r >= 0.0 && r < nrows && c >= 0.0 && c < ncols) SetPixel(static_cast<int>(r), static_cast<int>(c), value);
    }
}

void CImage::FillObject(int row, int column, float value, float boundary) {
    if (!has_pixels(this) || row < 0 || row >= nrows || column < 0 || column >= ncols) return;
    if (color == 1) fill_region<3>(*this, row, column, value, boundary);
    else fill_region<1>(*this, row, column, value, boundary);
}

void CImage::FillConvexObject(float value) {
    if (!has_pixels(this)) return;
    for (int r = 0; r < nrows; ++r) {
        int first = -1, last = -1;
        for (int c = 0; c < ncols; ++c)
            if (holds(*this, r, c, value)) {
                if (first < 0) first = c;
                last = c;
            }
        for (int c = first + 1; first >= 0 && c < last; ++c) SetPixel(r, c, value);
    }
}

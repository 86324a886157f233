// The two-pass chamfer distance transform.
#include "ops/image_checks_p.h"

#include <kalvio/image.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>

using namespace kalvio::detail;

namespace {

constexpr float kAxial = 1.0f;
constexpr float kDiagonal = 1.4142137f;
constexpr float kFar = 1000000.0f;

// One row of a pass. `d` is the row being updated, `prev` the row the pass
// came from (null for the first), `step` +1 for the forward pass, which
// takes the left neighbour, and -1 for the backward one, which takes the
// right. The candidates from the previous row do not depend on each other,
// so they are taken first in a loop that vectorises; the neighbour in the
// same row then follows in order. min is exact, so the split gives the
// same values as taking all candidates pixel by pixel.
void pass_row(float* __restrict d, const float* __restrict prev, int n, int step) {
    const auto least = [](float a, float b) { return b < a ? b : a; };
    if (prev) {
        if (n == 1) {
            d[0] = least(d[0], prev[0] + kAxial);
        } else {
            d[0] = least(d[0], least(prev[0] + kAxial, prev[1] + kDiagonal));
            for (int c = 1; c < n - 1; ++c)
                d[c] = least(d[c], least(prev[c] + kAxial, least(prev[c - 1], prev[c + 1]) + kDiagonal));
            d[n - 1] = least(d[n - 1], least(prev[n - 1] + kAxial, prev[n - 2] + kDiagonal));
        }
    }
    // The running distance stays in a register along the row.
    if (step > 0) {
        float run = d[0];
        for (int c = 1; c < n; ++c) d[c] = run = least(d[c], run + kAxial);
    } else {
        float run = d[n - 1];
        for (int c = n - 2; c >= 0; --c) d[c] = run = least(d[c], run + kAxial);
    }
}

}  // namespace

CImage* CImage::Chamfer() {
    if (!has_pixels(this)) return nullptr;
    const int n = ncols;
    const int N = channels(*this);
    // The distances are computed in the result's first plane of floats when
    // grey, or in a scratch row set when colour, then spread over channels.
    CImage* out = new_image(nrows, ncols, color, KALVIO_FORMAT_NONE, KALVIO_TYPE_FLOAT);
    if (!out) return nullptr;
    std::unique_ptr<float[]> scratch;
    if (N == 3) {
        scratch.reset(new (std::nothrow) float[static_cast<std::size_t>(nrows) * n]);
        if (!scratch) {
            delete out;
            return nullptr;
        }
    }
    const auto row = [&](int r) { return N == 1 ? out->data[r] : scratch.get() + static_cast<std::size_t>(r) * n; };

    for (int r = 0; r < nrows; ++r) {
        const float* p = data[r];
        float* d = row(r);
        for (int c = 0; c < n; ++c) {
            bool object = false;
            for (int k = 0; k < N; ++k) object = object || p[N * c + k] != 0.0f;
            d[c] = object ? 0.0f : kFar;
        }
    }
    for (int r = 0; r < nrows; ++r) pass_row(row(r), r > 0 ? row(r - 1) : nullptr, n, +1);
    for (int r = nrows - 1; r >= 0; --r) pass_row(row(r), r < nrows - 1 ? row(r + 1) : nullptr, n, -1);

    if (N == 3) {
        for (int r = 0; r < nrows; ++r) {
            const float* d = row(r);
            float* o = out->data[r];
            for (int c = 0; c < n; ++c) o[3 * c] = o[3 * c + 1] = o[3 * c + 2] = d[c];
        }
    }
    return out;
}

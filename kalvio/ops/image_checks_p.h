// Checks at the boundary of the pixel operations, and their new results.
#pragma once

#include <kalvio/image.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

namespace kalvio::detail {

/// Asks the system to back [first, first + bytes) with huge pages where it
/// covers whole ones: a new picture of many megabytes is touched once per
/// page, and its first-touch faults cost as much as the operation itself
/// where faults are slow (virtual machines). Only a hint.
void advise_huge_pages(const void* first, std::size_t bytes);

/// True for an image with a pixel array: grey or colour, at least one row
/// and one column. Null gives false.
bool has_pixels(const CImage* image);

/// Pixels of a picture of rows x cols (both at least 0), in the width the
/// band runner counts in.
inline std::size_t pixels_of(std::int64_t rows, std::int64_t cols) {
    return static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
}
inline std::size_t pixels_of(const CImage& image) { return pixels_of(image.nrows, image.ncols); }

/// n items of scratch, not initialised, or null when memory is lacking. A
/// block of many megabytes is asked for huge pages before it is touched.
template <class T>
std::unique_ptr<T[]> scratch_of(std::size_t n) {
    std::unique_ptr<T[]> block(new (std::nothrow) T[n]);
    if (block) advise_huge_pages(block.get(), n * sizeof(T));
    return block;
}

/// Floats a row of `image` holds: ncols (grey) or 3 * ncols (colour).
inline int row_length(const CImage& image) { return image.color == 1 ? 3 * image.ncols : image.ncols; }

/// Samples a pixel of `image` holds: 1 (grey) or 3 (colour).
inline int channels(const CImage& image) { return image.color == 1 ? 3 : 1; }

/// Whether two images have the same nrows and ncols; when they do not,
/// shows "The two images should have the same size" first.
bool require_same_size(const CImage& a, const CImage& b);

/// Whether a picture of `rows` x `cols` pixels of `channels` floats (1 or 3)
/// can be held: both sizes positive, rows and the row length within int,
/// and the whole block addressable. Sizes are passed in 64 bits so that a
/// product that overflowed int is seen here rather than wrapped.
bool fits_image(std::int64_t rows, std::int64_t cols, int channels);

/// A new zero-filled image of the given size and codes, owned by the
/// caller; null when the size does not fit or memory is lacking (the
/// allocator then shows its message).
CImage* new_image(std::int64_t rows, std::int64_t cols, int color, int format, int datatype);

/// Allocates a zero-filled nrows x ncols plane of `image` into `*plane`
/// (one of its mag, dir or scale); false when memory is lacking.
bool add_plane(const CImage& image, float*** plane);

/// Truncation toward zero into 64 bits: NaN gives 0, values beyond the
/// range saturate, so no conversion is undefined.
inline std::int64_t truncate_to_int64(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 9223372036854775807.0) return INT64_MAX;
    if (v <= -9223372036854775808.0) return INT64_MIN;
    return static_cast<std::int64_t>(v);
}

/// Rounds half away from zero, as std::round, without the library call:
/// floats of 2^23 and beyond are whole already, and NaN stays NaN.
inline float round_half_away(float v) {
    if (!(std::fabs(v) < 8388608.0f)) return v;
    const float whole = static_cast<float>(static_cast<std::int32_t>(v));
    const float rest = v - whole;  // exact
    if (rest >= 0.5f) return whole + 1.0f;
    if (rest <= -0.5f) return whole - 1.0f;
    return whole;
}

/// The library's running extremes of the first `length` floats of every
/// row: the minimum starts at 1,000,000 and the maximum at -1,000,000, so
/// NaNs never take part.
void running_extremes(float* const* rows, int nrows, int length, float* min, float* max);

/// (v - min) * scale / (max - min), or 0 for a range that is empty (a
/// constant plane) or not a number.
struct Stretch {
    float min, scale, range;
    Stretch(float low, float high, float to) : min(low), scale(to), range(high - low) {}
    float operator()(float v) const { return range > 0.0f ? (v - min) * scale / range : 0.0f; }
};

}  // namespace kalvio::detail

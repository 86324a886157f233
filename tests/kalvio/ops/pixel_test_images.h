// Small images written inline, and their pixels read back, for the tests of
// the pixel operations.
#pragma once

#include <kalvio/image.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace pixel_test {

using Image = std::unique_ptr<CImage>;
using Row = std::vector<float>;
using Rows = std::vector<Row>;

/// An image of the given rows, grey or (color 1) interleaved colour, format
/// PGM/PPM and sample type INT16 so that tests see which codes a result keeps.
inline Image image_of(const Rows& rows, int color = 0) {
    const int ncols = static_cast<int>(rows.at(0).size()) / (color == 1 ? 3 : 1);
    auto image = std::make_unique<CImage>(static_cast<int>(rows.size()), ncols, color,
                                          color ? KALVIO_FORMAT_PPM : KALVIO_FORMAT_PGM, KALVIO_TYPE_INT16);
    for (std::size_t r = 0; r < rows.size(); ++r) std::memcpy(image->data[r], rows[r].data(), rows[r].size() * sizeof(float));
    return image;
}

/// Seeded values in 0..255 with fractions, to catch a sample read from the
/// wrong place.
inline Image random_image(int nrows, int ncols, int color, unsigned seed) {
    auto image = std::make_unique<CImage>(nrows, ncols, color, KALVIO_FORMAT_QVF, KALVIO_TYPE_FLOAT);
    for (int r = 0; r < nrows; ++r)
        for (int i = 0; i < ncols * (color ? 3 : 1); ++i) {
            seed = seed * 1664525u + 1013904223u;
            image->data[r][i] = static_cast<float>(seed >> 8) / static_cast<float>(1 << 24) * 255.0f;
        }
    return image;
}

/// Rows of `length` floats of a pixel array or plane; the whole rows of the
/// pixels when length is 0.
inline Rows rows_of(const CImage& image, float* const* plane = nullptr, int length = 0) {
    if (!plane) plane = image.data, length = image.ncols * (image.color == 1 ? 3 : 1);
    Rows rows;
    for (int r = 0; r < image.nrows; ++r) rows.emplace_back(plane[r], plane[r] + length);
    return rows;
}

/// Rows, columns, colour, format, type.
inline std::vector<int> header(const CImage& image) {
    return {image.nrows, image.ncols, image.color, image.format, image.datatype};
}

inline bool same_bits(const CImage& a, const CImage& b) {
    if (header(a) != header(b)) return false;
    for (int r = 0; r < a.nrows; ++r)
        if (std::memcmp(a.data[r], b.data[r], sizeof(float) * a.ncols * (a.color == 1 ? 3 : 1)) != 0) return false;
    return true;
}

/// Sets an environment variable (KALVIO_THREADS, KALVIO_SIMD) while alive.
class Setting {
public:
    Setting(const char* name, const char* value) : m_name(name) {
        if (value) setenv(name, value, 1);
    }
    ~Setting() { unsetenv(m_name); }
    Setting(const Setting&) = delete;
    Setting& operator=(const Setting&) = delete;

private:
    const char* m_name;
};

}  // namespace pixel_test

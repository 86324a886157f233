// Checks at the boundary of the pixel operations, and their new results.
#include "ops/image_checks_p.h"

#include <kalvio/arrays.h>
#include <kalvio/message.h>

#include <climits>
#include <cstdint>
#include <new>
#ifdef __linux__
#include <sys/mman.h>
#endif

namespace kalvio::detail {

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


bool has_pixels(const CImage* image) {
    return image && image->data && image->nrows > 0 && image->ncols > 0 &&
           (image->color == 0 || image->color == 1);
}

bool require_same_size(const CImage& a, const CImage& b) {
    if (a.nrows == b.nrows && a.ncols == b.ncols) return true;
    AfxMessageBox("The two images should have the same size", MB_OK);
    return false;
}

bool fits_image(std::int64_t rows, std::int64_t cols, int channels) {
    if (rows <= 0 || cols <= 0 || rows > INT_MAX || cols > INT_MAX / channels) return false;
    const std::uint64_t floats = static_cast<std::uint64_t>(rows) * static_cast<std::uint64_t>(cols * channels);
    return floats <= static_cast<std::uint64_t>(PTRDIFF_MAX) / sizeof(float);
}

CImage* new_image(std::int64_t rows, std::int64_t cols, int color, int format, int datatype) {
    if ((color != 0 && color != 1) || !fits_image(rows, cols, color == 1 ? 3 : 1)) return nullptr;
    CImage* image = new (std::nothrow)
        CImage(static_cast<int>(rows), static_cast<int>(cols), color, format, datatype);
    if (!image) return nullptr;
    if (!image->data) {
        delete image;
        return nullptr;
    }
    return image;
}

bool add_plane(const CImage& image, float*** plane) {
    *plane = make_2D_float_array(image.nrows, image.ncols);
    return *plane != nullptr;
}

void running_extremes(float* const* rows, int nrows, int length, float* min, float* max) {
    float low = 1000000.0f, high = -1000000.0f;
    for (int r = 0; r < nrows; ++r) {
        const float* row = rows[r];
        for (int i = 0; i < length; ++i) {
            low = row[i] < low ? row[i] : low;
            high = row[i] > high ? row[i] : high;
        }
    }
    *min = low;
    *max = high;
}

}  // namespace kalvio::detail

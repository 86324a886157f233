// Helpers of the segmentation object.
#pragma once

#include <kalvio/arrays.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace contour_detail {

// Bytes ahead of an int map's cells, holding the block's size.
constexpr std::size_t kIntMapHeader = 64;

// Largest terminal capacity handed to the graph: sums of capacities beyond
// it are cut down to it.
constexpr long long kLargestTerminal = std::numeric_limits<int>::max() / 4;

/// rows x cols zero-filled ints as a table of row pointers into one block
/// from kalvio::allocate_pages; null for a size that is not positive or when
/// memory runs out. Release with free_int_map.
inline int** make_int_map(int rows, int cols) {
    if (rows <= 0 || cols <= 0) return nullptr;
    const std::size_t count = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    if (count > (SIZE_MAX - kIntMapHeader) / sizeof(int)) return nullptr;
    const std::size_t bytes = kIntMapHeader + count * sizeof(int);
    auto* block = static_cast<unsigned char*>(kalvio::allocate_pages(bytes));
    int** table = block ? static_cast<int**>(std::malloc(sizeof(int*) * static_cast<std::size_t>(rows))) : nullptr;
    if (!table) {
        kalvio::release_pages(block, bytes);
        return nullptr;
    }
    // The block's size leads it, for the release.
    std::memcpy(block, &bytes, sizeof bytes);
    int* cells = reinterpret_cast<int*>(block + kIntMapHeader);
    for (int r = 0; r < rows; ++r) table[r] = cells + static_cast<std::size_t>(r) * static_cast<std::size_t>(cols);
    return table;
}

inline void free_int_map(int** map) {
    if (!map) return;
    unsigned char* block = reinterpret_cast<unsigned char*>(map[0]) - kIntMapHeader;
    std::size_t bytes = 0;
    std::memcpy(&bytes, block, sizeof bytes);
    kalvio::release_pages(block, bytes);
    std::free(map);
}

#if defined(__SSE2__)
/// Truncates floats four at a time, noting whether every one so far was a
/// whole number (a fraction or no number differs from its truncation) with
/// no bits of `outside` set in its truncation. movemask sees only the top
/// bit of each byte, so the bits beyond the bound are compared with zero
/// before they are asked for.
class WholeLanes {
public:
    explicit WholeLanes(int outside) : m_outside(_mm_set1_epi32(outside)) {}
    __m128i truncate(__m128 value) {
        const __m128i whole = _mm_cvttps_epi32(value);
        m_inexact = _mm_or_si128(m_inexact, _mm_castps_si128(_mm_cmpneq_ps(_mm_cvtepi32_ps(whole), value)));
        m_beyond = _mm_or_si128(m_beyond, _mm_and_si128(whole, m_outside));
        return whole;
    }
    bool all_whole() const {
        return _mm_movemask_epi8(m_inexact) == 0 &&
               _mm_movemask_epi8(_mm_cmpeq_epi32(m_beyond, _mm_setzero_si128())) == 0xFFFF;
    }

private:
    __m128i m_outside;
    __m128i m_inexact = _mm_setzero_si128(), m_beyond = _mm_setzero_si128();
};
#endif

}  // namespace contour_detail

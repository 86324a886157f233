// Helpers of the segmentation object.
#pragma once

#include <kalvio/arrays.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace contour_detail {

// Bytes ahead of an int map's cells, holding the block's size.
constexpr std::size_t kIntMapHeader = 64;

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

}  // namespace contour_detail

// Helpers of the segmentation object.
#pragma once

#include <cstdlib>
#include <cstring>

namespace contour_detail {

/// rows x cols zero-filled ints as a table of row pointers into one block;
/// null for a size that is not positive. Release with free_int_map.
inline int** make_int_map(int rows, int cols) {
    if (rows <= 0 || cols <= 0) return nullptr;
    const std::size_t count = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    int* block = static_cast<int*>(std::calloc(count, sizeof(int)));
    int** table = block ? static_cast<int**>(std::malloc(sizeof(int*) * static_cast<std::size_t>(rows))) : nullptr;
    if (!table) {
        std::free(block);
        return nullptr;
    }
    for (int r = 0; r < rows; ++r) table[r] = block + static_cast<std::size_t>(r) * static_cast<std::size_t>(cols);
    return table;
}

inline void free_int_map(int** map) {
    if (!map) return;
    std::free(map[0]);
    std::free(map);
}

}  // namespace contour_detail

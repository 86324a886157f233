// Array allocation, line digitisation and sorting support.
#pragma once

#include <kalvio/export.h>

#include <cstddef>

namespace kalvio {

/// `bytes` zero bytes for a large per-pixel array. Blocks of 4 MiB and more
/// are mapped on their own, from a 2 MiB boundary and in whole 2 MiB pages,
/// advised for transparent huge pages where the system offers them (Linux),
/// which spares a page fault per 4 KiB on first touch; their zeros come from
/// the system and their memory goes back to it on release. Smaller blocks
/// come from the heap. 0 bytes give a valid block. Null when memory is
/// lacking. Release with release_pages and the same byte count.
KALVIO_API void* allocate_pages(std::size_t bytes);
/// As allocate_pages, for a block of which only scattered bytes will ever
/// be touched (seeds on a picture): a large block is mapped in small pages,
/// so that its untouched parts take no memory. Release with release_pages.
KALVIO_API void* allocate_sparse_pages(std::size_t bytes);
/// Releases a block from allocate_pages or allocate_sparse_pages; `bytes` must be the count it was
/// asked for, which tells how the block was obtained. Null is ignored.
KALVIO_API void release_pages(void* block, std::size_t bytes);

}  // namespace kalvio

/// rows x cols floats, zero-filled, addressed a[row][col]: one block of
/// rows*cols floats from kalvio::allocate_pages plus a table of row pointers
/// into it. Rows may be swapped or permuted freely; free_2D_float_array still
/// releases the block. A zero row or column count gives a valid empty array.
/// On a negative size, a size whose product overflows, or lack of memory:
/// shows "Can't allocate core in make_2D_float_array" and returns null.
KALVIO_API float** make_2D_float_array(int rows, int cols);
/// Releases an array from make_2D_float_array (block, then table). Null is
/// ignored.
KALVIO_API void free_2D_float_array(float** a);

/// n floats or ints, zero-filled; null (after a message) on a negative n or
/// lack of memory. Release with the matching free function; null is ignored.
KALVIO_API float* make_1D_float_array(int n);
KALVIO_API int* make_1D_int_array(int n);
KALVIO_API void free_1D_float_array(float* a);
KALVIO_API void free_1D_int_array(int* a);

/// The 8-connected digital segment from (r0, c0) to (r1, c1), both end points
/// included, in order from the first to the second: rows[i], cols[i] for
/// i < *n, with *n = max(|r1 - r0|, |c1 - c0|) + 1. The arrays must hold *n
/// entries. Points are not clipped. Reversing the end points gives the same
/// set of pixels in reverse order.
KALVIO_API void digiline(int r0, int c0, int r1, int c1, int* rows, int* cols, int* n);

/// qsort comparator on floats: negative, zero or positive as *a is smaller
/// than, equal to or larger than *b. NaNs sort after every number and equal
/// to each other, so the order stays consistent on any input.
KALVIO_API int rank_float_increasing(const void* a, const void* b);

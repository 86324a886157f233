// Array allocation, line digitisation and the float comparator.
#include <kalvio/arrays.h>
#include <kalvio/message.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

namespace {

// Bytes for `count` items of `size` bytes; false for a negative count or a
// size that does not fit in size_t.
bool checked_bytes(std::int64_t count, std::size_t size, std::size_t* bytes) {
    if (count < 0) return false;
    if (static_cast<std::uint64_t>(count) > std::numeric_limits<std::size_t>::max() / size)
        return false;
    *bytes = static_cast<std::size_t>(count) * size;
    return true;
}

// calloc that never returns a null for a zero-sized request, so that an
// empty array is still a valid, releasable array.
void* zeroed(std::size_t bytes) { return std::calloc(bytes == 0 ? 1 : bytes, 1); }

}  // namespace

// Layout: a table of rows + 1 pointers. Slot 0 keeps the pixel block; the
// caller gets the table from slot 1, so a[r] is row r. Keeping the block
// apart from the row pointers lets callers permute rows without breaking
// release.
float** make_2D_float_array(int rows, int cols) {
    std::size_t block_bytes = 0;
    std::size_t table_bytes = 0;
    const bool sizes_ok =
        checked_bytes(static_cast<std::int64_t>(rows) * cols, sizeof(float), &block_bytes) &&
        rows >= 0 && cols >= 0 &&
        checked_bytes(static_cast<std::int64_t>(rows) + 1, sizeof(float*), &table_bytes);
    float* block = sizes_ok ? static_cast<float*>(zeroed(block_bytes)) : nullptr;
    float** table = block ? static_cast<float**>(std::malloc(table_bytes)) : nullptr;
    if (!table) {
        std::free(block);
        AfxMessageBox("Can't allocate core in make_2D_float_array");
        return nullptr;
    }
    table[0] = block;
    float** a = table + 1;
    for (int r = 0; r < rows; ++r) a[r] = block + static_cast<std::size_t>(r) * cols;
    return a;
}

void free_2D_float_array(float** a) {
    if (!a) return;
    float** table = a - 1;
    std::free(table[0]);
    std::free(table);
}

float* make_1D_float_array(int n) {
    std::size_t bytes = 0;
    float* a = checked_bytes(n, sizeof(float), &bytes) ? static_cast<float*>(zeroed(bytes)) : nullptr;
    if (!a) AfxMessageBox("Can't allocate core in make_1D_float_array");
    return a;
}

int* make_1D_int_array(int n) {
    std::size_t bytes = 0;
    int* a = checked_bytes(n, sizeof(int), &bytes) ? static_cast<int*>(zeroed(bytes)) : nullptr;
    if (!a) AfxMessageBox("Can't allocate core in make_1D_int_array");
    return a;
}

void free_1D_float_array(float* a) { std::free(a); }
void free_1D_int_array(int* a) { std::free(a); }

// Bresenham's segment, always traced from the lexicographically smaller end
// point so that both directions give the same pixels.
void digiline(int r0, int c0, int r1, int c1, int* rows, int* cols, int* n) {
    const bool reversed = (r1 < r0) || (r1 == r0 && c1 < c0);
    std::int64_t ra = reversed ? r1 : r0, ca = reversed ? c1 : c0;
    const std::int64_t rb = reversed ? r0 : r1, cb = reversed ? c0 : c1;
    const std::int64_t dr = std::llabs(rb - ra), dc = std::llabs(cb - ca);
    const std::int64_t sr = rb >= ra ? 1 : -1, sc = cb >= ca ? 1 : -1;
    const std::int64_t count = (dr > dc ? dr : dc) + 1;

    std::int64_t err = (dr > dc ? dr : dc) / 2;
    for (std::int64_t i = 0; i < count; ++i) {
        const std::int64_t slot = reversed ? count - 1 - i : i;
        rows[slot] = static_cast<int>(ra);
        cols[slot] = static_cast<int>(ca);
        if (dr > dc) {
            ra += sr;
            err -= dc;
            if (err < 0) {
                ca += sc;
                err += dr;
            }
        } else {
            ca += sc;
            err -= dr;
            if (err < 0) {
                ra += sr;
                err += dc;
            }
        }
    }
    *n = static_cast<int>(count);
}

int rank_float_increasing(const void* a, const void* b) {
    const float x = *static_cast<const float*>(a);
    const float y = *static_cast<const float*>(b);
    const bool xnan = std::isnan(x), ynan = std::isnan(y);
    if (xnan || ynan) return static_cast<int>(xnan) - static_cast<int>(ynan);
    return (x > y) - (x < y);
}

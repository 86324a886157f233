// Array allocation, line digitisation and the float comparator.
#include <kalvio/arrays.h>
#include <kalvio/message.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

#ifdef __linux__
#include <sys/mman.h>
#endif

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

#if defined(__linux__) && defined(MADV_HUGEPAGE)
constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Blocks from this size on are mapped on their own in whole huge pages. A
// picture is touched page by page when it is first written, and a fault per
// 4 KiB page costs more than writing the page; in 2 MiB pages the faults
// vanish beside the writing. Below it the heap serves better.
constexpr std::size_t kMappedBlock = std::size_t{4} << 20;

// The length a block of `bytes` is mapped and unmapped with: whole huge
// pages, so that its tail can be a huge page too.
std::size_t mapped_length(std::size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

// A block of `bytes` rounded up to whole huge pages, mapped at a huge-page
// boundary and advised for huge pages before anything touches it; null when
// the system refuses. The system hands out mapped pages zeroed, so the block
// needs no clearing of its own.
void* map_block(std::size_t bytes, bool huge = true) {
    if (bytes > std::numeric_limits<std::size_t>::max() - 2 * kHugePage) return nullptr;
    const std::size_t length = mapped_length(bytes);
    const std::size_t span = length + kHugePage;  // room to slide to a boundary
    void* const at = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (at == MAP_FAILED) return nullptr;
    const auto first = reinterpret_cast<std::uintptr_t>(at);
    const std::uintptr_t begin = (first + kHugePage - 1) / kHugePage * kHugePage;
    const std::uintptr_t end = begin + length;
    if (begin > first) ::munmap(at, begin - first);
    if (first + span > end) ::munmap(reinterpret_cast<void*>(end), first + span - end);
    // Only a hint: where huge pages are off, the block still works in small
    // pages.
    ::madvise(reinterpret_cast<void*>(begin), length, huge ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
    return reinterpret_cast<void*>(begin);
}
#endif

// What the row table keeps before its rows: the pixel block and its size,
// which release_pages needs. Sixteen bytes, so the row pointers after it
// stay aligned.
struct TableHead {
    float* block;
    std::size_t bytes;
};

TableHead* head_of(float** rows) { return reinterpret_cast<TableHead*>(rows) - 1; }

}  // namespace

// The size alone tells release_pages how a block was obtained, so a large
// block the system refuses to map is a failure, not a heap block.
void* kalvio::allocate_pages(std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (bytes >= kMappedBlock) return map_block(bytes);
#endif
    return zeroed(bytes);
}

void* kalvio::allocate_sparse_pages(std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (bytes >= kMappedBlock) return map_block(bytes, false);
#endif
    return zeroed(bytes);
}

void kalvio::release_pages(void* block, std::size_t bytes) {
    if (!block) return;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (bytes >= kMappedBlock) {
        ::munmap(block, mapped_length(bytes));
        return;
    }
#endif
    std::free(block);
}

// Layout: a table that begins with a TableHead (the pixel block and its
// size) followed by the row pointers; the caller gets those,
// so a[r] is row r. Keeping the block apart from the row pointers lets
// callers permute rows without breaking release.
float** make_2D_float_array(int rows, int cols) {
    std::size_t block_bytes = 0;
    std::size_t table_bytes = 0;
    const bool sizes_ok =
        checked_bytes(static_cast<std::int64_t>(rows) * cols, sizeof(float), &block_bytes) &&
        rows >= 0 && cols >= 0 &&
        checked_bytes(static_cast<std::int64_t>(rows), sizeof(float*), &table_bytes) &&
        table_bytes <= std::numeric_limits<std::size_t>::max() - sizeof(TableHead);
    float* block = sizes_ok ? static_cast<float*>(kalvio::allocate_pages(block_bytes)) : nullptr;
    void* table = block ? std::malloc(sizeof(TableHead) + table_bytes) : nullptr;
    if (!table) {
        kalvio::release_pages(block, block_bytes);
        AfxMessageBox("Can't allocate core in make_2D_float_array");
        return nullptr;
    }
    TableHead* head = static_cast<TableHead*>(table);
    head->block = block;
    head->bytes = block_bytes;
    float** a = reinterpret_cast<float**>(head + 1);
    for (int r = 0; r < rows; ++r) a[r] = block + static_cast<std::size_t>(r) * cols;
    return a;
}

void free_2D_float_array(float** a) {
    if (!a) return;
    TableHead* head = head_of(a);
    kalvio::release_pages(head->block, head->bytes);
    std::free(head);
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

// Zero-filled blocks from fresh pages.
#include <varnex/pixelblock.h>

#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

namespace varnex {

namespace {

// Below this a block comes from the heap: mapping pages of its own would
// waste more than it saves.
constexpr std::size_t kMappedFrom = 1 << 20;
constexpr std::size_t kHugePage = 2 << 20;

}  // namespace

void* allocate_pages(std::size_t bytes) {
    if (bytes == 0) return nullptr;
    if (bytes < kMappedFrom) return std::calloc(bytes, 1);
    if (bytes > SIZE_MAX - kHugePage) return nullptr;
    // Mapped with a huge page's worth to spare, then trimmed to start on a
    // huge-page boundary, so the kernel can back it with huge pages.
    const std::size_t mapped = bytes + kHugePage;
    void* area = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(area);
    const std::uintptr_t aligned = (start + kHugePage - 1) & ~static_cast<std::uintptr_t>(kHugePage - 1);
    if (aligned > start) ::munmap(area, aligned - start);
    const long page_size = ::sysconf(_SC_PAGESIZE);
    const std::uintptr_t page = page_size > 0 ? static_cast<std::uintptr_t>(page_size) : 4096;
    const std::uintptr_t end = (aligned + bytes + page - 1) & ~(page - 1);
    if (start + mapped > end) ::munmap(reinterpret_cast<void*>(end), start + mapped - end);
    ::madvise(reinterpret_cast<void*>(aligned), end - aligned, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(aligned);
}

void release_pages(void* block, std::size_t bytes) {
    if (!block) return;
    if (bytes < kMappedFrom) {
        std::free(block);
        return;
    }
    ::munmap(block, bytes);
}

}  // namespace varnex

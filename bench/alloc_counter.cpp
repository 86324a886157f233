// Replacement of malloc, free, calloc, realloc and the aligned variants by
// forwarders to the C library's own entry points (__libc_*), which count the
// calls and the usable size of the blocks. glibc supports replacing these
// functions in the executable; every allocation of the process, including
// operator new and the engine's own malloc calls, then goes through here.
#include "alloc_counter.h"

#include <atomic>
#include <cerrno>
#include <malloc.h>

extern "C" {
void* __libc_malloc(std::size_t size);
void __libc_free(void* ptr);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* ptr, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void* __libc_valloc(std::size_t size);
void* __libc_pvalloc(std::size_t size);
}

namespace {

std::atomic<std::uint64_t> g_allocations{0};
std::atomic<std::int64_t> g_live{0};
std::atomic<std::int64_t> g_peak{0};

void note_new(void* p) {
    if (!p) return;
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    const auto size = static_cast<std::int64_t>(malloc_usable_size(p));
    const std::int64_t live = g_live.fetch_add(size, std::memory_order_relaxed) + size;
    std::int64_t peak = g_peak.load(std::memory_order_relaxed);
    while (live > peak && !g_peak.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {
    }
}

void note_gone(void* p) {
    if (!p) return;
    g_live.fetch_sub(static_cast<std::int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
}

}  // namespace

extern "C" {

void* malloc(std::size_t size) {
    void* p = __libc_malloc(size);
    note_new(p);
    return p;
}

void free(void* ptr) {
    note_gone(ptr);
    __libc_free(ptr);
}

void* calloc(std::size_t count, std::size_t size) {
    void* p = __libc_calloc(count, size);
    note_new(p);
    return p;
}

void* realloc(void* ptr, std::size_t size) {
    if (!ptr) return malloc(size);
    if (size == 0) {
        free(ptr);
        return nullptr;
    }
    const auto old_size = static_cast<std::int64_t>(malloc_usable_size(ptr));
    void* p = __libc_realloc(ptr, size);
    if (!p) return nullptr;  // the old block stays valid and counted
    g_live.fetch_sub(old_size, std::memory_order_relaxed);
    note_new(p);
    return p;
}

void* memalign(std::size_t alignment, std::size_t size) {
    void* p = __libc_memalign(alignment, size);
    note_new(p);
    return p;
}

void* aligned_alloc(std::size_t alignment, std::size_t size) {
    return memalign(alignment, size);
}

void* valloc(std::size_t size) {
    void* p = __libc_valloc(size);
    note_new(p);
    return p;
}

void* pvalloc(std::size_t size) {
    void* p = __libc_pvalloc(size);
    note_new(p);
    return p;
}

int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
    void* p = memalign(alignment, size);
    if (!p) return ENOMEM;
    *out = p;
    return 0;
}

}  // extern "C"

namespace alloc_counter {

Snapshot now() {
    return {g_allocations.load(std::memory_order_relaxed), g_live.load(std::memory_order_relaxed),
            g_peak.load(std::memory_order_relaxed)};
}

void reset_peak() { g_peak.store(g_live.load(std::memory_order_relaxed), std::memory_order_relaxed); }

std::int64_t mallinfo_bytes() {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<std::int64_t>(info.uordblks) + static_cast<std::int64_t>(info.hblkhd);
}

}  // namespace alloc_counter

// Heap accounting for the benchmarks: the program replaces malloc and its
// relatives with thin forwarders to the C library's allocator that count
// every call and the usable size of every live block. Two views are offered:
// the counters kept by the forwarders, and the C library's own mallinfo2().
#pragma once

#include <cstddef>
#include <cstdint>

namespace alloc_counter {

struct Snapshot {
    std::uint64_t allocations;  ///< calls that returned a new block (malloc, calloc, realloc that moved, aligned)
    std::int64_t live_bytes;    ///< usable bytes of all live blocks
    std::int64_t peak_bytes;    ///< highest live_bytes since the last reset_peak()
};

Snapshot now();
/// Sets the peak to the current live bytes.
void reset_peak();

/// Bytes in use according to the C library (arena blocks plus mmapped blocks).
std::int64_t mallinfo_bytes();

}  // namespace alloc_counter

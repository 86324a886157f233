// The width of the pixel kernels: what the processor has, capped by
// KALVIO_SIMD.
#include "ops/simd_p.h"

#include <cstdlib>
#include <cstring>

namespace kalvio::detail {

int simd_lanes() {
#if defined(__x86_64__) || defined(_M_X64)
    static const int best = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") ? 8 : 4;
    }();
#else
    constexpr int best = 4;
#endif
    const char* limit = std::getenv("KALVIO_SIMD");
    if (limit && std::strcmp(limit, "none") == 0) return 1;
    if (limit && std::strcmp(limit, "sse2") == 0) return 4;
    return best;
}

}  // namespace kalvio::detail

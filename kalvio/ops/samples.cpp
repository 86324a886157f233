// Float samples as bytes, for callers outside the library.
#include "ops/samples_p.h"

#include <kalvio/samples.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

void kalvio::samples_to_bytes(const float* in, std::uint8_t* out, std::size_t n) {
    detail::floats_to_bytes(in, out, n);
}

namespace {

#if defined(__x86_64__) || defined(__i386__)
// Five pixels a step with one byte shuffle; the sixteenth byte written is
// the next step's first. Returns the pixels done, leaving at least five.
__attribute__((target("ssse3"))) std::size_t swap_red_blue_ssse3(const std::uint8_t* in, std::uint8_t* out,
                                                               std::size_t n) {
    const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
    std::size_t x = 0;
    for (; x + 6 <= n; x += 5)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * x),
                         _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 3 * x)), order));
    return x;
}

bool has_ssse3() {
    static const bool has = __builtin_cpu_supports("ssse3") != 0;
    return has;
}
#endif

}  // namespace

void kalvio::swap_red_blue(const std::uint8_t* in, std::uint8_t* out, std::size_t pixels) {
    std::size_t x = 0;
#if defined(__x86_64__) || defined(__i386__)
    if (has_ssse3()) {
        x = swap_red_blue_ssse3(in, out, pixels);
        in += 3 * x;
        out += 3 * x;
    }
#endif
    for (; x < pixels; ++x, in += 3, out += 3) {
        out[0] = in[2];
        out[1] = in[1];
        out[2] = in[0];
    }
}

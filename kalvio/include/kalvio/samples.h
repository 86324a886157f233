// Float samples as the bytes of 8-bit pictures and bitmaps.
#pragma once

#include <kalvio/export.h>

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace kalvio {

/// The byte an 8-bit picture or bitmap takes for a float sample: the low 8
/// bits of the sample truncated toward zero, so 255.9 -> 255, 256 -> 0,
/// -1 -> 255. NaN gives 0; values beyond the int range saturate first
/// (2^31 and up -> 255, below -2^31 -> 0), so no float is undefined to
/// convert. Inline because per-pixel loops call it for every sample.
inline std::uint8_t sample_to_byte(float v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483648.0f) return 0xFF;
    if (v < -2147483648.0f) return 0;
    return static_cast<std::uint8_t>(static_cast<std::int32_t>(v) & 0xFF);
}

/// out[i] = sample_to_byte(in[i]) for i < n, a vector at a time where the
/// processor has one. O(n).
KALVIO_API void samples_to_bytes(const float* in, std::uint8_t* out, std::size_t n);

/// The first and third byte of each of `pixels` three-byte pixels swapped,
/// `in` to `out` (blue, green, red to red, green, blue and back), several
/// pixels a step where the processor can shuffle bytes. The two must not
/// overlap. O(pixels).
KALVIO_API void swap_red_blue(const std::uint8_t* in, std::uint8_t* out, std::size_t pixels);

}  // namespace kalvio

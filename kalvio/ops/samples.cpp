// Float samples as bytes, for callers outside the library.
#include "ops/samples_p.h"

#include <kalvio/samples.h>

void kalvio::samples_to_bytes(const float* in, std::uint8_t* out, std::size_t n) {
    detail::floats_to_bytes(in, out, n);
}

// Shared helpers of the picture readers and writers.
#pragma once

#include <kalvio/image.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "support/output_file_p.h"

namespace kalvio::detail {

/// Opens a regular file for binary reading; null for anything else
/// (missing files, folders, devices, FIFOs), found without waiting: a FIFO
/// that has no writer is refused at once. The stream returned blocks as
/// usual.
FILE* open_for_reading(const char* path);

/// Bytes from the current position to the end of `fp`, or -1.
std::int64_t bytes_left(FILE* fp);

/// Bytes that rows x cols pixels of `per_pixel` samples of `sample_bytes`
/// bytes take; false when a size is not positive or the count overflows.
bool pixel_bytes(int rows, int cols, int per_pixel, int sample_bytes, std::int64_t* bytes);

/// Bytes a grey sample of sample type `type` takes in qvf and raw files: 1
/// for KALVIO_TYPE_UINT8, 2 for INT16, 4 for INT32 and FLOAT; 0 for a type
/// that has no samples.
int sample_size(int type);

/// A float sample as an integer: truncation toward zero, NaN as 0, values
/// beyond the int range saturated, so no conversion is undefined.
int to_int(float value);
int to_int(double value);

/// One little-endian sample of sample type `type` (as sample_size counts
/// its bytes) at p, as a float; any type other than UINT8, INT16 and INT32
/// is read as a float.
inline float decode_sample(const unsigned char* p, int type) {
    switch (type) {
        case KALVIO_TYPE_UINT8: return p[0];
        case KALVIO_TYPE_INT16: return static_cast<std::int16_t>(p[0] | (p[1] << 8));
        case KALVIO_TYPE_INT32: {
            const std::uint32_t v = p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t(p[3]) << 24);
            return static_cast<float>(static_cast<std::int32_t>(v));
        }
        default: {
            const std::uint32_t v = p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t(p[3]) << 24);
            float f;
            std::memcpy(&f, &v, sizeof f);
            return f;
        }
    }
}

/// Writes `value` as one little-endian sample of sample type `type` (as
/// sample_size counts its bytes) at p: FLOAT as the IEEE single itself,
/// the others truncated toward zero with their low bytes kept, so values
/// beyond the sample's range wrap (256 as a byte is 0, -1 is 255).
inline void encode_sample(float value, int type, unsigned char* p) {
    std::uint32_t v;
    if (type == KALVIO_TYPE_FLOAT) {
        std::memcpy(&v, &value, sizeof v);
    } else {
        v = static_cast<std::uint32_t>(to_int(value));
    }
    for (int i = 0; i < sample_size(type); ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

/// Reads up to `count` decimal integers from a header line into `values`;
/// returns how many were read before the first that is missing or does not
/// fit an int.
int read_ints(const char* line, int* values, int count);

/// Reads n bytes; false when fewer arrive.
bool read_exact(FILE* fp, void* buffer, std::size_t n);

}  // namespace kalvio::detail

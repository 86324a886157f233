// Shared helpers of the picture readers and writers.
#pragma once

#include <kalvio/image.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "ops/samples_p.h"
#include "support/output_file_p.h"

namespace kalvio::detail {

/// Opens a regular file for binary reading; null for anything else
/// (missing files, folders, devices, FIFOs), found without waiting: a FIFO
/// that has no writer is refused at once. The stream returned blocks as
/// usual.
FILE* open_for_reading(const char* path);

/// Bytes from the current position to the end of `fp`, or -1.
std::int64_t bytes_left(FILE* fp);

/// A picture file opened for a library decoder: open_for_reading with a
/// 64 KiB buffer, *file_bytes set to its size. Null after the message
/// `prefix` + "Can't open file" when it cannot be opened.
FILE* open_picture(const char* path, const std::string& prefix, std::int64_t* file_bytes);

/// What a decoder's failure is called in its message: our own `refusal`
/// when there is one, else "Can't read file (" + the library's `detail` + ")".
std::string read_failure(const char* refusal, const char* detail);

/// Bytes that rows x cols pixels of `per_pixel` samples of `sample_bytes`
/// bytes take; false when a size is not positive or the count overflows.
bool pixel_bytes(int rows, int cols, int per_pixel, int sample_bytes, std::int64_t* bytes);

/// Most float samples (rows x columns x channels) a PNG, JPEG or TIFF
/// picture may have: 2^28, a gigabyte of floats (16384 x 16384 grey, about
/// 9459 x 9459 colour). A few bytes of a compressed file can claim any size,
/// so the readers refuse larger pictures before allocating anything.
constexpr std::int64_t kMaxPictureSamples = std::int64_t{1} << 28;

/// True when `decoded` bytes can come out of a file of `file_bytes` bytes
/// whose compression makes at most `ratio` bytes of every byte it reads.
/// The readers of compressed formats check the size a header claims with
/// it, so that a short file cannot make them allocate for a huge picture.
inline bool could_decode(std::int64_t decoded, std::int64_t file_bytes, std::int64_t ratio) {
    return file_bytes >= 0 && decoded / ratio <= file_bytes;
}

/// Faults the pages of a new picture array in on a thread of its own, so
/// that the system clears them while the caller decodes into the array: a
/// fresh page is cleared on its first touch, which for a picture of floats
/// costs about as much as decoding a JPEG. The pages keep what the caller
/// has written. The caller joins the thread before it frees or hands on the
/// array. An empty thread for arrays under 32 MiB, or when no thread can be
/// started.
std::thread fault_in_pages(float** data, int rows, int length);

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

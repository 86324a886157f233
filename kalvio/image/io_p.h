// Shared helpers of the picture readers and writers.
#pragma once

#include <cstdint>
#include <cstdio>
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

/// Reads n bytes; false when fewer arrive.
bool read_exact(FILE* fp, void* buffer, std::size_t n);

}  // namespace kalvio::detail

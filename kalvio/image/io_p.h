// Shared helpers of the picture readers and writers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace kalvio::detail {

/// Opens a regular file for binary reading; null for anything else
/// (missing files, folders, devices).
FILE* open_for_reading(const char* path);

/// Bytes from the current position to the end of `fp`, or -1.
std::int64_t bytes_left(FILE* fp);

/// Bytes that rows x cols pixels of `per_pixel` samples of `sample_bytes`
/// bytes take; false when a size is not positive or the count overflows.
bool pixel_bytes(int rows, int cols, int per_pixel, int sample_bytes, std::int64_t* bytes);

/// A float sample as an integer: truncation toward zero, NaN as 0, values
/// beyond the int range saturated, so no conversion is undefined.
int to_int(float value);
int to_int(double value);

/// Reads n bytes; false when fewer arrive.
bool read_exact(FILE* fp, void* buffer, std::size_t n);

/// Output written to a temporary file beside the target and renamed into
/// place by commit(), so a failed or abandoned write never replaces a good
/// file. The destructor discards an uncommitted file.
class SafeOutput {
public:
    SafeOutput() = default;
    ~SafeOutput() { abort(); }
    SafeOutput(const SafeOutput&) = delete;
    SafeOutput& operator=(const SafeOutput&) = delete;

    /// Creates the temporary file; false when the folder cannot take it.
    bool create(const char* path);
    FILE* fp() const { return m_fp; }
    /// Flushes, syncs and renames; false (and nothing published) on any
    /// write error.
    bool commit();
    /// Discards the temporary file.
    void abort();

private:
    FILE* m_fp = nullptr;
    std::string m_target;
    std::string m_temp;
};

}  // namespace kalvio::detail

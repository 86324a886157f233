// Writing movies: uncompressed 24-bit AVI files and qvf movies.
#pragma once

#include <kalvio/image.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace kalvio::detail {

class SafeOutput;

/// Bytes one frame of a qvf movie takes (colour: 3 a pixel; grey: the
/// sample type's size), or 0 when the sizes are not positive, the sample
/// type has no samples, or the frame would pass INT32_MAX bytes.
std::int64_t qvf_frame_bytes(int rows, int cols, int color, int datatype);

/// A movie being written, frame after frame.
class MovieWriter {
public:
    virtual ~MovieWriter();
    /// A writer of `kind` for frames rows x cols. `scratch` writes the
    /// file in place (a temporary movie of ours, created by mkstemp);
    /// otherwise the file goes through the library's safe output (a
    /// temporary beside it, renamed into place by finish()). Null when the
    /// file cannot be created (errno tells why).
    static std::unique_ptr<MovieWriter> create(const std::string& path, int kind, int rows, int cols,
                                               int frames, int datatype, int color, bool scratch);
    /// Appends one frame of the writer's size; false when it cannot be
    /// written (the movie is then marked failed).
    virtual bool write(const CImage& image) = 0;
    /// Appends one AVI frame given as bottom-up BGR rows of `row_bytes`
    /// (AVI writers only); false as write().
    virtual bool write_bits(const std::uint8_t* bits) { (void)bits; return false; }
    /// Completes the file (counts, index) and publishes it; false, and
    /// nothing published, when anything failed.
    virtual bool finish() = 0;
    /// Discards the file.
    virtual void abort() = 0;
    int written() const { return m_written; }
    /// Bytes of one stored AVI row (3 a pixel, padded to 4).
    std::uint32_t row_bytes() const { return m_row_bytes; }

protected:
    MovieWriter() = default;
    int m_written = 0;
    std::uint32_t m_row_bytes = 0;
};

}  // namespace kalvio::detail

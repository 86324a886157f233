// Reading AVI movies through the movie decoder module (FFmpeg's libraries):
// demux, decode, convert to 24-bit bottom-up rows.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace kalvio::detail {

/// One video stream of an AVI file, decoded frame by frame.
class AviReader {
public:
    enum class Error { None, Open, NoStream, NoDecoder, NoModule };

    ~AviReader();
    AviReader(const AviReader&) = delete;
    AviReader& operator=(const AviReader&) = delete;

    /// Opens the AVI file at `path` (a regular file, read only through a
    /// descriptor of ours, so the name is never taken as anything but a
    /// file) and its first video stream. Null with the reason in *error;
    /// NoModule when the movie decoder module cannot be loaded.
    static std::unique_ptr<AviReader> open(const std::string& path, Error* error);

    int width() const { return m_width; }
    int height() const { return m_height; }
    /// Frames in the stream: the container's count, or counted.
    int frames() const { return m_frames; }

    /// Decodes frame `index` into `bits`: height rows of width blue, green,
    /// red triples, bottom row first, each row `row_bytes` apart. Reads on
    /// when index follows the frame decoded last, else seeks to the key
    /// frame at or before it. False when the frame cannot be decoded.
    bool read(int index, std::uint8_t* bits, std::uint32_t row_bytes);

    /// Why the movie decoder module could not be loaded (loading it if not
    /// tried yet); empty when it is loaded.
    static std::string module_failure();

private:
    struct State;
    explicit AviReader(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
    int m_width = 0;
    int m_height = 0;
    int m_frames = 0;
};

}  // namespace kalvio::detail

// The movie decoder is a module of its own, loaded on the first movie read:
// FFmpeg's libraries, and the hundred-odd libraries they pull in, then cost
// nothing to the start of a program that never reads a movie (loading them
// takes tens of milliseconds).
#pragma once

#include <cstdint>

extern "C" {

/// One open movie of the module.
struct KalvioAviDecoder;

/// What the module offers: a table of functions, so that one symbol is all
/// the library looks up.
struct KalvioAviModule {
    int version;  ///< kKalvioAviModuleVersion of the module's build
    /// Opens the AVI data read through `fd` and its first video stream. The
    /// descriptor stays the caller's, to close after close(). Null with
    /// *error 1 (not an AVI file that opens), 2 (no video stream) or 3 (no
    /// decoder for it); else its width, height and frame count.
    KalvioAviDecoder* (*open)(int fd, int* error, int* width, int* height, int* frames);
    /// Decodes frame `index` as AviReader::read does; 1 done, 0 failed.
    int (*read)(KalvioAviDecoder* decoder, int index, std::uint8_t* bits, std::uint32_t row_bytes);
    void (*close)(KalvioAviDecoder* decoder);
};

}  // extern "C"

namespace kalvio::detail {

constexpr int kKalvioAviModuleVersion = 1;
/// The module's one exported function, returning its table.
constexpr const char* kKalvioAviModuleEntry = "kalvio_avi_module";
/// Its file, in a folder "kalvio" beside the library.
constexpr const char* kKalvioAviModuleFile = "kalvio_avi.so";

}  // namespace kalvio::detail

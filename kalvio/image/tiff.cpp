// TIFF files through libtiff: the first picture of a file, 8- or 16-bit
// grey or RGB, uncompressed, LZW, deflate or PackBits, in strips or tiles,
// samples interleaved or in separate planes.
#include "image/io_p.h"

#include <kalvio/arrays.h>
#include <kalvio/formats.h>
#include <kalvio/image.h>
#include <kalvio/message.h>

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace kalvio::detail;

namespace {

// Most memory libtiff may take in one piece for itself (tag arrays, strip
// tables); the readers' own buffers are bounded against the file below.
constexpr tmsize_t kTiffMemory = tmsize_t{256} << 20;

// Bytes each compression makes at most of one byte of the file: PackBits
// 128 from 2, deflate 1032, LZW at most 4096 from a code of 9 bits or more
// (rounded up); 0 for a compression not read here.
std::int64_t expansion(std::uint16_t compression) {
    switch (compression) {
        case COMPRESSION_NONE: return 1;
        case COMPRESSION_PACKBITS: return 64;
        case COMPRESSION_ADOBE_DEFLATE:
        case COMPRESSION_DEFLATE: return 1032;
        case COMPRESSION_LZW: return 4096;
        default: return 0;
    }
}

// libtiff's first error text, for the message; its warnings (unknown tags
// and the like) are dropped. Both stay out of libtiff's process-wide
// handlers, which print to standard error.
struct TiffErrors {
    char text[256];
    bool any;
};

int on_tiff_error(TIFF*, void* user, const char* module, const char* format, va_list args) {
    auto* errors = static_cast<TiffErrors*>(user);
    if (!errors->any) {
        errors->any = true;
        char text[200];
        std::vsnprintf(text, sizeof text, format, args);
        std::snprintf(errors->text, sizeof errors->text, "%s%s%s", module ? module : "",
                      module ? ": " : "", text);
    }
    return 1;
}

int on_tiff_warning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

// libtiff reads through these, on a descriptor of the caller's: nothing is
// mapped (a file shortened while mapped would end the process) and the
// descriptor is closed by the caller, whether the open succeeded or not.
int fd_of(thandle_t handle) { return static_cast<int>(reinterpret_cast<std::intptr_t>(handle)); }
tmsize_t fd_read(thandle_t h, void* buffer, tmsize_t size) {
    tmsize_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd_of(h), static_cast<char*>(buffer) + done,
                                 static_cast<std::size_t>(size - done));
        if (n <= 0) break;
        done += n;
    }
    return done;
}
tmsize_t fd_write(thandle_t, void*, tmsize_t) { return -1; }
toff_t fd_seek(thandle_t h, toff_t offset, int whence) {
    const off_t at = ::lseek(fd_of(h), static_cast<off_t>(offset), whence);
    return at < 0 ? static_cast<toff_t>(-1) : static_cast<toff_t>(at);
}
int fd_close(thandle_t) { return 0; }
toff_t fd_size(thandle_t h) {
    struct stat st {};
    return ::fstat(fd_of(h), &st) == 0 ? static_cast<toff_t>(st.st_size) : 0;
}
int fd_map(thandle_t, void**, toff_t*) { return 0; }
void fd_unmap(thandle_t, void*, toff_t) {}

// The layout of the picture and where its samples go.
struct Layout {
    int rows, cols;
    int channels;       // 1 grey, 3 RGB: samples kept of each pixel
    int stored;         // samples a pixel in an interleaved row (alpha and others included)
    int bytes;          // 1 or 2 a sample
    bool separate;      // one plane a sample
    bool invert;        // white is zero
};

// One stored sample as a float.
inline float sample_at(const unsigned char* p, int bytes, bool invert) {
    if (bytes == 1) return static_cast<float>(invert ? 255 - p[0] : p[0]);
    std::uint16_t v;
    std::memcpy(&v, p, 2);  // libtiff has put it in this machine's order
    return static_cast<float>(invert ? 65535 - v : v);
}

// Copies `count` pixels of channel `plane` (separate planes: the buffer
// holds that plane only) or of every kept channel (interleaved) from `in`
// to `out`, the float row at the first of those pixels.
void copy_pixels(const unsigned char* in, float* out, int count, const Layout& l, int plane) {
    if (l.separate) {
        for (int x = 0; x < count; ++x) out[x * l.channels + plane] = sample_at(in + x * l.bytes, l.bytes, l.invert);
        return;
    }
    const int step = l.stored * l.bytes;
    for (int x = 0; x < count; ++x)
        for (int k = 0; k < l.channels; ++k)
            out[x * l.channels + k] = sample_at(in + x * step + k * l.bytes, l.bytes, l.invert);
}

// Reads the samples into `data`; false after a libtiff error (in its text)
// or with *why set.
// A buffer of `bytes` for one row or tile (released by free).
unsigned char* buffer_of(std::int64_t bytes, const char** why) {
    auto* buffer = static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(bytes)));
    if (!buffer) *why = "Out of memory";
    return buffer;
}

bool read_strips(TIFF* tif, const Layout& l, float** data, std::int64_t file_bytes,
                 std::int64_t ratio, const char** why) {
    const std::int64_t line = static_cast<std::int64_t>(TIFFScanlineSize64(tif));
    const std::int64_t needed = static_cast<std::int64_t>(l.cols) * (l.separate ? 1 : l.stored) * l.bytes;
    const int planes = l.separate ? l.channels : 1;
    if (line < needed) {
        *why = "Bad strip layout";
        return false;
    }
    // Every row read is decoded whole, extra samples included.
    if (line > INT64_MAX / l.rows / planes || !could_decode(line * l.rows * planes, file_bytes, ratio)) {
        *why = "Truncated file";
        return false;
    }
    unsigned char* buffer = buffer_of(line, why);
    bool ok = buffer != nullptr;
    for (int plane = 0; ok && plane < planes; ++plane)
        for (int r = 0; ok && r < l.rows; ++r) {
            ok = TIFFReadScanline(tif, buffer, static_cast<std::uint32_t>(r), static_cast<std::uint16_t>(plane)) >= 0;
            if (ok) copy_pixels(buffer, data[r], l.cols, l, plane);
        }
    std::free(buffer);
    return ok;
}

bool read_tiles(TIFF* tif, const Layout& l, float** data, std::int64_t file_bytes,
                std::int64_t ratio, const char** why) {
    std::uint32_t tile_width = 0, tile_height = 0;
    TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tile_width);
    TIFFGetField(tif, TIFFTAG_TILELENGTH, &tile_height);
    const std::int64_t size = static_cast<std::int64_t>(TIFFTileSize64(tif));
    const std::int64_t needed = static_cast<std::int64_t>(tile_width) * tile_height *
                                (l.separate ? 1 : l.stored) * l.bytes;
    if (tile_width == 0 || tile_height == 0 || size < needed) {
        *why = "Bad tile layout";
        return false;
    }
    // Every tile is decoded whole: it must fit what the file can hold.
    if (!could_decode(size, file_bytes, ratio)) {
        *why = "Truncated file";
        return false;
    }
    unsigned char* buffer = buffer_of(size, why);
    bool ok = buffer != nullptr;
    const std::size_t tile_row = static_cast<std::size_t>(tile_width) * (l.separate ? 1 : l.stored) * l.bytes;
    for (int plane = 0; ok && plane < (l.separate ? l.channels : 1); ++plane)
        for (std::int64_t y0 = 0; ok && y0 < l.rows; y0 += tile_height)
            for (std::int64_t x0 = 0; ok && x0 < l.cols; x0 += tile_width) {
                const ttile_t tile = TIFFComputeTile(tif, static_cast<std::uint32_t>(x0),
                                                     static_cast<std::uint32_t>(y0), 0,
                                                     static_cast<std::uint16_t>(plane));
                const tmsize_t got = TIFFReadEncodedTile(tif, tile, buffer, size);
                ok = got >= needed;
                if (got >= 0 && got < needed) *why = "Truncated file";
                if (!ok) break;
                const int height = static_cast<int>(std::min<std::int64_t>(tile_height, l.rows - y0));
                const int width = static_cast<int>(std::min<std::int64_t>(tile_width, l.cols - x0));
                for (int y = 0; y < height; ++y)
                    copy_pixels(buffer + tile_row * y, data[y0 + y] + x0 * l.channels, width, l, plane);
            }
    std::free(buffer);
    return ok;
}

// Checks the first picture's tags and reads it; null after *why or a
// libtiff error.
float** read_picture(TIFF* tif, std::int64_t file_bytes, Layout* l, const char** why) {
    std::uint32_t width = 0, height = 0;
    std::uint16_t bits = 0, spp = 0, planar = 0, compression = 0, format = 0, photometric = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric)) photometric = 0xFFFF;

    if (photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE) {
        l->channels = 1;
    } else if (photometric == PHOTOMETRIC_RGB) {
        l->channels = 3;
    } else {
        *why = "Only grey and RGB pictures are supported";
        return nullptr;
    }
    if ((bits != 8 && bits != 16) || (format != SAMPLEFORMAT_UINT && format != SAMPLEFORMAT_VOID)) {
        *why = "Only 8- and 16-bit unsigned samples are supported";
        return nullptr;
    }
    const std::int64_t ratio = expansion(compression);
    if (ratio == 0) {
        *why = "Unsupported compression";
        return nullptr;
    }
    if (spp < l->channels) {
        *why = "Bad samples per pixel";
        return nullptr;
    }
    std::int64_t samples = 0;
    if (width > INT32_MAX || height > INT32_MAX ||
        !pixel_bytes(static_cast<int>(height), static_cast<int>(width), l->channels, 1, &samples) ||
        samples > kMaxPictureSamples) {
        *why = width == 0 || height == 0 ? "Bad picture size" : "Picture too large";
        return nullptr;
    }
    l->rows = static_cast<int>(height);
    l->cols = static_cast<int>(width);
    l->stored = spp;
    l->bytes = bits / 8;
    l->separate = planar == PLANARCONFIG_SEPARATE && spp > 1;
    l->invert = photometric == PHOTOMETRIC_MINISWHITE;
    // The samples kept must all come out of the file.
    if (!could_decode(samples * l->bytes, file_bytes, ratio)) {
        *why = "Truncated file";
        return nullptr;
    }
    float** data = make_2D_float_array(l->rows, l->cols * l->channels);
    if (!data) {
        *why = "";  // the allocator has said so
        return nullptr;
    }
    const bool ok = TIFFIsTiled(tif) ? read_tiles(tif, *l, data, file_bytes, ratio, why)
                                     : read_strips(tif, *l, data, file_bytes, ratio, why);
    if (!ok) {
        free_2D_float_array(data);
        return nullptr;
    }
    return data;
}

}  // namespace

float** read_tiff_image(const char* path, int* nrows, int* ncols, int* color, int* datatype) {
    const std::string prefix = "read_tiff_image: ";
    FILE* fp = open_for_reading(path);
    const int fd = fp ? ::fcntl(::fileno(fp), F_DUPFD_CLOEXEC, 0) : -1;
    const std::int64_t file_bytes = fp ? bytes_left(fp) : 0;
    if (fp) std::fclose(fp);
    if (fd < 0) {
        AfxMessageBox(prefix + "Can't open file");
        return nullptr;
    }
    TiffErrors errors{};
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    TIFF* tif = nullptr;
    if (options) {
        TIFFOpenOptionsSetMaxSingleMemAlloc(options, kTiffMemory);
        TIFFOpenOptionsSetErrorHandlerExtR(options, on_tiff_error, &errors);
        TIFFOpenOptionsSetWarningHandlerExtR(options, on_tiff_warning, &errors);
        tif = TIFFClientOpenExt(path, "rm", reinterpret_cast<thandle_t>(static_cast<std::intptr_t>(fd)),
                                fd_read, fd_write, fd_seek, fd_close, fd_size, fd_map, fd_unmap,
                                options);
        TIFFOpenOptionsFree(options);
    }
    const char* why = nullptr;
    Layout layout{};
    float** data = tif ? read_picture(tif, file_bytes, &layout, &why) : nullptr;
    if (tif) TIFFClose(tif);
    ::close(fd);
    if (!data) {
        if (why && *why)
            AfxMessageBox(prefix + why);
        else if (!why)
            AfxMessageBox(prefix + "Can't read file" +
                          (errors.any ? std::string(" (") + errors.text + ")" : std::string()));
        return nullptr;
    }
    *nrows = layout.rows;
    *ncols = layout.cols;
    if (color) *color = layout.channels == 3 ? 1 : 0;
    if (datatype) *datatype = layout.bytes == 2 ? KALVIO_TYPE_INT16 : KALVIO_TYPE_UINT8;
    return data;
}

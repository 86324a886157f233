// JPEG files through libjpeg: baseline and progressive, grey and colour,
// turned upright as their Exif orientation says.
//
// libjpeg reports errors through error_exit, which longjmps here. The
// functions that call setjmp hold nothing with a destructor: everything
// they allocate is kept in a plain state structure that their caller
// releases, whichever way decoding ended.
#include "image/io_p.h"

#include <kalvio/arrays.h>
#include <kalvio/formats.h>
#include <kalvio/image.h>
#include <kalvio/message.h>

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

// clang-format off
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

using namespace kalvio::detail;

namespace {

// Every 8 x 8 block of a JPEG file takes at least one bit of the file (a
// one-bit DC code in the first progressive scan), so a grey picture can hold
// at most 512 pixels a byte; colour pictures fewer. Twice that leaves room
// for unusual files while a few bytes cannot claim gigapixels.
constexpr std::int64_t kMaxPixelsPerByte = 1024;

// Memory libjpeg may take for its own buffers: the whole-picture coefficient
// buffer of a progressive file is the largest (about 6 bytes a pixel for
// colour without subsampling).
constexpr long kJpegMemory = 1L << 30;

// Scans a progressive file may have. Each scan passes over every block of
// its components, so a small file of many tiny scans could keep the
// decoder busy for minutes; real files have about ten.
constexpr int kMaxScans = 500;

// Rows asked of libjpeg at a time: a whole group of rows of subsampled
// colour, so that each call does a full share of work.
constexpr int kBatchRows = 16;

struct JpegErrors {
    jpeg_error_mgr pub;  // first: libjpeg sees only this part
    std::jmp_buf jump;
    char text[JMSG_LENGTH_MAX];
};

[[noreturn]] void on_jpeg_error(j_common_ptr cinfo) {
    auto* errors = reinterpret_cast<JpegErrors*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, errors->text);
    std::longjmp(errors->jump, 1);
}

// A file that ends before its pixels do is refused, as every reader here
// refuses truncated files (libjpeg itself would fill the rest with grey).
// Other warnings (corrupt data that libjpeg decodes around, unknown
// markers) are passed over silently.
void on_jpeg_message(j_common_ptr cinfo, int level) {
    if (level >= 0) return;
    if (cinfo->err->msg_code == JWRN_JPEG_EOF) on_jpeg_error(cinfo);
    ++cinfo->err->num_warnings;
}

void on_jpeg_output(j_common_ptr) {}

// Called by libjpeg as it goes through the file: stops a file of too many
// scans.
void on_jpeg_progress(j_common_ptr cinfo) {
    auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (d->input_scan_number > kMaxScans) {
        auto* errors = reinterpret_cast<JpegErrors*>(cinfo->err);
        std::snprintf(errors->text, sizeof errors->text, "more than %d scans", kMaxScans);
        std::longjmp(errors->jump, 1);
    }
}

// What one read holds. Zero-initialised; release() frees whatever decoding
// had allocated when it stopped.
struct JpegRead {
    FILE* fp;
    std::int64_t file_bytes;
    jpeg_decompress_struct cinfo;
    JpegErrors errors;
    jpeg_progress_mgr progress;
    const char* refusal;  // the reason, when it is ours rather than libjpeg's
    bool reported;        // the allocator has already shown its message
    float** data;
    JSAMPLE* batch;  // kBatchRows decoded rows
    int rows, cols, channels, orientation;
};

void release(JpegRead* s) {
    jpeg_destroy_decompress(&s->cinfo);  // safe on a zeroed or half-made structure
    if (s->fp) std::fclose(s->fp);
    free_2D_float_array(s->data);
    std::free(s->batch);
}

// The Orientation tag (1 to 8) of an Exif block's first directory, 1 when
// the block has none or it holds anything else, 0 when the APP1 marker data
// `p` is not an Exif block ("Exif\0\0", then a TIFF-style header and
// directory).
int exif_orientation(const JOCTET* p, std::uint32_t n) {
    if (n < 6 + 8 || std::memcmp(p, "Exif\0\0", 6) != 0) return 0;
    p += 6;
    n -= 6;
    const bool little = p[0] == 'I' && p[1] == 'I';
    if (!little && !(p[0] == 'M' && p[1] == 'M')) return 1;
    auto u16 = [&](std::uint32_t at) -> std::uint32_t {
        return little ? p[at] | (p[at + 1] << 8) : (p[at] << 8) | p[at + 1];
    };
    auto u32 = [&](std::uint32_t at) -> std::uint32_t {
        return little ? u16(at) | (u16(at + 2) << 16) : (u16(at) << 16) | u16(at + 2);
    };
    if (u16(2) != 42) return 1;
    const std::uint32_t ifd = u32(4);
    if (ifd > n - 2) return 1;
    const std::uint32_t count = u16(ifd);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t entry = ifd + 2 + 12ULL * i;
        if (entry + 12 > n) break;
        const auto at = static_cast<std::uint32_t>(entry);
        if (u16(at) != 0x0112) continue;
        const std::uint32_t type = u16(at + 2), values = u32(at + 4);
        const std::uint32_t value = values != 1 ? 0 : type == 3 ? u16(at + 8) : type == 4 ? u32(at + 8) : 0;
        return value >= 1 && value <= 8 ? static_cast<int>(value) : 1;
    }
    return 1;
}

// The orientation of the first APP1 marker that is an Exif block.
int orientation_of(jpeg_saved_marker_ptr marker) {
    for (; marker; marker = marker->next) {
        if (marker->marker != JPEG_APP0 + 1) continue;
        const int value = exif_orientation(marker->data, marker->data_length);
        if (value) return value;  // 0: not an Exif block (XMP, say); look further
    }
    return 1;
}

// Reads the header, checks it and starts decompression. False after an
// error: libjpeg's (in s->errors.text) or ours (s->refusal).
bool start_jpeg(JpegRead* s) {
    j_decompress_ptr cinfo = &s->cinfo;
    cinfo->err = jpeg_std_error(&s->errors.pub);
    s->errors.pub.error_exit = on_jpeg_error;
    s->errors.pub.emit_message = on_jpeg_message;
    s->errors.pub.output_message = on_jpeg_output;
    if (setjmp(s->errors.jump)) return false;
    jpeg_create_decompress(cinfo);
    cinfo->mem->max_memory_to_use = kJpegMemory;
    s->progress.progress_monitor = on_jpeg_progress;
    cinfo->progress = &s->progress;
    jpeg_stdio_src(cinfo, s->fp);
    jpeg_save_markers(cinfo, JPEG_APP0 + 1, 0xFFFF);
    jpeg_read_header(cinfo, TRUE);

    switch (cinfo->jpeg_color_space) {
        case JCS_GRAYSCALE:
            cinfo->out_color_space = JCS_GRAYSCALE;
            s->channels = 1;
            break;
        case JCS_YCbCr:
        case JCS_RGB:
            cinfo->out_color_space = JCS_EXT_RGB;
            s->channels = 3;
            break;
        default:  // CMYK and YCCK
            s->refusal = "Only grey and colour pictures are supported";
            return false;
    }
    std::int64_t samples = 0;
    const int width = static_cast<int>(cinfo->image_width), height = static_cast<int>(cinfo->image_height);
    if (!pixel_bytes(height, width, s->channels, 1, &samples) || samples > kMaxPictureSamples) {
        s->refusal = "Picture too large";
        return false;
    }
    if (!could_decode(std::int64_t{width} * height, s->file_bytes, kMaxPixelsPerByte)) {
        s->refusal = "Truncated file";
        return false;
    }
    s->orientation = orientation_of(cinfo->marker_list);

    jpeg_start_decompress(cinfo);
    if (cinfo->output_components != s->channels || static_cast<int>(cinfo->output_height) != height ||
        static_cast<int>(cinfo->output_width) != width) {
        s->refusal = "Unsupported file";
        return false;
    }
    s->rows = height;
    s->cols = width;
    return true;
}

// Decodes every row into s->data, through s->batch; false as start_jpeg.
bool read_rows(JpegRead* s) {
    j_decompress_ptr cinfo = &s->cinfo;
    if (setjmp(s->errors.jump)) return false;
    const std::size_t length = static_cast<std::size_t>(s->cols) * s->channels;
    JSAMPROW batch[kBatchRows];
    for (int i = 0; i < kBatchRows; ++i) batch[i] = s->batch + length * i;
    while (cinfo->output_scanline < cinfo->output_height) {
        const int first = static_cast<int>(cinfo->output_scanline);
        const int count = static_cast<int>(jpeg_read_scanlines(cinfo, batch, kBatchRows));
        for (int k = 0; k < count; ++k) bytes_to_floats(batch[k], s->data[first + k], length);
    }
    // The rest of the file (normally just its end marker) is not needed.
    return true;
}

// Reads the picture as stored into s->data; false as start_jpeg, or with
// s->reported set after the allocator's message.
bool decode_jpeg(JpegRead* s) {
    if (!start_jpeg(s)) return false;
    const int length = s->cols * s->channels;
    s->data = make_2D_float_array(s->rows, length);
    if (!s->data) {
        s->reported = true;
        return false;
    }
    s->batch = static_cast<JSAMPLE*>(std::malloc(static_cast<std::size_t>(length) * kBatchRows));
    if (!s->batch) {
        s->refusal = "Out of memory";
        return false;
    }
    std::thread pages = fault_in_pages(s->data, s->rows, length);
    const bool ok = read_rows(s);
    if (pages.joinable()) pages.join();
    return ok;
}

// The picture turned as Exif orientation `orientation` says: 2 mirrored
// left to right, 3 turned half a turn, 4 mirrored top to bottom, 5
// transposed, 6 turned a quarter clockwise, 7 transposed across the other
// diagonal, 8 turned a quarter anticlockwise. A new array (the input is
// released) with *rows and *cols updated, or null after the allocator's
// message (the input then stays with the caller).
float** orient(float** data, int* rows, int* cols, int channels, int orientation) {
    const int r0 = *rows, c0 = *cols;
    const bool swap = orientation >= 5;
    const int r1 = swap ? c0 : r0, c1 = swap ? r0 : c0;
    float** out = make_2D_float_array(r1, c1 * channels);
    if (!out) return nullptr;
    for (int y = 0; y < r1; ++y) {
        float* dst = out[y];
        for (int x = 0; x < c1; ++x) {
            int sr = y, sc = x;
            switch (orientation) {
                case 2: sc = c0 - 1 - x; break;
                case 3: sr = r0 - 1 - y; sc = c0 - 1 - x; break;
                case 4: sr = r0 - 1 - y; break;
                case 5: sr = x; sc = y; break;
                case 6: sr = r0 - 1 - x; sc = y; break;
                case 7: sr = r0 - 1 - x; sc = c0 - 1 - y; break;
                case 8: sr = x; sc = c0 - 1 - y; break;
                default: break;
            }
            const float* src = data[sr] + static_cast<std::size_t>(sc) * channels;
            for (int k = 0; k < channels; ++k) dst[x * channels + k] = src[k];
        }
    }
    free_2D_float_array(data);
    *rows = r1;
    *cols = c1;
    return out;
}

}  // namespace

float** read_jpeg_image(const char* path, int* nrows, int* ncols, int* color, int* datatype) {
    const std::string prefix = "read_jpeg_image: ";
    JpegRead s;
    std::memset(&s, 0, sizeof s);
    s.fp = open_picture(path, prefix, &s.file_bytes);
    if (!s.fp) return nullptr;
    if (!decode_jpeg(&s)) {
        const bool reported = s.reported;
        const std::string why = read_failure(s.refusal, s.errors.text);
        release(&s);
        if (!reported) AfxMessageBox(prefix + why);
        return nullptr;
    }
    float** data = s.data;
    s.data = nullptr;
    release(&s);
    int rows = s.rows, cols = s.cols;
    if (s.orientation > 1) {
        float** turned = orient(data, &rows, &cols, s.channels, s.orientation);
        if (!turned) {
            free_2D_float_array(data);
            return nullptr;
        }
        data = turned;
    }
    *nrows = rows;
    *ncols = cols;
    if (color) *color = s.channels == 3 ? 1 : 0;
    if (datatype) *datatype = KALVIO_TYPE_UINT8;
    return data;
}

// PNG files through libpng: reading every bit depth and colour type, writing
// 8- and 16-bit grey and RGB.
//
// libpng reports errors with longjmp. The functions here that call setjmp
// hold nothing with a destructor: everything they allocate is kept in a
// plain state structure that their caller releases, whichever way decoding
// or encoding ended.
#include "image/io_p.h"

#include <kalvio/arrays.h>
#include <kalvio/formats.h>
#include <kalvio/image.h>
#include <kalvio/message.h>

#include <png.h>

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace kalvio::detail;

namespace {

// Deflate makes at most 1032 bytes of each byte it reads: a file of n bytes
// holds no more than 1032 n bytes of rows (filter bytes included).
constexpr std::int64_t kDeflateRatio = 1032;

// libpng's own guard on the sides of a picture, checked as it reads the
// header; kMaxPictureSamples bounds the whole picture.
constexpr png_uint_32 kMaxSide = 1000000;

// libpng's error and warning texts: the error is kept for the message,
// warnings (ancillary chunks with bad CRCs, unknown chunks) are dropped.
struct PngErrors {
    char text[200];
};

[[noreturn]] void on_png_error(png_structp png, png_const_charp text) {
    auto* errors = static_cast<PngErrors*>(png_get_error_ptr(png));
    std::snprintf(errors->text, sizeof errors->text, "%s", text ? text : "error");
    png_longjmp(png, 1);
}

void on_png_warning(png_structp, png_const_charp) {}

// What one read holds. Zero-initialised; every pointer is released by
// release() whatever state decoding stopped in.
struct PngRead {
    FILE* fp;
    std::int64_t file_bytes;
    png_structp png;
    png_infop info;
    PngErrors errors;
    const char* refusal;  // the reason, when it is ours rather than libpng's
    bool reported;        // the allocator has already shown its message
    float** data;
    png_bytep pixels;     // one decoded row, or every row of an interlaced picture
    png_bytepp row_table; // the rows of `pixels` for an interlaced picture
    float palette[256][3];  // red, green, blue of each index of an indexed picture
    int rows, cols, color, type;
};

void release(PngRead* s) {
    if (s->png) png_destroy_read_struct(&s->png, s->info ? &s->info : nullptr, nullptr);
    if (s->fp) std::fclose(s->fp);
    free_2D_float_array(s->data);
    std::free(s->pixels);
    std::free(s->row_table);
}

// The samples of one decoded row into a float row. `palette` (entries of
// red, green, blue) is set for an indexed picture, whose row holds one byte
// a pixel; otherwise the row holds `channels` samples a pixel of `depth`
// (8 or 16) bits, big-endian.
void convert_row(png_const_bytep in, float* out, int cols, int channels, int depth,
                 const float (*palette)[3]) {
    if (palette) {
        if (channels == 1) {
            for (int c = 0; c < cols; ++c) out[c] = palette[in[c]][0];
        } else {
            for (int c = 0; c < cols; ++c) {
                const float* rgb = palette[in[c]];
                out[3 * c] = rgb[0];
                out[3 * c + 1] = rgb[1];
                out[3 * c + 2] = rgb[2];
            }
        }
        return;
    }
    const int n = cols * channels;
    if (depth == 16) {
        for (int i = 0; i < n; ++i) out[i] = static_cast<float>((in[2 * i] << 8) | in[2 * i + 1]);
    } else {
        bytes_to_floats(in, out, static_cast<std::size_t>(n));
    }
}

// Reads the picture into s->data. False after an error: libpng's (in
// s->errors), or ours (s->refusal).
bool decode_png(PngRead* s) {
    if (setjmp(png_jmpbuf(s->png))) return false;
    png_structp png = s->png;
    png_infop info = s->info;
    png_init_io(png, s->fp);
    png_set_user_limits(png, kMaxSide, kMaxSide);
    png_read_info(png, info);

    png_uint_32 width = 0, height = 0;
    int depth = 0, type = 0, interlace = 0;
    png_get_IHDR(png, info, &width, &height, &depth, &type, &interlace, nullptr, nullptr);

    // An indexed picture is mapped through its palette here; one whose
    // palette holds only greys reads as a grey picture.
    float(*palette)[3] = s->palette;  // zeroed: indices past the palette are black
    const bool indexed = type == PNG_COLOR_TYPE_PALETTE;
    bool grey = (type & PNG_COLOR_MASK_COLOR) == 0;
    if (indexed) {
        png_colorp entries = nullptr;
        int count = 0;
        png_get_PLTE(png, info, &entries, &count);
        grey = true;
        for (int i = 0; i < count && i < 256; ++i) {
            palette[i][0] = entries[i].red;
            palette[i][1] = entries[i].green;
            palette[i][2] = entries[i].blue;
            grey = grey && entries[i].red == entries[i].green && entries[i].red == entries[i].blue;
        }
    }
    const int channels = grey ? 1 : 3;

    // The size the header claims, against the file before any allocation.
    std::int64_t samples = 0, stored = 0;
    const int stored_bits = png_get_channels(png, info) * depth;
    if (!pixel_bytes(static_cast<int>(height), static_cast<int>(width), channels, 1, &samples) ||
        samples > kMaxPictureSamples) {
        s->refusal = "Picture too large";
        return false;
    }
    stored = static_cast<std::int64_t>(height) * ((std::int64_t{width} * stored_bits + 7) / 8 + 1);
    if (!could_decode(stored, s->file_bytes, kDeflateRatio)) {
        s->refusal = "Truncated file";
        return false;
    }

    if (indexed) {
        png_set_packing(png);  // one byte an index
    } else {
        if (depth < 8) png_set_expand_gray_1_2_4_to_8(png);  // 0..255, as libpng scales them
        png_set_strip_alpha(png);                             // transparency is dropped
    }
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const std::size_t row_bytes = png_get_rowbytes(png, info);
    const int out_depth = png_get_bit_depth(png, info);

    s->data = make_2D_float_array(static_cast<int>(height), static_cast<int>(width) * channels);
    if (!s->data) {
        s->reported = true;
        return false;
    }
    const int cols = static_cast<int>(width), rows = static_cast<int>(height);
    const float(*map)[3] = indexed ? palette : nullptr;
    if (passes > 1) {
        // Each pass adds pixels to rows read before: the whole picture first.
        s->pixels = static_cast<png_bytep>(std::malloc(row_bytes * height));
        s->row_table = static_cast<png_bytepp>(std::malloc(sizeof(png_bytep) * height));
        if (!s->pixels || !s->row_table) {
            s->refusal = "Out of memory";
            return false;
        }
        for (int r = 0; r < rows; ++r) s->row_table[r] = s->pixels + row_bytes * r;
        png_read_image(png, s->row_table);
        for (int r = 0; r < rows; ++r)
            convert_row(s->row_table[r], s->data[r], cols, channels, out_depth, map);
    } else {
        s->pixels = static_cast<png_bytep>(std::malloc(row_bytes));
        if (!s->pixels) {
            s->refusal = "Out of memory";
            return false;
        }
        for (int r = 0; r < rows; ++r) {
            png_read_row(png, s->pixels, nullptr);
            convert_row(s->pixels, s->data[r], cols, channels, out_depth, map);
        }
    }
    // The rest of the file: the end of the compressed stream and its checks.
    png_read_end(png, nullptr);
    s->rows = rows;
    s->cols = cols;
    s->color = grey ? 0 : 1;
    s->type = depth == 16 && !indexed ? KALVIO_TYPE_INT16 : KALVIO_TYPE_UINT8;
    return true;
}

// What one write holds; released by the caller whichever way encoding ended.
struct PngWrite {
    png_structp png;
    png_infop info;
    PngErrors errors;
    png_bytep row;
};

// A float sample as an unsigned PNG sample: truncated toward zero (NaN as
// 0), then clamped to 0..top.
inline unsigned clamp_sample(float value, int top) {
    const int v = to_int(value);
    return v < 0 ? 0u : v > top ? static_cast<unsigned>(top) : static_cast<unsigned>(v);
}

bool encode_png(PngWrite* s, FILE* fp, float** data, int nrows, int ncols, int channels,
                int depth) {
    if (setjmp(png_jmpbuf(s->png))) return false;
    png_structp png = s->png;
    png_infop info = s->info;
    png_init_io(png, fp);
    png_set_IHDR(png, info, static_cast<png_uint_32>(ncols), static_cast<png_uint_32>(nrows),
                 depth, channels == 1 ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const int n = ncols * channels;
    for (int r = 0; r < nrows; ++r) {
        const float* in = data[r];
        png_bytep out = s->row;
        if (depth == 16) {
            for (int i = 0; i < n; ++i) {
                const unsigned v = clamp_sample(in[i], 65535);
                out[2 * i] = static_cast<png_byte>(v >> 8);
                out[2 * i + 1] = static_cast<png_byte>(v);
            }
        } else {
            for (int i = 0; i < n; ++i) out[i] = static_cast<png_byte>(clamp_sample(in[i], 255));
        }
        png_write_row(png, out);
    }
    png_write_end(png, info);
    return true;
}

}  // namespace

float** read_png_image(const char* path, int* nrows, int* ncols, int* color, int* datatype) {
    const std::string prefix = "read_png_image: ";
    PngRead s;
    std::memset(&s, 0, sizeof s);
    s.fp = open_picture(path, prefix, &s.file_bytes);
    if (!s.fp) return nullptr;
    s.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &s.errors, on_png_error, on_png_warning);
    if (s.png) s.info = png_create_info_struct(s.png);
    if (!s.png || !s.info) {
        release(&s);
        AfxMessageBox(prefix + "Out of memory");
        return nullptr;
    }
    if (!decode_png(&s)) {
        const bool reported = s.reported;
        const std::string why = read_failure(s.refusal, s.errors.text);
        release(&s);
        if (!reported) AfxMessageBox(prefix + why);
        return nullptr;
    }
    float** data = s.data;
    s.data = nullptr;
    release(&s);
    *nrows = s.rows;
    *ncols = s.cols;
    if (color) *color = s.color;
    if (datatype) *datatype = s.type;
    return data;
}

int write_png_image(float** data, const char* path, int nrows, int ncols, int color, int datatype) {
    const std::string prefix = "write_png_image: ";
    if (!data || nrows <= 0 || ncols <= 0 || (color != 0 && color != 1)) {
        AfxMessageBox(prefix + "No image to write");
        return 0;
    }
    const int channels = color == 1 ? 3 : 1;
    const int depth = datatype == KALVIO_TYPE_INT16 || datatype == KALVIO_TYPE_INT32 ? 16 : 8;
    std::int64_t row_bytes = 0;
    if (!pixel_bytes(1, ncols, channels, depth / 8, &row_bytes) || row_bytes > INT32_MAX) {
        AfxMessageBox(prefix + "Image too large");
        return 0;
    }
    SafeOutput out;
    if (!out.create(path)) {
        AfxMessageBox(prefix + "Can't create file");
        return 0;
    }
    PngWrite s;
    std::memset(&s, 0, sizeof s);
    s.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &s.errors, on_png_error, on_png_warning);
    if (s.png) s.info = png_create_info_struct(s.png);
    s.row = static_cast<png_bytep>(std::malloc(static_cast<std::size_t>(row_bytes)));
    const bool ready = s.png && s.info && s.row;
    const bool written = ready && encode_png(&s, out.fp(), data, nrows, ncols, channels, depth);
    if (s.png) png_destroy_write_struct(&s.png, s.info ? &s.info : nullptr);
    std::free(s.row);
    if (!ready) {
        AfxMessageBox(prefix + "Out of memory");
        return 0;  // the temporary file goes with `out`
    }
    if (!written) {
        AfxMessageBox(prefix + "Can't write file (" + s.errors.text + ")");
        return 0;
    }
    if (!out.commit()) {
        AfxMessageBox(prefix + "Can't write file");
        return 0;
    }
    return 1;
}

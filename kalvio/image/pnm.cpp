// Binary PGM ("P5") and PPM ("P6") files.
#include "image/io_p.h"

#include <kalvio/arrays.h>
#include <kalvio/formats.h>
#include <kalvio/image.h>
#include <kalvio/message.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <memory>
#include <new>
#include <string>

using namespace kalvio::detail;

namespace {

// Skips white space and comments ("#" to the end of the line), which may
// stand anywhere between the header's fields.
void skip_blanks(FILE* fp) {
    int ch;
    while ((ch = std::getc(fp)) != EOF) {
        if (ch == '#') {
            while ((ch = std::getc(fp)) != EOF && ch != '\n' && ch != '\r') {
            }
        } else if (!std::isspace(ch)) {
            std::ungetc(ch, fp);
            return;
        }
    }
}

// Reads one positive decimal header field; false when there is none or it
// exceeds `limit`.
bool read_field(FILE* fp, long long limit, int* value) {
    skip_blanks(fp);
    long long v = 0;
    int digits = 0, ch;
    while ((ch = std::getc(fp)) != EOF && std::isdigit(ch)) {
        v = v * 10 + (ch - '0');
        if (v > limit) return false;
        ++digits;
    }
    if (ch != EOF) std::ungetc(ch, fp);
    if (digits == 0 || v <= 0) return false;
    *value = static_cast<int>(v);
    return true;
}

// Bytes of samples read or written at a time: the calls then cost nothing
// beside the copying, and the block stays in a core's cache while its rows
// are converted.
constexpr std::size_t kBlockBytes = std::size_t{256} << 10;

// Big-endian 16-bit samples as floats.
void words_to_floats(const unsigned char* in, float* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<float>((in[2 * i] << 8) | in[2 * i + 1]);
}

// Reads `rows` rows of `length` samples of `sample_bytes` bytes from the
// file's position into `data`, a block of rows at a time. Returns 1 when
// read, 0 when the file ends first, -1 when memory for the block is lacking.
int read_samples(FILE* fp, float** data, int rows, int length, int sample_bytes) {
    const std::size_t row_bytes = static_cast<std::size_t>(length) * static_cast<std::size_t>(sample_bytes);
    const std::size_t block_rows =
        std::min<std::size_t>(std::max<std::size_t>(1, kBlockBytes / row_bytes), static_cast<std::size_t>(rows));
    std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[block_rows * row_bytes]);
    if (!block) return -1;
    for (int r = 0; r < rows;) {
        const int count = static_cast<int>(std::min<std::size_t>(block_rows, static_cast<std::size_t>(rows - r)));
        if (!read_exact(fp, block.get(), count * row_bytes)) return 0;
        for (int k = 0; k < count; ++k, ++r) {
            const unsigned char* in = block.get() + k * row_bytes;
            if (sample_bytes == 1)
                bytes_to_floats(in, data[r], static_cast<std::size_t>(length));
            else
                words_to_floats(in, data[r], static_cast<std::size_t>(length));
        }
    }
    return 1;
}

// Reads a P5 or P6 file with `channels` samples a pixel. `name` prefixes
// the messages.
float** read_pnm(const char* path, int channels, const char* name, int* nrows, int* ncols,
                 int* datatype) {
    const std::string prefix = std::string(name) + ": ";
    FILE* fp = open_for_reading(path);
    if (!fp) {
        AfxMessageBox(prefix + "Can't open file");
        return nullptr;
    }
    int cols = 0, rows = 0, maxval = 0;
    const bool magic = std::getc(fp) == 'P' && std::getc(fp) == (channels == 1 ? '5' : '6');
    const bool header = magic && read_field(fp, INT32_MAX, &cols) &&
                        read_field(fp, INT32_MAX, &rows) && read_field(fp, 65535, &maxval);
    // One white-space character ends the header; the samples follow.
    const int end = header ? std::getc(fp) : EOF;
    if (!header || end == EOF || !std::isspace(end)) {
        std::fclose(fp);
        AfxMessageBox(prefix + "Bad header");
        return nullptr;
    }
    const int sample_bytes = maxval > 255 ? 2 : 1;
    std::int64_t bytes = 0;
    if (!pixel_bytes(rows, cols, channels, sample_bytes, &bytes) ||
        static_cast<std::int64_t>(cols) * channels > INT32_MAX) {
        std::fclose(fp);
        AfxMessageBox(prefix + "Bad header");
        return nullptr;
    }
    if (bytes_left(fp) < bytes) {
        std::fclose(fp);
        AfxMessageBox(prefix + "Truncated file");
        return nullptr;
    }
    const int length = cols * channels;
    float** data = make_2D_float_array(rows, length);
    if (!data) {
        std::fclose(fp);
        return nullptr;
    }
    const int read = read_samples(fp, data, rows, length, sample_bytes);
    std::fclose(fp);
    if (read != 1) {
        free_2D_float_array(data);
        AfxMessageBox(prefix + (read < 0 ? "Out of memory" : "Truncated file"));
        return nullptr;
    }
    *nrows = rows;
    *ncols = cols;
    if (datatype) *datatype = sample_bytes == 2 ? KALVIO_TYPE_INT16 : KALVIO_TYPE_UINT8;
    return data;
}

// Writes the header and `rows` rows of `length` bytes, which
// to_bytes(row, out) makes from each row of `data`. `name` prefixes the
// messages.
template <typename ToBytes>
int write_pnm(const char* path, const char* magic, const char* name, int nrows, int ncols,
              float** data, ToBytes to_bytes, int length, bool ask_grey) {
    const std::string prefix = std::string(name) + ": ";
    if (!data || nrows <= 0 || ncols <= 0) {
        AfxMessageBox(prefix + "No image to write");
        return 0;
    }
    SafeOutput out;
    if (!out.create(path)) {
        AfxMessageBox(prefix + "Can't create file");
        return 0;
    }
    std::fprintf(out.fp(), "%s\n%d %d\n255\n", magic, ncols, nrows);
    if (ask_grey && AfxMessageBox("write_pgm_file: Converting to gray level", MB_OKCANCEL) != IDOK)
        return 0;  // the temporary file goes with `out`
    if (length > 0) {
        const std::size_t row_bytes = static_cast<std::size_t>(length);
        const std::size_t block_rows =
            std::min<std::size_t>(std::max<std::size_t>(1, kBlockBytes / row_bytes), static_cast<std::size_t>(nrows));
        std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[block_rows * row_bytes]);
        if (!block) {
            AfxMessageBox(prefix + "Can't write file");
            return 0;  // the temporary file goes with `out`
        }
        for (int r = 0; r < nrows;) {
            const int count = static_cast<int>(std::min<std::size_t>(block_rows, static_cast<std::size_t>(nrows - r)));
            for (int k = 0; k < count; ++k, ++r) to_bytes(data[r], block.get() + k * row_bytes);
            std::fwrite(block.get(), 1, count * row_bytes, out.fp());
        }
    }
    if (!out.commit()) {
        AfxMessageBox(prefix + "Can't write file");
        return 0;
    }
    return 1;
}

}  // namespace

float** read_pgm_image(const char* path, int* nrows, int* ncols, int* datatype) {
    return read_pnm(path, 1, "read_pgm_image", nrows, ncols, datatype);
}

float** read_ppm_image(const char* path, int* nrows, int* ncols, int* datatype) {
    return read_pnm(path, 3, "read_ppm_image", nrows, ncols, datatype);
}

int write_pgm_image(float** data, const char* path, int nrows, int ncols, int color) {
    const auto columns = static_cast<std::size_t>(ncols);
    if (color == 1) {
        // The grey value of a colour pixel: the float channel sum times a
        // third in double precision, truncated from the double.
        auto grey = [columns](const float* row, unsigned char* out) {
            for (std::size_t i = 0; i < columns; ++i) {
                const float sum = row[3 * i] + row[3 * i + 1] + row[3 * i + 2];
                out[i] = static_cast<unsigned char>(to_int(sum * 0.3333333333333333) & 0xFF);
            }
        };
        return write_pnm(path, "P5", "write_pgm_image", nrows, ncols, data, grey, ncols, true);
    }
    auto plain = [columns](const float* row, unsigned char* out) { floats_to_bytes(row, out, columns); };
    // A colour flag other than 0 and 1 has no pixels to write: header only.
    return write_pnm(path, "P5", "write_pgm_image", nrows, ncols, data, plain,
                     color == 0 ? ncols : 0, false);
}

int write_ppm_image(float** data, const char* path, int nrows, int ncols, int color) {
    const auto columns = static_cast<std::size_t>(ncols);
    if (color == 0) {
        // Each grey byte three times; the bytes are made in the row's last
        // third and spread from the front, so each is read before its place
        // is written.
        auto spread = [columns](const float* row, unsigned char* out) {
            unsigned char* grey = out + 2 * columns;
            floats_to_bytes(row, grey, columns);
            for (std::size_t i = 0; i < columns; ++i) out[3 * i] = out[3 * i + 1] = out[3 * i + 2] = grey[i];
        };
        return write_pnm(path, "P6", "write_ppm_image", nrows, ncols, data, spread, 3 * ncols, false);
    }
    auto plain = [columns](const float* row, unsigned char* out) { floats_to_bytes(row, out, 3 * columns); };
    return write_pnm(path, "P6", "write_ppm_image", nrows, ncols, data, plain, 3 * ncols, false);
}

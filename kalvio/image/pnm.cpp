// Binary PGM ("P5") and PPM ("P6") files.
#include "image/io_p.h"

#include <kalvio/arrays.h>
#include <kalvio/formats.h>
#include <kalvio/image.h>
#include <kalvio/message.h>

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

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
    std::vector<unsigned char> row(static_cast<std::size_t>(length) * sample_bytes);
    for (int r = 0; r < rows; ++r) {
        if (!read_exact(fp, row.data(), row.size())) {
            free_2D_float_array(data);
            std::fclose(fp);
            AfxMessageBox(prefix + "Truncated file");
            return nullptr;
        }
        for (int i = 0; i < length; ++i)
            data[r][i] = sample_bytes == 1 ? row[i] : static_cast<float>((row[2 * i] << 8) | row[2 * i + 1]);
    }
    std::fclose(fp);
    *nrows = rows;
    *ncols = cols;
    if (datatype) *datatype = sample_bytes == 2 ? KALVIO_TYPE_INT16 : KALVIO_TYPE_UINT8;
    return data;
}

// Writes the header and `rows` rows of bytes made by `sample` (index into a
// row of `length` samples). `name` prefixes the messages.
template <typename Sample>
int write_pnm(const char* path, const char* magic, const char* name, int nrows, int ncols,
              float** data, Sample sample, int length, bool ask_grey) {
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
    std::vector<unsigned char> row(static_cast<std::size_t>(length));
    for (int r = 0; r < nrows && length > 0; ++r) {
        for (int i = 0; i < length; ++i) row[i] = static_cast<unsigned char>(sample(data[r], i));
        std::fwrite(row.data(), 1, row.size(), out.fp());
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
    if (color == 1) {
        // The grey value of a colour pixel: the float channel sum times a
        // third in double precision, truncated from the double.
        auto grey = [](const float* row, int i) {
            const float sum = row[3 * i] + row[3 * i + 1] + row[3 * i + 2];
            return to_int(sum * 0.3333333333333333) & 0xFF;
        };
        return write_pnm(path, "P5", "write_pgm_image", nrows, ncols, data, grey, ncols, true);
    }
    auto plain = [](const float* row, int i) { return to_int(row[i]) & 0xFF; };
    // A colour flag other than 0 and 1 has no pixels to write: header only.
    return write_pnm(path, "P5", "write_pgm_image", nrows, ncols, data, plain,
                     color == 0 ? ncols : 0, false);
}

int write_ppm_image(float** data, const char* path, int nrows, int ncols, int color) {
    if (color == 0) {
        auto spread = [](const float* row, int i) { return to_int(row[i / 3]) & 0xFF; };
        return write_pnm(path, "P6", "write_ppm_image", nrows, ncols, data, spread, 3 * ncols, false);
    }
    auto plain = [](const float* row, int i) { return to_int(row[i]) & 0xFF; };
    return write_pnm(path, "P6", "write_ppm_image", nrows, ncols, data, plain, 3 * ncols, false);
}

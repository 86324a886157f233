// CImage::ReadImage and WriteImage, the byte-order helpers and shared I/O.
#include "image/io_p.h"
#include "support/temp_file_p.h"

#include <kalvio/arrays.h>
#include <kalvio/formats.h>
#include <kalvio/image.h>
#include <kalvio/message.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kalvio::detail {

FILE* open_for_reading(const char* path) {
    if (!path || !*path) return nullptr;
    FILE* fp = std::fopen(path, "rb");
    if (!fp) return nullptr;
    struct stat st {};
    if (::fstat(::fileno(fp), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fclose(fp);
        return nullptr;
    }
    return fp;
}

std::int64_t bytes_left(FILE* fp) {
    struct stat st {};
    const long position = std::ftell(fp);
    if (position < 0 || ::fstat(::fileno(fp), &st) != 0) return -1;
    return st.st_size > position ? st.st_size - position : 0;
}

bool pixel_bytes(int rows, int cols, int per_pixel, int sample_bytes, std::int64_t* bytes) {
    if (rows <= 0 || cols <= 0 || per_pixel <= 0 || sample_bytes <= 0) return false;
    const std::int64_t row = static_cast<std::int64_t>(cols) * per_pixel * sample_bytes;
    if (row > INT64_MAX / rows) return false;
    *bytes = row * rows;
    return true;
}

int to_int(float value) {
    if (std::isnan(value)) return 0;
    if (value >= 2147483648.0f) return INT_MAX;
    if (value <= -2147483904.0f) return INT_MIN;
    return static_cast<int>(value);
}

int to_int(double value) {
    if (std::isnan(value)) return 0;
    if (value >= 2147483648.0) return INT_MAX;
    if (value <= -2147483649.0) return INT_MIN;
    return static_cast<int>(value);
}

bool read_exact(FILE* fp, void* buffer, std::size_t n) {
    return std::fread(buffer, 1, n, fp) == n;
}

bool SafeOutput::create(const char* path) {
    abort();
    if (!path || !*path) return false;
    struct stat st {};
    if (::stat(path, &st) == 0 && !S_ISREG(st.st_mode)) return false;
    std::string temp;
    const int fd = create_temp_beside(path, &temp);
    if (fd < 0) return false;
    m_fp = ::fdopen(fd, "wb");
    if (!m_fp) {
        ::close(fd);
        ::unlink(temp.c_str());
        return false;
    }
    m_target = path;
    m_temp = temp;
    return true;
}

bool SafeOutput::commit() {
    if (!m_fp) return false;
    bool ok = std::fflush(m_fp) == 0 && !std::ferror(m_fp) && ::fsync(::fileno(m_fp)) == 0;
    ok = std::fclose(m_fp) == 0 && ok;
    m_fp = nullptr;
    if (ok) ok = std::rename(m_temp.c_str(), m_target.c_str()) == 0;
    if (!ok) ::unlink(m_temp.c_str());
    m_temp.clear();
    return ok;
}

void SafeOutput::abort() {
    if (m_fp) std::fclose(m_fp);
    m_fp = nullptr;
    if (!m_temp.empty()) ::unlink(m_temp.c_str());
    m_temp.clear();
}

}  // namespace kalvio::detail

using kalvio::detail::open_for_reading;

int are_equal(const char* text, const char* prefix) {
    if (!prefix || !*prefix) return 1;
    if (!text) return 0;
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0 ? 1 : 0;
}

int acr_nema(const char* text) { return text && std::strstr(text, "ACR-NEMA") ? 1 : 0; }

short getshort(FILE* fp) {
    const int high = std::getc(fp);
    const int low = std::getc(fp);
    return static_cast<short>(static_cast<std::uint16_t>(((high & 0xFF) << 8) | (low & 0xFF)));
}

int getint(FILE* fp) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = (value << 8) | (std::getc(fp) & 0xFF);
    return static_cast<int>(value);
}

float getfloat(FILE* fp) {
    const std::uint32_t bits = static_cast<std::uint32_t>(getint(fp));
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

void putshort(short value, FILE* fp) {
    const std::uint16_t bits = static_cast<std::uint16_t>(value);
    std::putc(bits >> 8, fp);
    std::putc(bits & 0xFF, fp);
}

int CImage::ReadImage(const char* path) {
    char line[256] = {};
    {
        FILE* fp = open_for_reading(path);
        if (!fp) {
            AfxMessageBox("CImage: Can't open file");
            return 0;
        }
        if (!std::fgets(line, sizeof line, fp)) line[0] = '\0';
        std::fclose(fp);
    }

    // Read into locals first: a failed read leaves the image as it was.
    int rows = 0, cols = 0, new_color = 0, new_type = 4, new_format;
    float** pixels;
    if (are_equal(line, "P5")) {
        new_format = 1;
        pixels = read_pgm_image(path, &rows, &cols, &new_type);
    } else if (are_equal(line, "P6")) {
        new_format = 2;
        new_color = 1;
        pixels = read_ppm_image(path, &rows, &cols, &new_type);
    } else if (are_equal(line, "BM")) {
        new_format = 3;
        pixels = read_bmp_image(path, &rows, &cols, &new_color);
    } else if (are_equal(line, "QV")) {
        new_format = 4;
        pixels = read_qvf_image(path, &rows, &cols, &new_color, &new_type);
    } else {
        new_format = 6;
        new_type = 7;
        pixels = read_medical_image(path, &rows, &cols);
    }
    if (!pixels) {
        AfxMessageBox("CImage: Can't read data");
        return 0;
    }

    free_2D_float_array(data);
    // Planes computed for another size no longer fit the image.
    if (rows != nrows || cols != ncols) {
        free_2D_float_array(mag);
        free_2D_float_array(dir);
        free_2D_float_array(scale);
        mag = dir = scale = nullptr;
    }
    data = pixels;
    nrows = rows;
    ncols = cols;
    color = new_color;
    datatype = new_type;
    format = new_format;
    return 1;
}

int CImage::WriteImage(const char* path) {
    switch (format) {
        case 1: return write_pgm_image(data, path, nrows, ncols, color);
        case 2: return write_ppm_image(data, path, nrows, ncols, color);
        case 3: return write_bmp_image(data, path, nrows, ncols, color);
        case 4: return write_qvf_image(data, path, nrows, ncols, color, datatype);
        case 7: return write_duta_image(data, path, nrows, ncols);
        case 8: return write_raw_image(data, path, nrows, ncols, datatype);
        case 9: return write_brantow_image(data, path, nrows, ncols);
        default: return 0;
    }
}

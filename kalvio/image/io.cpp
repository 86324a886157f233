// CImage::ReadImage and WriteImage, the byte-order helpers and shared I/O.
#include "image/io_p.h"

#include <kalvio/arrays.h>
#include <kalvio/formats.h>
#include <kalvio/image.h>
#include <kalvio/message.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace kalvio::detail {

FILE* open_for_reading(const char* path) {
    if (!path || !*path) return nullptr;
    // Without O_NONBLOCK, opening a FIFO that has no writer waits forever;
    // with it the open returns at once and the type check refuses the FIFO.
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st {};
    const int flags = ::fcntl(fd, F_GETFL);
    // Reads of a regular file never wait anyway; the stream handed out is an
    // ordinary blocking one.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flags < 0 ||
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return nullptr;
    }
    FILE* fp = ::fdopen(fd, "rb");
    if (!fp) ::close(fd);
    return fp;
}

std::int64_t bytes_left(FILE* fp) {
    struct stat st {};
    const long position = std::ftell(fp);
    if (position < 0 || ::fstat(::fileno(fp), &st) != 0) return -1;
    return st.st_size > position ? st.st_size - position : 0;
}

FILE* open_picture(const char* path, const std::string& prefix, std::int64_t* file_bytes) {
    FILE* fp = open_for_reading(path);
    if (!fp) {
        AfxMessageBox(prefix + "Can't open file");
        return nullptr;
    }
    std::setvbuf(fp, nullptr, _IOFBF, 1 << 16);
    *file_bytes = bytes_left(fp);
    return fp;
}

std::string read_failure(const char* refusal, const char* detail) {
    return refusal ? std::string(refusal) : std::string("Can't read file (") + detail + ")";
}

bool pixel_bytes(int rows, int cols, int per_pixel, int sample_bytes, std::int64_t* bytes) {
    if (rows <= 0 || cols <= 0 || per_pixel <= 0 || sample_bytes <= 0) return false;
    const std::int64_t row = static_cast<std::int64_t>(cols) * per_pixel * sample_bytes;
    if (row > INT64_MAX / rows) return false;
    *bytes = row * rows;
    return true;
}

int sample_size(int type) {
    switch (type) {
        case KALVIO_TYPE_UINT8: return 1;
        case KALVIO_TYPE_INT16: return 2;
        case KALVIO_TYPE_INT32:
        case KALVIO_TYPE_FLOAT: return 4;
        default: return 0;
    }
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

int read_ints(const char* line, int* values, int count) {
    const char* p = line;
    for (int i = 0; i < count; ++i) {
        char* end = nullptr;
        errno = 0;
        const long long value = std::strtoll(p, &end, 10);
        if (end == p || errno == ERANGE || value < INT32_MIN || value > INT32_MAX) return i;
        values[i] = static_cast<int>(value);
        p = end;
    }
    return count;
}

std::thread fault_in_pages(float** data, int rows, int length) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    const std::size_t bytes = static_cast<std::size_t>(rows) * static_cast<std::size_t>(length) * sizeof(float);
    if (!data || rows <= 0 || length <= 0 || bytes < (std::size_t{32} << 20)) return {};
    const std::uintptr_t page = 4096, first = reinterpret_cast<std::uintptr_t>(data[0]);
    const std::uintptr_t begin = (first + page - 1) / page * page, end = (first + bytes) / page * page;
    try {
        // Kernels before 5.14 refuse the request: the pages then come as usual.
        return std::thread([begin, end] { ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE); });
    } catch (...) {
        return {};
    }
#else
    (void)data, (void)rows, (void)length;
    return {};
#endif
}

bool read_exact(FILE* fp, void* buffer, std::size_t n) {
    return std::fread(buffer, 1, n, fp) == n;
}

}  // namespace kalvio::detail

using kalvio::detail::bytes_left;
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

namespace {

// What the first and last bytes of a file say it is.
enum class FileKind { Pgm, Ppm, Bmp, Qvf, Png, Jpeg, Tiff, Foreign, AsciiPnm, Pbm, Text, Other };

// The bytes a file begins and ends with: enough for every signature, and for
// telling a text file from a medical one, whose header may be text but whose
// pixels fill its end.
struct FileEnds {
    unsigned char head[512];
    unsigned char tail[512];
    std::size_t head_size = 0, tail_size = 0;

    bool begins_with(const char* signature, std::size_t size) const {
        return head_size >= size && std::memcmp(head, signature, size) == 0;
    }
};

bool read_ends(const char* path, FileEnds* ends) {
    FILE* fp = open_for_reading(path);
    if (!fp) return false;
    ends->head_size = std::fread(ends->head, 1, sizeof ends->head, fp);
    const std::int64_t rest = bytes_left(fp);
    if (rest > 0) {
        const std::int64_t skip = rest > std::int64_t{sizeof ends->tail}
                                      ? rest - std::int64_t{sizeof ends->tail}
                                      : 0;
        if (std::fseek(fp, static_cast<long>(skip), SEEK_CUR) == 0)
            ends->tail_size = std::fread(ends->tail, 1, sizeof ends->tail, fp);
    }
    std::fclose(fp);
    return true;
}

bool is_blank(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool is_text(const unsigned char* bytes, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i)
        if (!is_blank(bytes[i]) && (bytes[i] < 0x20 || bytes[i] > 0x7E)) return false;
    return true;
}

// "P<kind>", white space, then, past any comments, a digit: a netpbm header.
// A medical file whose header happens to begin with the same two letters
// goes on with binary bytes instead. A header that runs to the end of the
// bytes looked at is taken as netpbm.
bool netpbm_header(const FileEnds& ends, char kind) {
    const unsigned char* p = ends.head;
    const std::size_t n = ends.head_size;
    if (n < 3 || p[0] != 'P' || p[1] != kind || !is_blank(p[2])) return false;
    for (std::size_t i = 3; i < n; ++i) {
        if (p[i] == '#') {
            while (i < n && p[i] != '\n' && p[i] != '\r') ++i;
        } else if (!is_blank(p[i])) {
            return p[i] >= '0' && p[i] <= '9';
        }
    }
    return true;
}

FileKind kind_of(const FileEnds& ends) {
    if (ends.begins_with("P5", 2)) return FileKind::Pgm;
    if (ends.begins_with("P6", 2)) return FileKind::Ppm;
    if (ends.begins_with("BM", 2)) return FileKind::Bmp;
    if (ends.begins_with("QV", 2)) return FileKind::Qvf;
    if (ends.begins_with("\x89PNG\r\n\x1a\n", 8)) return FileKind::Png;
    if (ends.begins_with("\xFF\xD8\xFF", 3)) return FileKind::Jpeg;
    // TIFF of either byte order, classic or BigTIFF.
    static const char* const tiff[] = {"II*\0", "MM\0*", "II+\0", "MM\0+"};
    for (const char* signature : tiff)
        if (ends.begins_with(signature, 4)) return FileKind::Tiff;
    // Formats other programs write and no reader here takes.
    if (ends.begins_with("GIF87a", 6) || ends.begins_with("GIF89a", 6)) return FileKind::Foreign;
    if (netpbm_header(ends, '1') || netpbm_header(ends, '2') || netpbm_header(ends, '3'))
        return FileKind::AsciiPnm;
    if (netpbm_header(ends, '4')) return FileKind::Pbm;
    if (ends.head_size > 0 && is_text(ends.head, ends.head_size) &&
        is_text(ends.tail, ends.tail_size))
        return FileKind::Text;
    return FileKind::Other;
}

// The message for a file no reader takes, or null when a reader does.
const char* refusal(FileKind kind) {
    switch (kind) {
        case FileKind::Foreign: return "CImage: Unsupported file format";
        case FileKind::AsciiPnm: return "CImage: ASCII PNM is not supported";
        case FileKind::Pbm: return "CImage: PBM bitmaps are not supported";
        case FileKind::Text: return "CImage: Unrecognised file format";
        default: return nullptr;
    }
}

}  // namespace

int CImage::ReadImage(const char* path) {
    FileEnds ends;
    if (!read_ends(path, &ends)) {
        AfxMessageBox("CImage: Can't open file");
        return 0;
    }
    const FileKind kind = kind_of(ends);
    if (const char* message = refusal(kind)) {
        AfxMessageBox(message);
        return 0;
    }

    // Read into locals first: a failed read leaves the image as it was.
    int rows = 0, cols = 0, new_color = 0, new_type = KALVIO_TYPE_UINT8, new_format;
    float** pixels;
    switch (kind) {
        case FileKind::Pgm:
            new_format = KALVIO_FORMAT_PGM;
            pixels = read_pgm_image(path, &rows, &cols, &new_type);
            break;
        case FileKind::Ppm:
            new_format = KALVIO_FORMAT_PPM;
            new_color = 1;
            pixels = read_ppm_image(path, &rows, &cols, &new_type);
            break;
        case FileKind::Bmp:
            new_format = KALVIO_FORMAT_BMP;
            pixels = read_bmp_image(path, &rows, &cols, &new_color);
            break;
        case FileKind::Qvf:
            new_format = KALVIO_FORMAT_QVF;
            pixels = read_qvf_image(path, &rows, &cols, &new_color, &new_type);
            break;
        case FileKind::Png:
            new_format = KALVIO_FORMAT_PNG;
            pixels = read_png_image(path, &rows, &cols, &new_color, &new_type);
            break;
        case FileKind::Jpeg:
            new_format = KALVIO_FORMAT_JPEG;
            pixels = read_jpeg_image(path, &rows, &cols, &new_color, &new_type);
            break;
        case FileKind::Tiff:
            new_format = KALVIO_FORMAT_TIFF;
            pixels = read_tiff_image(path, &rows, &cols, &new_color, &new_type);
            break;
        default:
            // No signature: the medical reader guesses the layout from the
            // file's length.
            new_format = KALVIO_FORMAT_TESSIL;
            new_type = KALVIO_TYPE_INT16;
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
        case KALVIO_FORMAT_PGM: return write_pgm_image(data, path, nrows, ncols, color);
        case KALVIO_FORMAT_PPM: return write_ppm_image(data, path, nrows, ncols, color);
        case KALVIO_FORMAT_BMP: return write_bmp_image(data, path, nrows, ncols, color);
        case KALVIO_FORMAT_QVF:
            return write_qvf_image(data, path, nrows, ncols, color, datatype);
        case KALVIO_FORMAT_DUTA: return write_duta_image(data, path, nrows, ncols);
        case KALVIO_FORMAT_RAW: return write_raw_image(data, path, nrows, ncols, datatype);
        case KALVIO_FORMAT_BRANTOW: return write_brantow_image(data, path, nrows, ncols);
        // No JPEG or TIFF writer: pictures read from those are written as PNG.
        case KALVIO_FORMAT_PNG:
        case KALVIO_FORMAT_JPEG:
        case KALVIO_FORMAT_TIFF:
            return write_png_image(data, path, nrows, ncols, color, datatype);
        default: return 0;
    }
}

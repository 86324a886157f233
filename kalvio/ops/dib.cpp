// CDib: float images to and from 8- and 24-bit bitmaps, palettes, drawing and
// BMP files.
#include <kalvio/arrays.h>
#include <kalvio/dib.h>
#include <kalvio/file.h>
#include <kalvio/image.h>
#include <kalvio/message.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

KALVIO_IMPLEMENT_DYNCREATE(CDib, CObject);

namespace {

constexpr std::uint32_t kFileHeaderSize = 14;
constexpr std::uint32_t kInfoHeaderSize = 40;  // the only header kept in memory
constexpr std::uint16_t kSignature = 0x4D42;   // "BM"
constexpr int kMaxPaletteEntries = 65536;      // what CPalette accepts
constexpr float kThird = 0.33333334f;

// Compression codes of the information header.
constexpr std::uint32_t kRgb = 0, kRle8 = 1, kRle4 = 2, kBitFields = 3, kJpeg = 4, kPng = 5,
                        kAlphaBitFields = 6;

// The messages of Read, one per kind of refusal.
constexpr const char* kShortFileHeader = "Read error 1";
constexpr const char* kInvalid = "Invalid bitmap file";
constexpr const char* kTruncated = "Read error 2: truncated bitmap";
constexpr const char* kCompressed = "Compressed bitmaps are not supported";
constexpr const char* kUnsupported = "Unsupported bitmap format";
constexpr const char* kTooLarge = "Bitmap too large for memory";

// A run paints at most 255 pixels for its two bytes, so a stream that paints
// every pixel has no more than 128 pixels a byte. Only skips (deltas, early
// ends of line or of bitmap) go beyond; allowing twice that keeps room for
// them while a few bytes cannot claim a picture of gigabytes.
constexpr std::uint64_t kMaxRlePixelsPerByte = 256;

using Bytes = std::unique_ptr<std::uint8_t[]>;

// Zero-filled bytes, or null when memory is short: sizes here can come from
// files, so a failed allocation is an answer, not an exception.
Bytes new_bytes(std::uint64_t count) {
    if (count > SIZE_MAX) return nullptr;
    return Bytes(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(count)]());
}

std::uint16_t get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

std::uint32_t get32(const std::uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void put16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

void put32(std::uint8_t* p, std::uint32_t v) {
    put16(p, v);
    put16(p + 2, v >> 16);
}

// Bytes of a stored row: whole 32-bit words.
std::uint64_t row_stride(std::uint64_t width, int bit_count) {
    return (width * bit_count + 31) / 32 * 4;
}

// Truncation toward zero to a 32-bit int. NaN gives 0 and values beyond the
// int range saturate, so no float is undefined to convert.
int truncate_to_int(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483648.0) return INT_MAX;
    if (v <= -2147483649.0) return INT_MIN;
    return static_cast<int>(v);
}

// The low 8 bits of the truncated value: 255.9 -> 255, 256 -> 0, -1 -> 255.
std::uint8_t to_byte(float v) { return static_cast<std::uint8_t>(truncate_to_int(v) & 0xFF); }

// Half away from zero. In double, so that 0.49999997f stays below one half.
int round_half_away(float v) {
    const double d = v;
    return truncate_to_int(d >= 0.0 ? d + 0.5 : d - 0.5);
}

void write_info_header(std::uint8_t* info, int width, int height, int bit_count, int color_count,
                       std::uint32_t image_size) {
    std::memset(info, 0, kInfoHeaderSize);
    put32(info, kInfoHeaderSize);
    put32(info + 4, static_cast<std::uint32_t>(width));
    put32(info + 8, static_cast<std::uint32_t>(height));
    put16(info + 12, 1);
    put16(info + 14, static_cast<std::uint32_t>(bit_count));
    put32(info + 16, kRgb);
    put32(info + 20, image_size);
    put32(info + 32, static_cast<std::uint32_t>(color_count));
    put32(info + 36, static_cast<std::uint32_t>(color_count));
}

void fill_grey_ramp(std::uint8_t* table) {
    for (int k = 0; k < 256; ++k) {
        const auto v = static_cast<std::uint8_t>(k);
        table[4 * k] = table[4 * k + 1] = table[4 * k + 2] = v;
        table[4 * k + 3] = 0;
    }
}

// The bit count (8 or 24) of a bitmap whose fields describe its blocks
// consistently, else 0. The fields are public, so the pixel readers check
// them rather than trust them.
int pixel_layout(const CDib& dib) {
    if (!dib.info || !dib.bits || dib.width <= 0 || dib.height <= 0) return 0;
    const int bit_count = get16(dib.info + 14);
    if (bit_count != 8 && bit_count != 24) return 0;
    if (dib.row_bytes < static_cast<std::uint64_t>(dib.width) * (bit_count / 8) ||
        static_cast<std::uint64_t>(dib.row_bytes) * dib.height > dib.image_size)
        return 0;
    return bit_count;
}

struct Rgb {
    std::uint8_t r, g, b;
};

// Pixel x of image row y (row 0 at the top). An index beyond the colour
// table is black.
Rgb colour_at(const CDib& dib, int bit_count, int y, int x) {
    const std::uint8_t* row =
        dib.bits + static_cast<std::size_t>(dib.height - 1 - y) * dib.row_bytes;
    if (bit_count == 24) {
        const std::uint8_t* bgr = row + static_cast<std::size_t>(x) * 3;
        return {bgr[2], bgr[1], bgr[0]};
    }
    const int index = row[x];
    if (index >= dib.color_count) return {0, 0, 0};
    const std::uint8_t* bgrx = dib.info + kInfoHeaderSize + 4 * index;
    return {bgrx[2], bgrx[1], bgrx[0]};
}

// Fills an allocated bitmap of the array's size from the floats: 24-bit rows
// from interleaved red, green, blue, or 8-bit grey through the grey ramp.
void convert_floats(CDib& dib, float** data, bool rescale, bool find_range, float low,
                    float high) {
    const int rows = dib.height, cols = dib.width;
    if (dib.pixel_bytes == 3) {
        for (int r = 0; r < rows; ++r) {
            const float* in = data[rows - 1 - r];
            std::uint8_t* out = dib.bits + static_cast<std::size_t>(r) * dib.row_bytes;
            for (int x = 0; x < cols; ++x) {
                out[3 * x] = to_byte(in[3 * x + 2]);
                out[3 * x + 1] = to_byte(in[3 * x + 1]);
                out[3 * x + 2] = to_byte(in[3 * x]);
            }
        }
        return;
    }
    fill_grey_ramp(dib.info + kInfoHeaderSize);
    if (rescale && find_range) {
        low = 1000000.0f;
        high = -1000000.0f;
        for (int y = 0; y < rows; ++y)
            for (int x = 0; x < cols; ++x) {
                if (data[y][x] < low) low = data[y][x];
                if (data[y][x] > high) high = data[y][x];
            }
    }
    const float range = high - low;
    for (int r = 0; r < rows; ++r) {
        const float* in = data[rows - 1 - r];
        std::uint8_t* out = dib.bits + static_cast<std::size_t>(r) * dib.row_bytes;
        for (int x = 0; x < cols; ++x) {
            float v = in[x];
            if (rescale) v = range != 0.0f ? (v - low) * 255.0f / range : 0.0f;
            out[x] = to_byte(v);
        }
    }
}

bool has_pixels(const CImage* image) {
    return image && image->data && image->nrows > 0 && image->ncols > 0 &&
           (image->color == 0 || image->color == 1);
}

// ---- Reading -------------------------------------------------------------

// A bitmap read from a file, in the layout CDib keeps.
struct Loaded {
    Bytes info, bits;
    std::uint32_t image_size = 0, row_bytes = 0;
    int color_count = 0, width = 0, height = 0, pixel_bytes = 0;
};

// One colour of a bit-field pixel. The value under the mask is scaled to
// 0..255 as value * 255 / largest, truncating, so that a full field gives 255
// (for 5 bits: 31 -> 255, 16 -> 131, 1 -> 8).
class Field {
public:
    explicit Field(std::uint32_t mask) : m_mask(mask) {
        if (mask) {
            m_shift = std::countr_zero(mask);
            m_largest = mask >> m_shift;
        }
    }
    std::uint8_t operator()(std::uint32_t pixel) const {
        if (!m_largest) return 0;
        return static_cast<std::uint8_t>(((pixel & m_mask) >> m_shift) * 255ULL / m_largest);
    }

private:
    std::uint32_t m_mask;
    int m_shift = 0;
    std::uint32_t m_largest = 0;
};

// Converts one stored row of the file into the kept layout: 1-, 2- and 4-bit
// indices become one byte each; 16- and 32-bit pixels become blue, green, red.
void convert_row(const std::uint8_t* in, std::uint8_t* out, int width, int bit_count,
                 const Field (&fields)[3]) {
    switch (bit_count) {
        case 1:
        case 2:
        case 4: {
            const int per_byte = 8 / bit_count;
            const unsigned largest = (1u << bit_count) - 1;
            for (int x = 0; x < width; ++x) {
                const int shift = 8 - bit_count * (x % per_byte + 1);
                out[x] = static_cast<std::uint8_t>(in[x / per_byte] >> shift & largest);
            }
            break;
        }
        case 8: std::memcpy(out, in, static_cast<std::size_t>(width)); break;
        case 24: std::memcpy(out, in, static_cast<std::size_t>(width) * 3); break;
        default:
            for (int x = 0; x < width; ++x) {
                const std::uint32_t pixel = bit_count == 16
                                                ? get16(in + 2 * static_cast<std::size_t>(x))
                                                : get32(in + 4 * static_cast<std::size_t>(x));
                out[3 * static_cast<std::size_t>(x)] = fields[2](pixel);
                out[3 * static_cast<std::size_t>(x) + 1] = fields[1](pixel);
                out[3 * static_cast<std::size_t>(x) + 2] = fields[0](pixel);
            }
    }
}

// The bytes of a compressed pixel stream, read through a small buffer: the
// stream's length comes from the file, so it is never allocated whole.
class StreamReader {
public:
    StreamReader(CFile& file, std::uint64_t length) : m_file(file), m_left(length) {}

    // The next byte; false at the end of the stream.
    bool next(std::uint8_t& byte) {
        if (m_at == m_end) {
            const std::size_t want =
                static_cast<std::size_t>(std::min<std::uint64_t>(m_left, sizeof m_buffer));
            m_end = want ? m_file.Read(m_buffer, want) : 0;
            m_at = 0;
            m_left -= m_end;
            if (m_end == 0) return false;
        }
        byte = m_buffer[m_at++];
        return true;
    }

private:
    CFile& m_file;
    std::uint64_t m_left;
    std::uint8_t m_buffer[4096];
    std::size_t m_at = 0, m_end = 0;
};

// Decodes an RLE8 or RLE4 stream (bit_count 8 or 4) into `bits`: one index
// a byte, stored rows of `out_stride` bytes from the bottom, zero-filled by
// the caller so that pixels the stream skips keep index 0. Null on success,
// else the message to show. Pixels may run into the padding of the row as
// stored uncompressed (writers encode it) and are dropped there; a run,
// absolute run or delta beyond that padding or above the top row is refused.
const char* decode_rle(CFile& file, std::uint64_t stream_bytes, int bit_count, std::int32_t width,
                       std::int32_t height, std::uint64_t out_stride, std::uint8_t* bits) {
    StreamReader in(file, stream_bytes);
    const std::uint64_t row_slots = row_stride(static_cast<std::uint64_t>(width), bit_count) * 8 /
                                    static_cast<std::uint64_t>(bit_count);
    const auto columns = static_cast<std::uint64_t>(width);
    std::uint64_t x = 0;
    std::int64_t y = 0;  // stored row, from the bottom; wide enough for y + 255
    auto paint = [&](std::uint8_t index) {
        if (x < columns) bits[static_cast<std::uint64_t>(y) * out_stride + x] = index;
        ++x;
    };
    // Index k of a run or absolute run: RLE4 bytes hold two, high nibble first.
    auto index = [bit_count](std::uint8_t byte, unsigned k) -> std::uint8_t {
        if (bit_count == 8) return byte;
        return k % 2 == 0 ? byte >> 4 : byte & 0x0F;
    };
    while (y < height) {
        std::uint8_t count, value;
        if (!in.next(count) || !in.next(value)) {
            // A stream may stop without its end-of-bitmap marker once the
            // top row is full, as Pillow and ImageMagick accept (ImageMagick
            // only after the row's end of line); nothing is missing then.
            // Any earlier end is a truncated file.
            return y == height - 1 && x >= columns ? nullptr : kTruncated;
        }
        if (count > 0) {
            if (x + count > row_slots) return kInvalid;
            for (unsigned k = 0; k < count; ++k) paint(index(value, k));
            continue;
        }
        if (value == 0) {  // end of line
            x = 0;
            ++y;
        } else if (value == 1) {  // end of bitmap
            return nullptr;
        } else if (value == 2) {  // delta: right and up
            std::uint8_t dx, dy;
            if (!in.next(dx) || !in.next(dy)) return kTruncated;
            x += dx;
            y += dy;
            if (x > row_slots || y >= height) return kInvalid;
        } else {  // absolute run of `value` indices, padded to 16 bits
            if (x + value > row_slots) return kInvalid;
            const unsigned bytes = bit_count == 8 ? value : (value + 1u) / 2;
            std::uint8_t byte = 0;
            for (unsigned k = 0; k < value; ++k) {
                if ((bit_count == 8 || k % 2 == 0) && !in.next(byte)) return kTruncated;
                paint(index(byte, k));
            }
            // A missing pad byte at the very end is left to the next read.
            if (bytes % 2) in.next(byte);
        }
    }
    // The end of line of the top row ends the bitmap; what follows is unused.
    return nullptr;
}

// Reads uncompressed rows of `in_stride` bytes into `bits` in the kept
// layout; a negative `stored_height` means the file holds the top row first.
const char* read_rows(CFile& file, std::uint64_t in_stride, int bit_count, std::int32_t width,
                      std::int32_t stored_height, const std::uint32_t (&masks)[3],
                      std::uint64_t out_stride, std::uint8_t* bits) {
    Bytes row = new_bytes(in_stride);
    if (!row) return kTooLarge;
    const bool top_down = stored_height < 0;
    const std::int32_t height = top_down ? -stored_height : stored_height;
    const Field fields[3] = {Field(masks[0]), Field(masks[1]), Field(masks[2])};
    for (std::int32_t i = 0; i < height; ++i) {
        if (file.Read(row.get(), in_stride) != in_stride) return kTruncated;
        const std::int32_t stored = top_down ? height - 1 - i : i;
        convert_row(row.get(), bits + stored * out_stride, width, bit_count, fields);
    }
    return nullptr;
}

// Reads a BMP file from the file's position; null on success, else the
// message to show. Every size in the headers is checked against the bytes
// the file holds before anything is allocated from it.
const char* read_bitmap(CFile& file, Loaded& out) {
    const std::int64_t base = file.GetPosition();
    std::uint8_t head[kFileHeaderSize];
    if (base < 0 || file.Read(head, sizeof head) != sizeof head) return kShortFileHeader;
    if (get16(head) != kSignature) return kInvalid;
    const std::int64_t length = file.GetLength();
    if (length < base + kFileHeaderSize) return kTruncated;
    const auto available = static_cast<std::uint64_t>(length - base);
    const std::uint32_t offset = get32(head + 10);

    std::uint8_t header[124] = {};
    if (file.Read(header, 4) != 4) return kTruncated;
    const std::uint32_t header_size = get32(header);
    if (header_size != 40 && header_size != 108 && header_size != 124) return kUnsupported;
    if (file.Read(header + 4, header_size - 4) != header_size - 4) return kTruncated;

    const auto width = static_cast<std::int32_t>(get32(header + 4));
    const auto stored_height = static_cast<std::int32_t>(get32(header + 8));
    const int bit_count = get16(header + 14);
    const std::uint32_t compression = get32(header + 16);
    const std::uint32_t colors_used = get32(header + 32);

    const bool rle = compression == kRle8 || compression == kRle4;
    const bool bit_fields = compression == kBitFields || compression == kAlphaBitFields;
    if (compression == kJpeg || compression == kPng) return kCompressed;
    if (compression != kRgb && !rle && !bit_fields) return kUnsupported;
    if (bit_count != 1 && bit_count != 2 && bit_count != 4 && bit_count != 8 &&
        bit_count != 16 && bit_count != 24 && bit_count != 32)
        return kInvalid;
    if (bit_fields && bit_count != 16 && bit_count != 32) return kInvalid;
    if (rle && bit_count != (compression == kRle8 ? 8 : 4)) return kInvalid;
    if (width <= 0 || stored_height == 0 || stored_height == INT32_MIN) return kInvalid;
    const bool top_down = stored_height < 0;
    // Compressed streams are bottom-up by definition; a negative height
    // makes no sense for them.
    if (rle && top_down) return kInvalid;
    const std::int32_t height = top_down ? -stored_height : stored_height;

    std::uint64_t table_start = kFileHeaderSize + header_size;
    std::uint32_t masks[3] = {0x7C00, 0x03E0, 0x001F};  // 16-bit default: 5-5-5
    if (bit_count == 32) {
        masks[0] = 0xFF0000;
        masks[1] = 0x00FF00;
        masks[2] = 0x0000FF;
    }
    if (bit_fields) {
        // A 40-byte header is followed by the masks; larger headers hold them.
        if (header_size == kInfoHeaderSize) {
            const std::size_t count = compression == kAlphaBitFields ? 16 : 12;
            if (file.Read(header + kInfoHeaderSize, count) != count) return kTruncated;
            table_start += count;
        }
        for (int k = 0; k < 3; ++k) masks[k] = get32(header + 40 + 4 * k);
    }

    int color_count = 0;
    if (bit_count <= 8) {
        if (colors_used > 256) return kInvalid;
        color_count = colors_used ? static_cast<int>(colors_used) : 1 << bit_count;
    }
    if (offset < table_start + 4ULL * color_count) return kInvalid;
    if (offset > available) return kTruncated;
    const std::uint64_t stream_bytes = available - offset;
    const std::uint64_t in_stride = row_stride(static_cast<std::uint64_t>(width), bit_count);
    if (rle) {
        const std::uint64_t pixels =
            static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
        if ((pixels + kMaxRlePixelsPerByte - 1) / kMaxRlePixelsPerByte > stream_bytes)
            return kTruncated;
    } else if (in_stride > stream_bytes / static_cast<std::uint64_t>(height)) {
        return kTruncated;
    }

    const int out_bits = bit_count <= 8 ? 8 : 24;
    const std::uint64_t out_stride = row_stride(static_cast<std::uint64_t>(width), out_bits);
    if (out_stride > UINT32_MAX / static_cast<std::uint64_t>(height)) return kTooLarge;
    const auto image_size = static_cast<std::uint32_t>(out_stride * height);

    Bytes info = new_bytes(kInfoHeaderSize + 4ULL * color_count);
    Bytes bits = new_bytes(image_size);
    if (!info || !bits) return kTooLarge;
    write_info_header(info.get(), width, height, out_bits, color_count, image_size);
    std::memcpy(info.get() + 24, header + 24, 8);  // keep the resolution
    const std::size_t table_bytes = 4 * static_cast<std::size_t>(color_count);
    if (file.Read(info.get() + kInfoHeaderSize, table_bytes) != table_bytes) return kTruncated;

    const std::int64_t pixels_at = base + static_cast<std::int64_t>(offset);
    if (file.Seek(pixels_at, CFile::begin) != pixels_at) return kTruncated;
    const char* error =
        rle ? decode_rle(file, stream_bytes, bit_count, width, height, out_stride, bits.get())
            : read_rows(file, in_stride, bit_count, width, stored_height, masks, out_stride,
                        bits.get());
    if (error) return error;

    out.info = std::move(info);
    out.bits = std::move(bits);
    out.image_size = image_size;
    out.row_bytes = static_cast<std::uint32_t>(out_stride);
    out.color_count = color_count;
    out.width = width;
    out.height = height;
    out.pixel_bytes = out_bits / 8;
    return nullptr;
}

}  // namespace

CDib::CDib()
    : info(nullptr), bits(nullptr), palette(nullptr), image_size(0), color_count(0), width(0),
      height(0), row_bytes(0), pixel_bytes(0) {}

CDib::CDib(int columns, int rows, int bit_count) : CDib() { allocate(columns, rows, bit_count); }

CDib::CDib(CImage* image, int rescale, float low, float high) : CDib() {
    if (has_pixels(image) && allocate(image->ncols, image->nrows, image->color == 1 ? 24 : 8))
        convert_floats(*this, image->data, rescale != 0, low == 0.0f && high == 0.0f, low, high);
    MakePalette();
}

CDib::CDib(CImage* image, int* lut) : CDib() {
    if (lut && has_pixels(image) &&
        allocate(image->ncols, image->nrows, image->color == 1 ? 24 : 8)) {
        if (pixel_bytes == 1) fill_grey_ramp(info + kInfoHeaderSize);
        // A colour image gets one byte a pixel at the start of each row, from
        // the first ncols floats of the image row.
        for (int r = 0; r < height; ++r) {
            const float* in = image->data[height - 1 - r];
            std::uint8_t* out = bits + static_cast<std::size_t>(r) * row_bytes;
            for (int x = 0; x < width; ++x)
                out[x] = static_cast<std::uint8_t>(lut[round_half_away(in[x])] & 0xFF);
        }
    }
    MakePalette();
}

CDib::CDib(int rows, int cols, int color, float** data, int rescale) : CDib() {
    if (data && rows > 0 && cols > 0 && allocate(cols, rows, color ? 24 : 8))
        convert_floats(*this, data, rescale != 0, true, 0.0f, 0.0f);
    MakePalette();
}

CDib::~CDib() { release(); }

bool CDib::allocate(int columns, int rows, int bit_count) {
    release();
    if (columns <= 0 || rows <= 0) return false;
    if (bit_count != 1 && bit_count != 2 && bit_count != 4 && bit_count != 8 &&
        bit_count != 16 && bit_count != 24 && bit_count != 32)
        return false;
    const std::uint64_t stride = row_stride(static_cast<std::uint64_t>(columns), bit_count);
    if (stride > UINT32_MAX / static_cast<std::uint64_t>(rows)) return false;
    const int colors = bit_count == 8 ? 256 : 0;
    Bytes header = new_bytes(kInfoHeaderSize + 4 * colors);
    Bytes pixels = new_bytes(stride * rows);
    if (!header || !pixels) return false;
    write_info_header(header.get(), columns, rows, bit_count, colors, 0);

    info = header.release();
    bits = pixels.release();
    image_size = static_cast<std::uint32_t>(stride * rows);
    color_count = colors;
    width = columns;
    height = rows;
    row_bytes = static_cast<std::uint32_t>(stride);
    pixel_bytes = bit_count / 8;
    return true;
}

void CDib::release() {
    delete[] info;
    delete[] bits;
    delete palette;
    info = bits = nullptr;
    palette = nullptr;
    image_size = row_bytes = 0;
    color_count = width = height = pixel_bytes = 0;
}

int CDib::Read(CFile* file) {
    release();
    Loaded loaded;
    if (const char* error = file ? read_bitmap(*file, loaded) : kShortFileHeader) {
        AfxMessageBox(error, MB_OK);
        return 0;
    }
    info = loaded.info.release();
    bits = loaded.bits.release();
    image_size = loaded.image_size;
    color_count = loaded.color_count;
    width = loaded.width;
    height = loaded.height;
    row_bytes = loaded.row_bytes;
    pixel_bytes = loaded.pixel_bytes;
    return 1;
}

int CDib::Write(CFile* file) {
    if (!file) return 0;
    const std::uint64_t table_bytes = 4ULL * static_cast<std::uint32_t>(color_count);
    const std::uint64_t header_bytes = kInfoHeaderSize + table_bytes;
    const std::uint64_t file_size = kFileHeaderSize + header_bytes + image_size;
    // Whatever goes wrong, the file is abandoned rather than left half written.
    if (!info || !bits || color_count < 0 || file_size > UINT32_MAX) {
        file->Abort();
        return 0;
    }
    std::uint8_t head[kFileHeaderSize] = {'B', 'M'};
    put32(head + 2, static_cast<std::uint32_t>(file_size));
    put32(head + 10, static_cast<std::uint32_t>(kFileHeaderSize + header_bytes));
    const bool ok = file->Write(head, sizeof head) &&
                    file->Write(info, static_cast<std::size_t>(header_bytes)) &&
                    file->Write(bits, image_size) && file->Close();
    if (!ok) file->Abort();
    return ok ? 1 : 0;
}

int CDib::MakePalette() {
    if (!info) return 0;
    delete palette;
    palette = nullptr;
    if (color_count <= 0 || color_count > 256) return 0;
    std::vector<PALETTEENTRY> entries(static_cast<std::size_t>(color_count));
    const std::uint8_t* table = info + kInfoHeaderSize;
    for (int k = 0; k < color_count; ++k)
        entries[k] = {table[4 * k + 2], table[4 * k + 1], table[4 * k], 0};
    auto made = std::make_unique<CPalette>();
    if (!made->CreatePalette(entries.data(), color_count)) return 0;
    palette = made.release();
    return 1;
}

int CDib::SetSystemPalette(CDC* dc) {
    if (!dc) return 0;
    int count = dc->GetDeviceCaps(SIZEPALETTE);
    if (count == 0) count = dc->GetDeviceCaps(NUMCOLORS);
    // A true-colour device reports no palette size and -1 colours.
    if (count <= 0 || count > kMaxPaletteEntries) return 0;
    std::vector<PALETTEENTRY> entries(static_cast<std::size_t>(count));
    dc->GetSystemPaletteEntries(0, static_cast<unsigned int>(count), entries.data());
    auto made = std::make_unique<CPalette>();
    if (!made->CreatePalette(entries.data(), count)) return 0;
    delete palette;
    palette = made.release();
    return 1;
}

int CDib::Draw(CDC* dc, int x, int y, int cx, int cy) {
    if (!info || !bits || !dc) return 0;
    if (!palette) SetSystemPalette(dc);
    CPalette* previous = nullptr;
    if (palette) {
        previous = dc->SelectPalette(palette, false);
        dc->RealizePalette();
    }
    dc->StretchDIBits(x, y, cx, cy, 0, 0, width, height, bits, info, DIB_RGB_COLORS, SRCCOPY);
    if (palette) dc->SelectPalette(previous, false);
    return 1;
}

float** CDib::MakeFloatImage(int* rows, int* cols, int* color) {
    if (rows) *rows = height;
    if (cols) *cols = width;
    const int bit_count = pixel_layout(*this);
    if (!bit_count || width > INT_MAX / 3) return nullptr;
    float** rgb = make_2D_float_array(height, 3 * width);
    if (!rgb) return nullptr;
    bool grey = true;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const Rgb c = colour_at(*this, bit_count, y, x);
            rgb[y][3 * x] = c.r;
            rgb[y][3 * x + 1] = c.g;
            rgb[y][3 * x + 2] = c.b;
            grey = grey && c.r == c.g && c.g == c.b;
        }
    if (!grey) {
        if (color) *color = 1;
        return rgb;
    }
    float** one = make_2D_float_array(height, width);
    if (one)
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) one[y][x] = rgb[y][3 * x];
    free_2D_float_array(rgb);
    if (one && color) *color = 0;
    return one;
}

int CDib::MakeKnownFloatImage(float** data, int as_color) {
    const int bit_count = pixel_layout(*this);
    if (!data || !bit_count || (as_color != 0 && as_color != 1)) return 1;
    for (int y = 0; y < height; ++y) {
        float* out = data[y];
        for (int x = 0; x < width; ++x) {
            const Rgb c = colour_at(*this, bit_count, y, x);
            if (as_color) {
                out[3 * x] = c.r;
                out[3 * x + 1] = c.g;
                out[3 * x + 2] = c.b;
            } else {
                out[x] = static_cast<float>(c.r + c.g + c.b) * kThird;
            }
        }
    }
    return 1;
}

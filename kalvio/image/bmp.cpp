// BMP files: CDib::Read and Write, and the float-image reader and writer,
// which share their checks and layout but move rows straight between the
// file and the floats.
#include "ops/dib_p.h"
#include "ops/samples_p.h"

#include <kalvio/arrays.h>
#include <kalvio/dib.h>
#include <kalvio/file.h>
#include <kalvio/formats.h>
#include <kalvio/image.h>
#include <kalvio/message.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdint>
#include <cstring>
#include <future>
#include <string>
#include <system_error>
#include <utility>

using namespace kalvio::detail;

namespace {

constexpr std::uint32_t kFileHeaderSize = 14;
constexpr std::uint16_t kSignature = 0x4D42;  // "BM"

// Compression codes of the information header besides kRgb.
constexpr std::uint32_t kRle8 = 1, kRle4 = 2, kBitFields = 3, kJpeg = 4, kPng = 5,
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

// A bitmap read from a file, in the layout CDib keeps.
struct Loaded {
    Bytes info, bits;
    std::uint32_t image_size = 0, row_bytes = 0;
    int color_count = 0, width = 0, height = 0, pixel_bytes = 0;
};

// What the headers of a BMP file say, read and checked step by step.
struct Header {
    std::int64_t base = 0;          // file position of the signature
    std::uint64_t available = 0;    // bytes from the signature to the end of the file
    std::uint32_t offset = 0;       // of the pixels, from the signature
    std::uint32_t size = 0;         // of the information header
    std::uint8_t fields[124] = {};  // the information header; after a 40-byte one, the masks
    std::int32_t width = 0;
    std::int32_t stored_height = 0;  // negative when the file holds the top row first
    std::int32_t height = 0;
    int bit_count = 0;
    std::uint32_t compression = 0;
    bool rle = false, bit_fields = false;
    std::uint64_t table_start = 0;  // of the colour table, from the signature
    std::uint32_t masks[3] = {};    // red, green, blue of 16- and 32-bit pixels
    int color_count = 0;            // colour-table entries of indexed pixels
};

// Reads the file header and the information header from the file's
// position.
const char* read_headers(CFile& file, Header& h) {
    h.base = file.GetPosition();
    std::uint8_t head[kFileHeaderSize];
    if (h.base < 0 || file.Read(head, sizeof head) != sizeof head) return kShortFileHeader;
    if (get16(head) != kSignature) return kInvalid;
    const std::int64_t length = file.GetLength();
    if (length < h.base + kFileHeaderSize) return kTruncated;
    h.available = static_cast<std::uint64_t>(length - h.base);
    h.offset = get32(head + 10);

    if (file.Read(h.fields, 4) != 4) return kTruncated;
    h.size = get32(h.fields);
    if (h.size != 40 && h.size != 108 && h.size != 124) return kUnsupported;
    if (file.Read(h.fields + 4, h.size - 4) != h.size - 4) return kTruncated;
    h.width = static_cast<std::int32_t>(get32(h.fields + 4));
    h.stored_height = static_cast<std::int32_t>(get32(h.fields + 8));
    h.bit_count = get16(h.fields + 14);
    h.compression = get32(h.fields + 16);
    h.table_start = kFileHeaderSize + h.size;
    return nullptr;
}

// Checks the compression, the bit count and the size against each other.
const char* check_pixel_format(Header& h) {
    h.rle = h.compression == kRle8 || h.compression == kRle4;
    h.bit_fields = h.compression == kBitFields || h.compression == kAlphaBitFields;
    if (h.compression == kJpeg || h.compression == kPng) return kCompressed;
    if (h.compression != kRgb && !h.rle && !h.bit_fields) return kUnsupported;
    if (!is_bit_count(h.bit_count)) return kInvalid;
    if (h.bit_fields && h.bit_count != 16 && h.bit_count != 32) return kInvalid;
    if (h.rle && h.bit_count != (h.compression == kRle8 ? 8 : 4)) return kInvalid;
    if (h.width <= 0 || h.stored_height == 0 || h.stored_height == INT32_MIN) return kInvalid;
    const bool top_down = h.stored_height < 0;
    // Compressed streams are bottom-up by definition; a negative height
    // makes no sense for them.
    if (h.rle && top_down) return kInvalid;
    h.height = top_down ? -h.stored_height : h.stored_height;
    return nullptr;
}

// The masks of 16- and 32-bit pixels, read after a 40-byte header, and the
// colour count of indexed pixels.
const char* read_colour_layout(CFile& file, Header& h) {
    std::uint32_t* masks = h.masks;
    masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F;  // 16-bit default: 5-5-5
    if (h.bit_count == 32) {
        masks[0] = 0xFF0000;
        masks[1] = 0x00FF00;
        masks[2] = 0x0000FF;
    }
    if (h.bit_fields) {
        // A 40-byte header is followed by the masks; larger headers hold them.
        if (h.size == kInfoHeaderSize) {
            const std::size_t count = h.compression == kAlphaBitFields ? 16 : 12;
            if (file.Read(h.fields + kInfoHeaderSize, count) != count) return kTruncated;
            h.table_start += count;
        }
        for (int k = 0; k < 3; ++k) masks[k] = get32(h.fields + 40 + 4 * k);
    }
    if (h.bit_count <= 8) {
        const std::uint32_t colors_used = get32(h.fields + 32);
        if (colors_used > 256) return kInvalid;
        h.color_count = colors_used ? static_cast<int>(colors_used) : 1 << h.bit_count;
    }
    return nullptr;
}

// Where the pixels lie and the bytes they take, in the file and in memory.
struct Extent {
    std::uint64_t stream_bytes = 0;  // from the pixels to the end of the file
    std::uint64_t in_stride = 0;     // of an uncompressed row of the file
    int out_bits = 0;                // 8 or 24, as kept
    std::uint64_t out_stride = 0;    // of a kept row
    std::uint32_t image_size = 0;    // of all kept rows
};

// Bytes of file rows read at a time: enough that the calls cost nothing
// beside the copying, few enough that the block stays in a core's cache
// while its rows are converted.
constexpr std::uint64_t kRowBlockBytes = std::uint64_t{256} << 10;

// Reads the uncompressed rows from the file's position, a block of rows at a
// time, and hands each to take(stored, row) in the kept layout (width bytes
// of indices or 3 * width of blue, green, red; the bytes after them are not
// to be used): `stored` counts from the bottom row, as CDib keeps them. 8-
// and 24-bit rows are handed on where they were read. Stops early when
// take returns false. Null on success, else the message to show.
template <class Take>
const char* read_stored_rows(CFile& file, const Header& h, const Extent& e, Take&& take) {
    const bool as_kept = h.bit_count == 8 || h.bit_count == 24;
    const std::uint64_t block_rows =
        std::min<std::uint64_t>(std::max<std::uint64_t>(1, kRowBlockBytes / e.in_stride), h.height);
    Bytes block = new_pixel_bytes(block_rows * e.in_stride);
    Bytes kept = as_kept ? nullptr : new_pixel_bytes(e.out_stride);
    if (!block || (!as_kept && !kept)) return kTooLarge;
    const Field fields[3] = {Field(h.masks[0]), Field(h.masks[1]), Field(h.masks[2])};
    const bool top_down = h.stored_height < 0;
    for (std::int32_t i = 0; i < h.height;) {
        const auto rows = static_cast<std::int32_t>(std::min<std::uint64_t>(block_rows, h.height - i));
        const std::uint64_t bytes = rows * e.in_stride;
        if (file.Read(block.get(), bytes) != bytes) return kTruncated;
        for (std::int32_t k = 0; k < rows; ++k, ++i) {
            const std::uint8_t* row = block.get() + k * e.in_stride;
            if (!as_kept) {
                convert_row(row, kept.get(), h.width, h.bit_count, fields);
                row = kept.get();
            }
            if (!take(top_down ? h.height - 1 - i : i, row)) return nullptr;
        }
    }
    return nullptr;
}

// Checks that the colour table lies before the pixels and the pixels inside
// the file, and that the kept rows fit 32 bits of bytes. Every size is
// checked against the bytes the file holds before anything is allocated
// from it.
const char* check_extent(const Header& h, Extent& e) {
    if (h.offset < h.table_start + 4ULL * h.color_count) return kInvalid;
    if (h.offset > h.available) return kTruncated;
    e.stream_bytes = h.available - h.offset;
    e.in_stride = row_stride(static_cast<std::uint64_t>(h.width), h.bit_count);
    if (h.rle) {
        const std::uint64_t pixels =
            static_cast<std::uint64_t>(h.width) * static_cast<std::uint64_t>(h.height);
        if ((pixels + kMaxRlePixelsPerByte - 1) / kMaxRlePixelsPerByte > e.stream_bytes)
            return kTruncated;
    } else if (e.in_stride > e.stream_bytes / static_cast<std::uint64_t>(h.height)) {
        return kTruncated;
    }

    e.out_bits = h.bit_count <= 8 ? 8 : 24;
    e.out_stride = row_stride(static_cast<std::uint64_t>(h.width), e.out_bits);
    if (e.out_stride > UINT32_MAX / static_cast<std::uint64_t>(h.height)) return kTooLarge;
    e.image_size = static_cast<std::uint32_t>(e.out_stride * h.height);
    return nullptr;
}

// Reads the colour table into `table` (4 bytes an entry) and moves to the
// pixels.
const char* read_table(CFile& file, const Header& h, std::uint8_t* table) {
    const std::size_t table_bytes = 4 * static_cast<std::size_t>(h.color_count);
    if (file.Read(table, table_bytes) != table_bytes) return kTruncated;
    const std::int64_t pixels_at = h.base + static_cast<std::int64_t>(h.offset);
    if (file.Seek(pixels_at, CFile::begin) != pixels_at) return kTruncated;
    return nullptr;
}

// Pixel bytes of a kept row; the rest of its stride is padding.
std::uint64_t used_bytes(const Header& h, const Extent& e) {
    return static_cast<std::uint64_t>(h.width) * static_cast<std::uint64_t>(e.out_bits / 8);
}

// Reads the colour table and the pixels into new blocks, under a fresh
// 40-byte header that keeps the file's resolution.
const char* read_pixels(CFile& file, const Header& h, const Extent& e, Loaded& out) {
    Bytes info = new_bytes(kInfoHeaderSize + 4ULL * h.color_count);
    // Compressed streams may skip pixels, which keep index 0; plain rows
    // are written whole, padding included.
    Bytes bits = h.rle ? new_bytes(e.image_size) : new_pixel_bytes(e.image_size);
    if (!info || !bits) return kTooLarge;
    write_info_header(info.get(), h.width, h.height, e.out_bits, h.color_count, e.image_size);
    std::memcpy(info.get() + 24, h.fields + 24, 8);
    const char* error = read_table(file, h, info.get() + kInfoHeaderSize);
    if (!error && h.rle) {
        error = decode_rle(file, e.stream_bytes, h.bit_count, h.width, h.height, e.out_stride, bits.get());
    } else if (!error) {
        const std::uint64_t used = used_bytes(h, e);
        error = read_stored_rows(file, h, e, [&](std::int32_t stored, const std::uint8_t* row) {
            std::uint8_t* to = bits.get() + stored * e.out_stride;
            std::memcpy(to, row, used);
            std::memset(to + used, 0, e.out_stride - used);
            return true;
        });
    }
    if (error) return error;

    out.info = std::move(info);
    out.bits = std::move(bits);
    out.image_size = e.image_size;
    out.row_bytes = static_cast<std::uint32_t>(e.out_stride);
    out.color_count = h.color_count;
    out.width = h.width;
    out.height = h.height;
    out.pixel_bytes = e.out_bits / 8;
    return nullptr;
}

// Reads and checks the headers of a BMP file from the file's position, up
// to its colour table; null on success, else the message to show.
const char* read_layout(CFile& file, Header& header, Extent& extent) {
    const char* error = read_headers(file, header);
    if (!error) error = check_pixel_format(header);
    if (!error) error = read_colour_layout(file, header);
    if (!error) error = check_extent(header, extent);
    return error;
}

// Reads a BMP file from the file's position; null on success, else the
// message to show.
const char* read_bitmap(CFile& file, Loaded& out) {
    Header header;
    Extent extent;
    const char* error = read_layout(file, header, extent);
    if (!error) error = read_pixels(file, header, extent, out);
    return error;
}

// Rows of floats: a row table into one block (make_2D_float_array).
struct FloatRows {
    using Sample = float;
    float** data = nullptr;
    bool make(int height, int per_row) { return (data = make_2D_float_array(height, per_row)) != nullptr; }
    float* row(int y) const { return data[y]; }
    void release() {
        free_2D_float_array(data);
        data = nullptr;
    }
};

// Rows of bytes in one block, in small pages: a picture's block is written
// once, row by row, and pages the system need not gather into large ones
// come at a steady cost on every machine.
struct ByteRows {
    using Sample = std::uint8_t;
    std::uint8_t* data = nullptr;
    std::size_t per_row = 0, bytes = 0;
    bool make(int height, int row_samples) {
        per_row = static_cast<std::size_t>(row_samples);
        bytes = per_row * static_cast<std::size_t>(height);
        data = static_cast<std::uint8_t*>(kalvio::allocate_sparse_pages(bytes));
        if (!data) AfxMessageBox(kTooLarge, MB_OK);
        return data != nullptr;
    }
    std::uint8_t* row(int y) const { return data + per_row * static_cast<std::size_t>(y); }
    void release() {
        kalvio::release_pages(data, bytes);
        data = nullptr;
    }
};

// The picture of a bitmap whose rows arrive one by one in the file's
// order, as floats or bytes (`Rows`). Whether it is grey or colour shows
// only from the pixels, so the rows go to a grey array while every row so
// far is grey; the first row that is not moves the rows written to a
// colour array. Each sample is thus written once in the common cases: a
// colour picture whose first row has colour, and a grey one.
template <class Rows>
class SamplePicture {
public:
    SamplePicture(const KeptRows& kept, int height, int width)
        : m_kept(kept), m_height(height), m_width(width) {}
    ~SamplePicture() { m_rows.release(); }
    SamplePicture(const SamplePicture&) = delete;
    SamplePicture& operator=(const SamplePicture&) = delete;

    // Converts the kept row of picture row y; false (after the allocator's
    // message) when memory is lacking.
    bool put(int y, const std::uint8_t* row) {
        bool grey = m_kept.always_grey();
        if (!grey && (!m_rows.data || m_grey)) grey = m_kept.is_grey(row);
        if (!m_rows.data) {
            m_grey = grey;
            if (!m_rows.make(m_height, m_grey ? m_width : 3 * m_width)) return false;
        } else if (m_grey && !grey && !widen()) {
            return false;
        }
        if (m_grey)
            m_kept.to_grey(row, m_rows.row(y));
        else
            m_kept.to_colour(row, m_rows.row(y));
        m_first = std::min(m_first, y);
        m_last = std::max(m_last, y);
        return true;
    }

    // The rows, now the caller's, and the colour flag.
    Rows release(int* color) {
        if (color) *color = m_grey ? 0 : 1;
        return std::exchange(m_rows, Rows{});
    }

private:
    // Moves the rows written so far, all grey, to a new colour array.
    bool widen() {
        Rows colour;
        if (!colour.make(m_height, 3 * m_width)) return false;
        for (int y = m_first; y <= m_last; ++y) {
            const typename Rows::Sample* in = m_rows.row(y);
            typename Rows::Sample* out = colour.row(y);
            for (int x = 0; x < m_width; ++x) out[3 * x] = out[3 * x + 1] = out[3 * x + 2] = in[x];
        }
        m_rows.release();
        m_rows = colour;
        m_grey = false;
        return true;
    }

    const KeptRows& m_kept;
    int m_height, m_width;
    Rows m_rows;
    bool m_grey = true;
    int m_first = INT_MAX, m_last = -1;  // picture rows written so far
};

// Reads the pixels of a bitmap whose headers `h` and `e` describe into
// `picture`, from the file's position at the pixels. Null on success or
// when `picture` stopped for lack of memory (`*stopped` then set), else the
// message to show.
template <class Rows>
const char* read_sample_pixels(CFile& file, const Header& h, const Extent& e, SamplePicture<Rows>& picture,
                               bool* stopped) {
    *stopped = false;
    if (h.rle) {
        // Deltas move anywhere in the picture, so the stream is decoded whole
        // before its rows are converted.
        Bytes bits = new_bytes(e.image_size);
        if (!bits) return kTooLarge;
        if (const char* error = decode_rle(file, e.stream_bytes, h.bit_count, h.width, h.height,
                                           e.out_stride, bits.get()))
            return error;
        for (std::int32_t stored = 0; stored < h.height && !*stopped; ++stored)
            *stopped = !picture.put(h.height - 1 - stored, bits.get() + stored * e.out_stride);
        return nullptr;
    }
    return read_stored_rows(file, h, e, [&](std::int32_t stored, const std::uint8_t* row) {
        *stopped = !picture.put(h.height - 1 - stored, row);
        return !*stopped;
    });
}

}  // namespace

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

// The file's rows go straight into the float picture, a block at a time,
// without the whole bitmap in between; what is accepted and refused, and
// the messages, are those of CDib::Read and MakeFloatImage.
namespace {

// The samples of the BMP file at `path` as `Rows`, for read_bmp_image and
// read_bmp_bytes (`reader` names it in messages); false after a message.
template <class Rows>
bool read_bmp_samples(const char* path, const char* reader, Rows* rows, int* nrows, int* ncols, int* color) {
    CFile file;
    if (!path || !file.Open(path, CFile::modeRead)) {
        AfxMessageBox(std::string(reader) + ": Can't open file");
        return false;
    }
    Header header;
    Extent extent;
    std::uint8_t table[4 * 256];
    const char* error = read_layout(file, header, extent);
    if (!error) error = read_table(file, header, table);
    if (error) {
        AfxMessageBox(error, MB_OK);
        return false;
    }
    if (header.width > INT_MAX / 3) {
        AfxMessageBox(std::string(reader) + ": Unsupported bitmap");
        return false;
    }
    const KeptRows kept(extent.out_bits, header.width, table, header.color_count);
    SamplePicture<Rows> picture(kept, header.height, header.width);
    bool stopped = false;
    error = read_sample_pixels(file, header, extent, picture, &stopped);
    if (error) {
        AfxMessageBox(error, MB_OK);
        return false;
    }
    if (stopped) {
        AfxMessageBox(std::string(reader) + ": Unsupported bitmap");
        return false;
    }
    if (nrows) *nrows = header.height;
    if (ncols) *ncols = header.width;
    *rows = picture.release(color);
    return true;
}

}  // namespace

float** read_bmp_image(const char* path, int* nrows, int* ncols, int* color) {
    FloatRows rows;
    return read_bmp_samples(path, "read_bmp_image", &rows, nrows, ncols, color) ? rows.data : nullptr;
}

namespace kalvio {

PictureBytes::PictureBytes(PictureBytes&& other) noexcept
    : m_data(std::exchange(other.m_data, nullptr)), m_size(std::exchange(other.m_size, 0)),
      m_rows(std::exchange(other.m_rows, 0)), m_cols(std::exchange(other.m_cols, 0)),
      m_color(std::exchange(other.m_color, 0)) {}

PictureBytes& PictureBytes::operator=(PictureBytes&& other) noexcept {
    if (this != &other) {
        kalvio::release_pages(m_data, m_size);
        m_data = std::exchange(other.m_data, nullptr);
        m_size = std::exchange(other.m_size, 0);
        m_rows = std::exchange(other.m_rows, 0);
        m_cols = std::exchange(other.m_cols, 0);
        m_color = std::exchange(other.m_color, 0);
    }
    return *this;
}

PictureBytes::~PictureBytes() { kalvio::release_pages(m_data, m_size); }

int read_bmp_bytes(const char* path, PictureBytes* picture) {
    ByteRows rows;
    int nrows = 0, ncols = 0, color = 0;
    if (!picture || !read_bmp_samples(path, "read_bmp_bytes", &rows, &nrows, &ncols, &color)) return 0;
    PictureBytes read;
    read.m_data = rows.data;
    read.m_size = rows.bytes;
    read.m_rows = nrows;
    read.m_cols = ncols;
    read.m_color = color;
    *picture = std::move(read);
    return 1;
}

}  // namespace kalvio

int read_bmp_rows(CFile* file, const std::function<bool(int, int)>& size,
                  const std::function<void(int, const std::uint8_t*)>& row) {
    Header header;
    Extent extent;
    std::uint8_t table[4 * 256] = {};
    const char* error = file ? read_layout(*file, header, extent) : kShortFileHeader;
    if (!error) error = read_table(*file, header, table);
    if (error) {
        AfxMessageBox(error, MB_OK);
        return 0;
    }
    if (!size(header.width, header.height)) return 0;
    const std::size_t width = static_cast<std::size_t>(header.width);
    // Indexed rows are looked up into one row of blue, green, red.
    Bytes expanded = extent.out_bits == 8 ? new_pixel_bytes(3 * width) : nullptr;
    if (extent.out_bits == 8 && !expanded) {
        AfxMessageBox(kTooLarge, MB_OK);
        return 0;
    }
    auto hand_over = [&](int y, const std::uint8_t* kept) {
        if (!expanded) {
            row(y, kept);
            return;
        }
        std::uint8_t* out = expanded.get();
        for (std::size_t x = 0; x < width; ++x, out += 3) {
            const int k = kept[x];
            if (k < header.color_count) {
                std::memcpy(out, table + 4 * k, 3);
            } else {
                out[0] = out[1] = out[2] = 0;
            }
        }
        row(y, expanded.get());
    };
    if (header.rle) {
        // Deltas move anywhere in the picture, so the stream is decoded whole
        // before its rows are handed over.
        Bytes bits = new_bytes(extent.image_size);
        if (!bits) error = kTooLarge;
        if (!error)
            error = decode_rle(*file, extent.stream_bytes, header.bit_count, header.width, header.height,
                               extent.out_stride, bits.get());
        for (std::int32_t stored = 0; !error && stored < header.height; ++stored)
            hand_over(header.height - 1 - stored, bits.get() + stored * extent.out_stride);
    } else {
        error = read_stored_rows(*file, header, extent, [&](std::int32_t stored, const std::uint8_t* kept) {
            hand_over(header.height - 1 - stored, kept);
            return true;
        });
    }
    if (error) {
        AfxMessageBox(error, MB_OK);
        return 0;
    }
    return 1;
}

namespace {

// Writes the rows of the picture bottom up, a block at a time, as
// CDib(image, 0, 0, 0) would hold them: 24-bit blue, green, red or 8-bit
// grey, each sample truncated to its low 8 bits, padding zero. False when a
// write fails.
bool write_rows(CFile& file, float** data, int nrows, int ncols, int bit_count, std::uint64_t stride,
                std::uint8_t* block, std::uint64_t block_rows) {
    const std::size_t pixels = static_cast<std::size_t>(ncols);
    const std::uint64_t used = static_cast<std::uint64_t>(ncols) * static_cast<std::uint64_t>(bit_count / 8);
    for (int r = 0; r < nrows;) {
        const auto rows = static_cast<int>(std::min<std::uint64_t>(block_rows, nrows - r));
        for (int k = 0; k < rows; ++k, ++r) {
            std::uint8_t* out = block + k * stride;
            const float* in = data[nrows - 1 - r];
            if (bit_count == 24)
                rgb_floats_to_bgr(in, out, pixels);
            else
                floats_to_bytes(in, out, pixels);
            std::memset(out + used, 0, stride - used);
        }
        if (!file.Write(block, static_cast<std::size_t>(rows * stride))) return false;
    }
    return true;
}

}  // namespace

// The bitmap is written straight from the floats, a block of rows at a
// time, byte for byte the file CDib(image, 0, 0, 0) and CDib::Write give.
int write_bmp_image(float** data, const char* path, int nrows, int ncols, int color) {
    if (!data || nrows <= 0 || ncols <= 0 || (color != 0 && color != 1)) {
        AfxMessageBox("write_bmp_image: No image to write");
        return 0;
    }
    const int bit_count = color == 1 ? 24 : 8;
    const std::uint64_t stride = row_stride(static_cast<std::uint64_t>(ncols), bit_count);
    const std::uint64_t block_rows =
        std::min<std::uint64_t>(std::max<std::uint64_t>(1, kRowBlockBytes / stride), nrows);
    Bytes block = stride <= UINT32_MAX / static_cast<std::uint64_t>(nrows)
                      ? new_pixel_bytes(block_rows * stride)
                      : nullptr;
    if (!block) {
        AfxMessageBox("write_bmp_image: No image to write");
        return 0;
    }
    CFile file;
    if (!file.Open(path, CFile::modeCreate | CFile::modeWrite)) {
        AfxMessageBox("write_bmp_image: Can't create file");
        return 0;
    }
    const int colors = bit_count == 8 ? 256 : 0;
    const std::uint64_t header_bytes = kInfoHeaderSize + 4ULL * colors;
    const std::uint64_t file_size = kFileHeaderSize + header_bytes + stride * nrows;
    std::uint8_t head[kFileHeaderSize + kInfoHeaderSize + 4 * 256] = {'B', 'M'};
    put32(head + 2, static_cast<std::uint32_t>(file_size));
    put32(head + 10, static_cast<std::uint32_t>(kFileHeaderSize + header_bytes));
    write_info_header(head + kFileHeaderSize, ncols, nrows, bit_count, colors, 0);
    if (colors) fill_grey_ramp(head + kFileHeaderSize + kInfoHeaderSize);
    // Whatever goes wrong, the file is abandoned rather than left half written.
    const bool ok = file_size <= UINT32_MAX &&
                    file.Write(head, static_cast<std::size_t>(kFileHeaderSize + header_bytes)) &&
                    write_rows(file, data, nrows, ncols, bit_count, stride, block.get(), block_rows) &&
                    file.Close();
    if (!ok) {
        file.Abort();
        AfxMessageBox("write_bmp_image: Can't write file");
        return 0;
    }
    return 1;
}

int write_bmp_rows(const char* path, int width, int height, const std::function<void(int, std::uint8_t*)>& row) {
    if (width <= 0 || height <= 0) {
        AfxMessageBox("write_bmp_image: No image to write");
        return 0;
    }
    const std::uint64_t stride = row_stride(static_cast<std::uint64_t>(width), 24);
    const std::uint64_t image_size = stride * static_cast<std::uint64_t>(height);
    const std::uint64_t file_size = kFileHeaderSize + kInfoHeaderSize + image_size;
    if (file_size > UINT32_MAX) {
        AfxMessageBox("write_bmp_image: No image to write");
        return 0;
    }
    // About a megabyte of rows at a time, in two blocks: while one is on its
    // way to the file on a thread, the rows of the other are made.
    const std::uint64_t rows_per_block = std::max<std::uint64_t>(1, (1u << 20) / stride);
    const std::uint64_t block_rows = std::min<std::uint64_t>(rows_per_block, static_cast<std::uint64_t>(height));
    Bytes blocks[2] = {new_bytes(stride * block_rows), new_bytes(stride * block_rows)};
    if (!blocks[0] || !blocks[1]) {
        AfxMessageBox("write_bmp_image: No image to write");
        return 0;
    }
    std::uint8_t head[kFileHeaderSize + kInfoHeaderSize] = {'B', 'M'};
    put32(head + 2, static_cast<std::uint32_t>(file_size));
    put32(head + 10, kFileHeaderSize + kInfoHeaderSize);
    write_info_header(head + kFileHeaderSize, width, height, 24, 0, 0);
    CFile file;
    if (!file.Open(path, CFile::modeCreate | CFile::modeWrite)) {
        AfxMessageBox("write_bmp_image: Can't create file");
        return 0;
    }
    bool ok = file.Write(head, sizeof head);
    std::future<bool> writing;  // the write of the other block, when one is on its way
    auto written = [&] { return !writing.valid() || writing.get(); };
    for (int first = height - 1, b = 0; ok && first >= 0; b ^= 1) {
        std::uint8_t* const begin = blocks[b].get();
        std::uint8_t* out = begin;
        int y = first;
        for (; y >= 0 && y > first - static_cast<int>(block_rows); --y, out += stride) row(y, out);
        first = y;
        ok = written();
        const std::size_t bytes = static_cast<std::size_t>(out - begin);
        try {
            if (ok) writing = std::async(std::launch::async, [&file, begin, bytes] { return file.Write(begin, bytes); });
        } catch (const std::system_error&) {
            // No thread to be had: this block is written here.
            ok = file.Write(begin, bytes);
        }
    }
    ok = written() && ok;
    ok = ok && file.Close();
    if (!ok) {
        file.Abort();
        AfxMessageBox("write_bmp_image: Can't write file");
        return 0;
    }
    return 1;
}

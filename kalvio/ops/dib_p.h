// The layout CDib keeps in memory, shared by the bitmap operations
// (ops/dib.cpp) and the BMP file reader and writer (image/bmp.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

namespace kalvio::detail {

/// Bytes of the information header: the only header CDib keeps in `info`,
/// followed there by the colour table, four bytes an entry.
constexpr std::uint32_t kInfoHeaderSize = 40;

/// The compression code of plain rows, the only one CDib keeps.
constexpr std::uint32_t kRgb = 0;

/// A block of bytes; CDib takes ownership with release().
using Bytes = std::unique_ptr<std::uint8_t[]>;

/// Zero-filled bytes, or null when memory is short: sizes here can come from
/// files, so a failed allocation is an answer, not an exception.
inline Bytes new_bytes(std::uint64_t count) {
    if (count > SIZE_MAX) return nullptr;
    return Bytes(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(count)]());
}

/// Fills a colour table of 256 entries with the grey ramp: entry k is
/// (k, k, k).
inline void fill_grey_ramp(std::uint8_t* table) {
    for (int k = 0; k < 256; ++k) {
        const auto v = static_cast<std::uint8_t>(k);
        table[4 * k] = table[4 * k + 1] = table[4 * k + 2] = v;
        table[4 * k + 3] = 0;
    }
}

/// Bytes left as they come, or null when memory is short: for pixel blocks
/// the caller writes whole, which a zero fill would only touch twice. A
/// large block is asked for huge pages.
Bytes new_pixel_bytes(std::uint64_t count);

/// Float rows made from the rows CDib keeps: 8-bit indices into a colour
/// table, where an index beyond the table reads as black, or 24-bit blue,
/// green, red. `width` pixels a row.
class KeptRows {
public:
    KeptRows(int bit_count, int width, const std::uint8_t* colour_table, int color_count);
    /// True when every row is grey whatever it holds: 8-bit, every index grey.
    bool always_grey() const { return m_always_grey; }
    /// True when every pixel of the row has equal red, green and blue.
    bool is_grey(const std::uint8_t* row) const;
    /// The row as red, green, blue floats, three a pixel.
    void to_colour(const std::uint8_t* row, float* out) const;
    /// A grey row as one float a pixel.
    void to_grey(const std::uint8_t* row, float* out) const;
    /// The same as bytes, which hold every value exactly.
    void to_colour(const std::uint8_t* row, std::uint8_t* out) const;
    void to_grey(const std::uint8_t* row, std::uint8_t* out) const;

private:
    int m_bit_count, m_width;
    bool m_always_grey = true;
    bool m_identity = false;  // 8-bit, index k is the grey k for every k: rows are their own grey bytes
    float m_colours[3 * 256] = {};  // of each index, red, green, blue
    std::uint8_t m_bytes[3 * 256] = {};  // the same as bytes
    bool m_grey[256] = {};
};

/// Little-endian fields, as the headers hold them.
inline std::uint16_t get16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

inline std::uint32_t get32(const std::uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline void put16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

inline void put32(std::uint8_t* p, std::uint32_t v) {
    put16(p, v);
    put16(p + 2, v >> 16);
}

/// True for the bit counts a bitmap may have: 1, 2, 4, 8, 16, 24 or 32.
inline bool is_bit_count(int bit_count) {
    return bit_count == 1 || bit_count == 2 || bit_count == 4 || bit_count == 8 ||
           bit_count == 16 || bit_count == 24 || bit_count == 32;
}

/// Bytes of a stored row: whole 32-bit words.
inline std::uint64_t row_stride(std::uint64_t width, int bit_count) {
    return (width * bit_count + 31) / 32 * 4;
}

/// Writes a 40-byte information header for plain rows, one plane, and
/// `color_count` entries used and important; the resolution is left 0.
inline void write_info_header(std::uint8_t* info, int width, int height, int bit_count,
                              int color_count, std::uint32_t image_size) {
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

}  // namespace kalvio::detail

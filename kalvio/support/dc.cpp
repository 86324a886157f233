// Palettes, the device-context interface and the in-memory RGB device.
#include <kalvio/dc.h>

#include <algorithm>

namespace {

// More entries than any system palette has; also what CreatePalette accepts.
constexpr int kMaxPaletteEntries = 65536;

std::uint32_t le32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint16_t le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

}  // namespace

bool CPalette::CreatePalette(const PALETTEENTRY* entries, int count) {
    m_entries.clear();
    if (count < 0 || count > kMaxPaletteEntries || (count > 0 && !entries)) return false;
    m_entries.assign(entries, entries + count);
    return true;
}

CDC::~CDC() = default;

CMemoryDC::CMemoryDC(int width, int height, int palette_size, int num_colors)
    : m_nWidth(std::max(width, 0)),
      m_nHeight(std::max(height, 0)),
      m_nPaletteSize(palette_size),
      m_nNumColors(num_colors),
      m_rgb(static_cast<std::size_t>(m_nWidth) * m_nHeight * 3, 255) {
    // A device with a fixed colour set but no settable palette still reports
    // its colours through the system palette.
    const int entries = std::min(palette_size > 0 ? palette_size : num_colors, kMaxPaletteEntries);
    for (int k = 0; k < entries; ++k) {
        const auto grey =
            static_cast<std::uint8_t>(entries > 1 ? k * 255LL / (entries - 1) : 0);
        m_system.push_back({grey, grey, grey, 0});
    }
}

int CMemoryDC::GetDeviceCaps(int index) const {
    if (index == SIZEPALETTE) return m_nPaletteSize;
    if (index == NUMCOLORS) return m_nNumColors;
    return 0;
}

unsigned int CMemoryDC::GetSystemPaletteEntries(unsigned int start, unsigned int count,
                                                PALETTEENTRY* entries) const {
    if (!entries || start >= m_system.size()) return 0;
    const auto copied =
        static_cast<unsigned int>(std::min<std::size_t>(count, m_system.size() - start));
    std::copy_n(m_system.begin() + start, copied, entries);
    return copied;
}

CPalette* CMemoryDC::SelectPalette(CPalette* palette, bool) {
    CPalette* previous = m_pPalette;
    m_pPalette = palette;
    return previous;
}

unsigned int CMemoryDC::RealizePalette() {
    ++m_nRealized;
    return m_pPalette ? static_cast<unsigned int>(m_pPalette->entries().size()) : 0;
}

int CMemoryDC::StretchDIBits(int x, int y, int width, int height, int src_x, int src_y,
                             int src_width, int src_height, const void* bits, const void* info,
                             unsigned int usage, unsigned int rop) {
    if (!bits || !info || usage != DIB_RGB_COLORS || rop != SRCCOPY) return 0;
    if (width <= 0 || height <= 0 || src_width <= 0 || src_height <= 0) return 0;

    const auto* header = static_cast<const std::uint8_t*>(info);
    const std::uint32_t header_size = le32(header);
    const auto dib_width = static_cast<std::int32_t>(le32(header + 4));
    const auto dib_height = static_cast<std::int32_t>(le32(header + 8));
    const int bit_count = le16(header + 14);
    if (header_size < 40 || le32(header + 16) != 0 || (bit_count != 8 && bit_count != 24))
        return 0;
    if (dib_width <= 0 || dib_height == 0 || dib_height == INT32_MIN) return 0;

    const bool top_down = dib_height < 0;
    const std::int64_t rows = top_down ? -static_cast<std::int64_t>(dib_height) : dib_height;
    const std::int64_t stride = (static_cast<std::int64_t>(dib_width) * bit_count + 31) / 32 * 4;
    const std::uint8_t* table = header + header_size;
    std::int64_t colors = bit_count == 8 ? le32(header + 32) : 0;
    if (bit_count == 8 && (colors == 0 || colors > 256)) colors = 256;

    const auto* pixels = static_cast<const std::uint8_t*>(bits);
    // Only the part of the rectangle inside the buffer is visited, so a huge
    // rectangle costs no more than the buffer.
    const std::int64_t left = x, top = y;
    const std::int64_t i_begin = std::max<std::int64_t>(0, -left);
    const std::int64_t i_end = std::min<std::int64_t>(width, m_nWidth - left);
    const std::int64_t j_begin = std::max<std::int64_t>(0, -top);
    const std::int64_t j_end = std::min<std::int64_t>(height, m_nHeight - top);
    for (std::int64_t j = j_begin; j < j_end; ++j) {
        // Source rows counted from the bottom: the top of the source
        // rectangle is row src_y + src_height - 1.
        const std::int64_t from_bottom =
            static_cast<std::int64_t>(src_y) + src_height - 1 - j * src_height / height;
        if (from_bottom < 0 || from_bottom >= rows) continue;
        const std::int64_t stored = top_down ? rows - 1 - from_bottom : from_bottom;
        const std::uint8_t* row = pixels + stored * stride;
        std::uint8_t* out = m_rgb.data() + ((top + j) * m_nWidth + left + i_begin) * 3;
        for (std::int64_t i = i_begin; i < i_end; ++i, out += 3) {
            const std::int64_t column = static_cast<std::int64_t>(src_x) + i * src_width / width;
            if (column < 0 || column >= dib_width) continue;
            if (bit_count == 24) {
                const std::uint8_t* bgr = row + column * 3;
                out[0] = bgr[2];
                out[1] = bgr[1];
                out[2] = bgr[0];
            } else if (const std::uint8_t index = row[column]; index < colors) {
                const std::uint8_t* bgrx = table + index * 4;
                out[0] = bgrx[2];
                out[1] = bgrx[1];
                out[2] = bgrx[0];
            } else {
                out[0] = out[1] = out[2] = 0;  // no such colour: black
            }
        }
    }
    return src_height;
}

const std::uint8_t* CMemoryDC::pixel(int x, int y) const {
    return m_rgb.data() + (static_cast<std::size_t>(y) * m_nWidth + x) * 3;
}

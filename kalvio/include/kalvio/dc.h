// Drawing targets for bitmaps: the device-context interface and an in-memory
// device that rasterises into an RGB buffer.
#pragma once

#include <kalvio/export.h>

#include <cstdint>
#include <vector>

/// Device capability indices of CDC::GetDeviceCaps.
enum : int { NUMCOLORS = 24, SIZEPALETTE = 104 };
/// Colour interpretation of StretchDIBits: the colour table holds RGB values.
enum : unsigned int { DIB_RGB_COLORS = 0 };
/// Raster operation of StretchDIBits: copy the source.
enum : unsigned int { SRCCOPY = 0x00CC0020 };

/// One palette colour.
struct PALETTEENTRY {
    std::uint8_t peRed;
    std::uint8_t peGreen;
    std::uint8_t peBlue;
    std::uint8_t peFlags;
};

/// A logical palette: its entries in order.
class KALVIO_API CPalette {
public:
    /// Makes the palette from `count` entries; false (and empty) for a
    /// negative count or above 65536, or null entries with a positive count.
    bool CreatePalette(const PALETTEENTRY* entries, int count);
    const std::vector<PALETTEENTRY>& entries() const { return m_entries; }

private:
    std::vector<PALETTEENTRY> m_entries;
};

/// A drawing target. Bitmaps draw through it and never touch a window
/// system; the application supplies an adapter to its own toolkit.
class KALVIO_API CDC {
public:
    virtual ~CDC();
    /// SIZEPALETTE: entries of the system palette (0 on a device without
    /// one); NUMCOLORS: colours of the device (-1 when it has no palette).
    virtual int GetDeviceCaps(int index) const = 0;
    /// Copies up to `count` system palette entries from `start` into
    /// `entries`; returns how many were copied.
    virtual unsigned int GetSystemPaletteEntries(unsigned int start, unsigned int count,
                                                 PALETTEENTRY* entries) const = 0;
    /// Selects `palette` (may be null) and returns the one selected before.
    virtual CPalette* SelectPalette(CPalette* palette, bool force_background) = 0;
    /// Maps the selected palette onto the device; returns the entries mapped.
    virtual unsigned int RealizePalette() = 0;
    /// Draws the source rectangle (src_x, src_y, src_width, src_height) of a
    /// device-independent bitmap (`info`: a 40-byte information header and
    /// its colour table; `bits`: bottom-up rows padded to 4 bytes; source y
    /// counts from the bottom row) stretched into (x, y, width, height).
    /// Returns the number of source rows, 0 on failure.
    virtual int StretchDIBits(int x, int y, int width, int height, int src_x, int src_y,
                              int src_width, int src_height, const void* bits,
                              const void* info, unsigned int usage, unsigned int rop) = 0;
};

/// A device that draws into a width x height RGB buffer (3 bytes a pixel,
/// rows from the top) with nearest-neighbour stretching, clipping to the
/// buffer. It draws 8-bit bitmaps through their colour table (colours-used
/// entries, 256 when 0; an index beyond it draws black) and 24-bit bitmaps
/// directly; other bit counts, compression, mirroring (negative sizes) and
/// usages other than DIB_RGB_COLORS with SRCCOPY draw nothing and return 0.
/// The palettes only count as selected: colours are never mapped through
/// them. Its palette size and colour count are settable, so tests can stand
/// in for palette and true-colour devices alike.
class KALVIO_API CMemoryDC : public CDC {
public:
    /// A white buffer. palette_size 0 and num_colors -1 model a device
    /// without a palette; a positive palette_size (else a positive
    /// num_colors) gives a grey system palette of that many entries, at most
    /// 65536.
    CMemoryDC(int width, int height, int palette_size = 0, int num_colors = -1);

    int GetDeviceCaps(int index) const override;
    unsigned int GetSystemPaletteEntries(unsigned int start, unsigned int count,
                                         PALETTEENTRY* entries) const override;
    CPalette* SelectPalette(CPalette* palette, bool force_background) override;
    unsigned int RealizePalette() override;
    int StretchDIBits(int x, int y, int width, int height, int src_x, int src_y, int src_width,
                      int src_height, const void* bits, const void* info, unsigned int usage,
                      unsigned int rop) override;

    int width() const { return m_nWidth; }
    int height() const { return m_nHeight; }
    /// Red, green, blue of the pixel at (x, y); (x, y) must lie in the buffer.
    const std::uint8_t* pixel(int x, int y) const;
    const std::vector<std::uint8_t>& rgb() const { return m_rgb; }
    CPalette* selected_palette() const { return m_pPalette; }
    /// Number of RealizePalette calls so far.
    int realize_count() const { return m_nRealized; }

private:
    int m_nWidth;
    int m_nHeight;
    int m_nPaletteSize;
    int m_nNumColors;
    std::vector<std::uint8_t> m_rgb;
    std::vector<PALETTEENTRY> m_system;
    CPalette* m_pPalette = nullptr;
    int m_nRealized = 0;
};

// Device-independent bitmaps: the bridge between float images, the screen
// and BMP files.
#pragma once

#include <kalvio/dc.h>
#include <kalvio/export.h>
#include <kalvio/object.h>

#include <cstdint>

class CFile;
class CImage;

/// A bitmap in the layout of the BMP format: a 40-byte information header
/// and colour table (`info`), bottom-up pixel rows padded to 4 bytes
/// (`bits`), and a palette for drawing. Pixels are 8-bit indices into the
/// colour table or 24-bit blue, green, red. The bitmap owns info, bits and
/// palette.
class KALVIO_API CDib : public CObject {
    KALVIO_DECLARE_DYNCREATE(CDib);

public:
    std::uint8_t* info;          ///< information header + colour table; null when empty
    std::uint8_t* bits;          ///< image_size bytes of pixel rows, bottom row first
    CPalette* palette;           ///< palette that Draw selects; null until made
    std::uint32_t image_size;    ///< bytes in bits
    std::int32_t color_count;    ///< colour-table entries (256 for 8-bit made here, 0 for 24-bit)
    std::int32_t width;          ///< pixels per row
    std::int32_t height;         ///< number of rows
    std::uint32_t row_bytes;     ///< bytes per stored row
    std::int32_t pixel_bytes;    ///< bytes per pixel (bit count / 8)

    /// Empty bitmap.
    CDib();
    /// Header for width x height at `bit_count` bits (colour table of 256
    /// entries for 8 bits, left zero), pixels allocated and zero; no palette.
    /// A size that is not positive, whose pixels do not fit 32 bits of bytes,
    /// or a bit count other than 1, 2, 4, 8, 16, 24, 32 gives an empty bitmap.
    /// Info and bits are allocated with new[].
    CDib(int width, int height, int bit_count);
    /// The picture of `image`: 24-bit for a colour image, else 8-bit with a
    /// grey colour table. Floats become bytes by truncation and their low 8
    /// bits (NaN counts as 0, values beyond int saturate first). rescale != 0
    /// maps (low, high) onto 0..255 for grey images; both 0 means the image's
    /// own range; an empty range gives 0. Then MakePalette. An image without
    /// pixels (null data, color not 0 or 1) gives an empty bitmap.
    CDib(CImage* image, int rescale, float low, float high);
    /// 8-bit (grey image) bitmap whose pixel bytes are the low 8 bits of
    /// lut[n], n being the pixel rounded half away from zero; the table must
    /// cover every such n. A colour image gives a 24-bit bitmap whose rows
    /// hold one such byte per pixel at their start. Then MakePalette.
    CDib(CImage* image, int* lut);
    /// As the image constructor for a bare array of `rows` rows (color != 0:
    /// three interleaved floats a pixel), the range always the array's own.
    CDib(int rows, int cols, int color, float** data, int rescale);
    ~CDib() override;
    CDib(const CDib&) = delete;
    CDib& operator=(const CDib&) = delete;

    /// Reads a BMP file from the file's position into an empty bitmap.
    /// Accepts information headers of 40, 108 and 124 bytes, bottom-up and
    /// top-down rows, 1-, 2-, 4- and 8-bit colour tables and 16-, 24- and
    /// 32-bit pixels (plain or with bit-field masks), stored afterwards as
    /// 8-bit indices or 24-bit pixels with a 40-byte header. A mask field is
    /// scaled to 0..255 as value * 255 / largest value, truncating. RLE8 and
    /// RLE4 bitmaps (bottom-up only) are decompressed; pixels their stream
    /// skips get index 0. Refuses JPEG and PNG compression, streams that
    /// leave their row or the picture or end before its top row, pictures
    /// larger than 256 pixels per stream byte, and any header that does not
    /// fit the file, with one message. Any previous contents are released
    /// first. Returns 1 on
    /// success, 0 on failure (the bitmap then stays empty).
    int Read(CFile* file);
    /// Writes the bitmap as a BMP file and closes the file. Returns 1 when
    /// every byte was written and the file closed, else 0; the file is then
    /// abandoned (Abort), so a created file is not published. An empty bitmap
    /// writes nothing and returns 0.
    int Write(CFile* file);
    /// (Re)builds `palette` from the colour table; 1 when one was made, 0 for
    /// an empty bitmap or a colour table of 0 or more than 256 entries.
    int MakePalette();
    /// Builds `palette` from the device's system palette; 1 when made, 0 on a
    /// device without a usable palette size.
    int SetSystemPalette(CDC* dc);
    /// Draws the whole bitmap stretched into (x, y, cx, cy) through
    /// `palette`, made from the system palette when absent; on a device
    /// without a palette it draws with none selected. 0 when empty.
    int Draw(CDC* dc, int x, int y, int cx, int cy);
    /// New float array (owned by the caller, free_2D_float_array) of the
    /// picture: one channel when every pixel is grey (*color 0), else three
    /// (*color 1). Null for an empty bitmap or a bit count other than 8, 24.
    /// A colour index beyond the colour table reads as black, here and in
    /// MakeKnownFloatImage.
    float** MakeFloatImage(int* rows, int* cols, int* color);
    /// Fills a caller-allocated array of height rows: as_color 0 gives
    /// (red + green + blue) * 0.33333334f, as_color 1 red, green, blue.
    /// Other values or bit counts leave it untouched. Returns 1.
    int MakeKnownFloatImage(float** data, int as_color);

private:
    // Header and pixels for width x height at bit_count bits; the pixels are
    // zero unless `zero_pixels` is false, for a caller that writes them all.
    bool allocate(int width, int height, int bit_count, bool zero_pixels = true);
    void release();
};

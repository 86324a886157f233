// The application's display bitmap: a 24-bit bottom-up bitmap made from a
// picture through the grey table and the display mask, drawn by QPainter.
#pragma once

#include <kalvio/object.h>
#include <varnex/greytable.h>
#include <varnex/seqlist.h>

#include <QImage>

#include <cstdint>
#include <memory>

class CImage;

namespace varnex {

/// The display bitmap of the application. Pixel rows are stored bottom-up,
/// three bytes blue, green, red each, rows padded to 4 bytes.
///
/// Not Kalvio's CDib, the general bitmap behind the library's BMP files
/// (8-bit with a colour table or 24-bit, read and written as files, turned
/// back into floats): this one is made only from a picture through the
/// document's grey table and display mask (masked pixels black), is always
/// 24-bit without a colour table, and is only drawn or read pixel by pixel.
class DisplayBitmap : public CObject {
    KALVIO_DECLARE_DYNCREATE(DisplayBitmap);
public:
    /// Empty bitmap.
    DisplayBitmap();
    /// A 24-bit bitmap of `image`. A grey pixel shows its table entry in all
    /// three channels; a colour pixel its channels truncated to bytes (low 8
    /// bits). Wherever mask[x][y] is 0 (x the column, y the row) the pixel
    /// is black. O(pixels).
    DisplayBitmap(const CImage* image, const GreyTable& table, unsigned char** mask);
    ~DisplayBitmap() override;
    DisplayBitmap(const DisplayBitmap&) = delete;
    DisplayBitmap& operator=(const DisplayBitmap&) = delete;

    /// Rewrites columns [x0, x1) of rows [y0, y1) from `image` as the
    /// constructor makes them (`image` of the bitmap's size; the box is
    /// clipped to it). O(pixels of the box).
    void Update(const CImage* image, const GreyTable& table, unsigned char** mask, int x0, int y0, int x1,
                int y1);
    /// The same for the `count` pixels at `pixels`, each row * width +
    /// column (indices beyond the bitmap are skipped). O(count).
    void UpdatePoints(const CImage* image, const GreyTable& table, unsigned char** mask, const std::uint32_t* pixels,
                      std::size_t count);

    /// The pixels as a top-down RGB image for drawing; made on the first
    /// call (O(pixels)) and kept up to date by Update. A null image when
    /// the bitmap is empty.
    const QImage& DrawImage();

    /// True when the bitmap holds no pixels (never built, or building it ran
    /// out of memory).
    bool IsEmpty() const { return !bits || width <= 0 || height <= 0; }

    /// The blue, green, red bytes of column x of row y counted from the top.
    const std::uint8_t* PixelAt(int x, int y) const;

    std::uint8_t* info = nullptr;  ///< 40-byte information header (no colour table)
    std::uint8_t* bits = nullptr;  ///< pixel rows, bottom row first
    std::uint32_t image_size = 0;
    std::int32_t color_count = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::uint32_t row_bytes = 0;
    std::int32_t pixel_bytes = 0;

private:
    void write_rows(const CImage* image, const GreyTable& table, unsigned char** mask, int x0, int y0, int x1,
                    int y1);

    // Top-down copy for QPainter, made on the first draw and kept; Update
    // rewrites its box too.
    QImage m_drawImage;
};

}  // namespace varnex

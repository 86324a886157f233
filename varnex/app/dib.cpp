// The application's display bitmap.
#include "dib.h"

#include <kalvio/image.h>
#include <kalvio/samples.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace varnex {

KALVIO_IMPLEMENT_DYNCREATE(DisplayBitmap, CObject);

namespace {

constexpr int kInfoHeaderSize = 40;

void put16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

void put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

DisplayBitmap::DisplayBitmap() = default;

DisplayBitmap::DisplayBitmap(const CImage* image, const GreyTable& table, unsigned char** mask) {
    if (!image || !image->data || image->nrows <= 0 || image->ncols <= 0) return;
    if (image->color != 1 && (!table.lut || table.length <= 0)) return;
    width = image->ncols;
    height = image->nrows;
    pixel_bytes = 3;
    color_count = 0;
    row_bytes = 4u * ((static_cast<std::uint32_t>(width) * 24u + 31u) / 32u);
    image_size = row_bytes * static_cast<std::uint32_t>(height);
    info = new (std::nothrow) std::uint8_t[kInfoHeaderSize]();
    bits = new (std::nothrow) std::uint8_t[image_size]();
    if (!info || !bits) {
        delete[] info;
        delete[] bits;
        info = bits = nullptr;
        width = height = 0;
        image_size = row_bytes = 0;
        return;
    }
    put32(info, kInfoHeaderSize);
    put32(info + 4, static_cast<std::uint32_t>(width));
    put32(info + 8, static_cast<std::uint32_t>(height));
    put16(info + 12, 1);
    put16(info + 14, 24);

    write_rows(image, table, mask, 0, 0, width, height);
}

void DisplayBitmap::write_rows(const CImage* image, const GreyTable& table, unsigned char** mask, int x0, int y0,
                               int x1, int y1) {
    const bool colour = image->color == 1;
    // The mask is kept by column and the bitmap by row: the mask of a band
    // of rows is first gathered row by row, so that neither is walked
    // across (for a single row, or without room for that, the mask is read
    // where it lies).
    constexpr int kBand = 32;
    const std::size_t band_width = static_cast<std::size_t>(std::max(0, x1 - x0));
    std::unique_ptr<std::uint8_t[]> shown(mask && y1 - y0 > 1 ? new (std::nothrow) std::uint8_t[kBand * band_width]
                                                              : nullptr);
    for (int band = y0; band < y1; band += kBand) {
        const int rows = std::min(kBand, y1 - band);
        if (shown)
            for (int x = x0; x < x1; ++x) {
                const unsigned char* column = mask[x] + band;
                for (int r = 0; r < rows; ++r) shown[static_cast<std::size_t>(r) * band_width + static_cast<std::size_t>(x - x0)] = column[r];
            }
        for (int row = band; row < band + rows; ++row) {
            const float* source = image->data[row];
            const std::uint8_t* row_shown = shown ? &shown[static_cast<std::size_t>(row - band) * band_width] : nullptr;
            std::uint8_t* out = bits + static_cast<std::size_t>(height - 1 - row) * row_bytes + 3 * static_cast<std::size_t>(x0);
            for (int x = x0; x < x1; ++x, out += 3) {
                if (mask && (row_shown ? row_shown[x - x0] : mask[x][row]) == 0) {
                    out[0] = out[1] = out[2] = 0;
                } else if (colour) {
                    out[0] = kalvio::sample_to_byte(source[3 * x + 2]);
                    out[1] = kalvio::sample_to_byte(source[3 * x + 1]);
                    out[2] = kalvio::sample_to_byte(source[3 * x]);
                } else {
                    out[0] = out[1] = out[2] = static_cast<std::uint8_t>(table.LevelOf(source[x]));
                }
            }
        }
    }
}

void DisplayBitmap::Update(const CImage* image, const GreyTable& table, unsigned char** mask, int x0, int y0,
                           int x1, int y1) {
    if (IsEmpty() || !image || !image->data || image->ncols != width || image->nrows != height) return;
    if (image->color != 1 && (!table.lut || table.length <= 0)) return;
    x0 = std::max(x0, 0);
    y0 = std::max(y0, 0);
    x1 = std::min(x1, static_cast<int>(width));
    y1 = std::min(y1, static_cast<int>(height));
    if (x1 <= x0 || y1 <= y0) return;
    write_rows(image, table, mask, x0, y0, x1, y1);
    if (m_drawImage.isNull()) return;
    for (int row = y0; row < y1; ++row) {
        const std::uint8_t* in = PixelAt(x0, row);
        std::uint8_t* out = m_drawImage.scanLine(row) + 3 * static_cast<std::size_t>(x0);
        for (int c = x0; c < x1; ++c, in += 3, out += 3) {
            out[0] = in[2];
            out[1] = in[1];
            out[2] = in[0];
        }
    }
}

void DisplayBitmap::UpdatePoints(const CImage* image, const GreyTable& table, unsigned char** mask,
                                 const std::uint32_t* pixels, std::size_t count) {
    if (IsEmpty() || !image || !image->data || image->ncols != width || image->nrows != height) return;
    if (image->color != 1 && (!table.lut || table.length <= 0)) return;
    const std::uint64_t last = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
    for (std::size_t i = 0; i < count; ++i) {
        if (pixels[i] >= last) continue;
        const int x = static_cast<int>(pixels[i] % static_cast<std::uint32_t>(width));
        const int y = static_cast<int>(pixels[i] / static_cast<std::uint32_t>(width));
        write_rows(image, table, mask, x, y, x + 1, y + 1);
        if (m_drawImage.isNull()) continue;
        const std::uint8_t* in = PixelAt(x, y);
        std::uint8_t* out = m_drawImage.scanLine(y) + 3 * static_cast<std::size_t>(x);
        out[0] = in[2];
        out[1] = in[1];
        out[2] = in[0];
    }
}

DisplayBitmap::~DisplayBitmap() {
    delete[] info;
    delete[] bits;
}

const std::uint8_t* DisplayBitmap::PixelAt(int x, int y) const {
    if (!bits || x < 0 || y < 0 || x >= width || y >= height) return nullptr;
    return bits + static_cast<std::size_t>(height - 1 - y) * row_bytes + 3 * static_cast<std::size_t>(x);
}

const QImage& DisplayBitmap::DrawImage() {
    if (!m_drawImage.isNull() || IsEmpty()) return m_drawImage;
    m_drawImage = QImage(width, height, QImage::Format_RGB888);
    if (m_drawImage.isNull()) return m_drawImage;
    for (int row = 0; row < height; ++row) {
        const std::uint8_t* in = PixelAt(0, row);
        std::uint8_t* out = m_drawImage.scanLine(row);
        for (int c = 0; c < width; ++c, in += 3, out += 3) {
            out[0] = in[2];
            out[1] = in[1];
            out[2] = in[0];
        }
    }
    return m_drawImage;
}

}  // namespace varnex

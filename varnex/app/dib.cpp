// The application's display bitmap.
#include "dib.h"

#include <kalvio/image.h>

#include <QPainter>

#include <cmath>
#include <cstring>
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

// Truncation towards zero to a 32-bit integer. Values beyond its range (and
// NaN) would be undefined in a plain cast; they take the nearest end (0).
std::int32_t truncate_to_int(float v) {
    if (!(v == v)) return 0;
    if (v >= 2147483647.0f) return 2147483647;
    if (v <= -2147483648.0f) return -2147483647 - 1;
    return static_cast<std::int32_t>(v);
}

// The low 8 bits of the truncated value: 255.9 -> 255, 256 -> 0, -1 -> 255.
std::uint8_t to_byte(float v) { return static_cast<std::uint8_t>(truncate_to_int(v) & 0xFF); }

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

    const bool colour = image->color == 1;
    for (int stored = 0; stored < height; ++stored) {
        const int row = height - 1 - stored;
        const float* source = image->data[row];
        std::uint8_t* out = bits + static_cast<std::size_t>(stored) * row_bytes;
        for (int x = 0; x < width; ++x, out += 3) {
            if (mask && mask[x][row] == 0) {
                out[0] = out[1] = out[2] = 0;
            } else if (colour) {
                out[0] = to_byte(source[3 * x + 2]);
                out[1] = to_byte(source[3 * x + 1]);
                out[2] = to_byte(source[3 * x]);
            } else {
                out[0] = out[1] = out[2] = static_cast<std::uint8_t>(table.LevelOf(source[x]));
            }
        }
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

int DisplayBitmap::Draw(QPainter* painter, int x, int y, int cx, int cy) {
    if (!info || !bits) return 0;
    if (m_drawImage.isNull()) {
        m_drawImage = QImage(width, height, QImage::Format_RGB888);
        if (m_drawImage.isNull()) return 0;
        for (int row = 0; row < height; ++row) {
            const std::uint8_t* in = PixelAt(0, row);
            std::uint8_t* out = m_drawImage.scanLine(row);
            for (int c = 0; c < width; ++c, in += 3, out += 3) {
                out[0] = in[2];
                out[1] = in[1];
                out[2] = in[0];
            }
        }
    }
    painter->save();
    painter->setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter->drawImage(QRect(x, y, cx, cy), m_drawImage);
    painter->restore();
    return 1;
}

}  // namespace varnex

// CDib: float images to and from 8- and 24-bit bitmaps, palettes and
// drawing. Reading and writing BMP files is in image/bmp.cpp.
#include "ops/dib_p.h"
#include "ops/image_checks_p.h"
#include "ops/samples_p.h"

#include <kalvio/arrays.h>
#include <kalvio/dib.h>
#include <kalvio/image.h>
#include <kalvio/samples.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

using namespace kalvio::detail;

KALVIO_IMPLEMENT_DYNCREATE(CDib, CObject);

namespace {

constexpr int kMaxPaletteEntries = 65536;  // what CPalette accepts
constexpr float kThird = 0.33333334f;

// Truncation toward zero to a 32-bit int. NaN gives 0 and values beyond the
// int range saturate, so no float is undefined to convert.
int truncate_to_int(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483648.0) return INT_MAX;
    if (v <= -2147483649.0) return INT_MIN;
    return static_cast<int>(v);
}

// Half away from zero. In double, so that 0.49999997f stays below one half.
int round_to_int(float v) {
    const double d = v;
    return truncate_to_int(d >= 0.0 ? d + 0.5 : d - 0.5);
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

// The bytes of row y of a bitmap, row 0 at the top.
const std::uint8_t* row_at(const CDib& dib, int y) {
    return dib.bits + static_cast<std::size_t>(dib.height - 1 - y) * dib.row_bytes;
}

// Fills an allocated bitmap of the array's size from the floats: 24-bit rows
// from interleaved red, green, blue, or 8-bit grey through the grey ramp.
// Every pixel byte is written; the padding of the rows is left as it is.
void convert_floats(CDib& dib, float** data, bool rescale, bool find_range, float low,
                    float high) {
    const int rows = dib.height, cols = dib.width;
    if (dib.pixel_bytes == 3) {
        for (int r = 0; r < rows; ++r)
            rgb_floats_to_bgr(data[rows - 1 - r], dib.bits + static_cast<std::size_t>(r) * dib.row_bytes,
                              static_cast<std::size_t>(cols));
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
        if (!rescale) {
            floats_to_bytes(in, out, static_cast<std::size_t>(cols));
            continue;
        }
        for (int x = 0; x < cols; ++x) out[x] = kalvio::sample_to_byte(range != 0.0f ? (in[x] - low) * 255.0f / range : 0.0f);
    }
}

// Zeroes the bytes of each row past its pixels.
void clear_padding(CDib& dib) {
    const std::size_t used = static_cast<std::size_t>(dib.width) * static_cast<std::size_t>(dib.pixel_bytes);
    if (used == dib.row_bytes) return;
    for (int r = 0; r < dib.height; ++r)
        std::memset(dib.bits + static_cast<std::size_t>(r) * dib.row_bytes + used, 0, dib.row_bytes - used);
}

}  // namespace

CDib::CDib()
    : info(nullptr), bits(nullptr), palette(nullptr), image_size(0), color_count(0), width(0),
      height(0), row_bytes(0), pixel_bytes(0) {}

CDib::CDib(int columns, int rows, int bit_count) : CDib() { allocate(columns, rows, bit_count); }

CDib::CDib(CImage* image, int rescale, float low, float high) : CDib() {
    if (has_pixels(image) && allocate(image->ncols, image->nrows, image->color == 1 ? 24 : 8, false)) {
        convert_floats(*this, image->data, rescale != 0, low == 0.0f && high == 0.0f, low, high);
        clear_padding(*this);
    }
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
                out[x] = static_cast<std::uint8_t>(lut[round_to_int(in[x])] & 0xFF);
        }
    }
    MakePalette();
}

CDib::CDib(int rows, int cols, int color, float** data, int rescale) : CDib() {
    if (data && rows > 0 && cols > 0 && allocate(cols, rows, color ? 24 : 8, false)) {
        convert_floats(*this, data, rescale != 0, true, 0.0f, 0.0f);
        clear_padding(*this);
    }
    MakePalette();
}

CDib::~CDib() { release(); }

bool CDib::allocate(int columns, int rows, int bit_count, bool zero_pixels) {
    release();
    if (columns <= 0 || rows <= 0) return false;
    if (!is_bit_count(bit_count)) return false;
    const std::uint64_t stride = row_stride(static_cast<std::uint64_t>(columns), bit_count);
    if (stride > UINT32_MAX / static_cast<std::uint64_t>(rows)) return false;
    const int colors = bit_count == 8 ? 256 : 0;
    Bytes header = new_bytes(kInfoHeaderSize + 4 * colors);
    Bytes pixels = zero_pixels ? new_bytes(stride * rows) : new_pixel_bytes(stride * rows);
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
    // The layout follows from the pixels, so they are looked at first; the
    // floats are then written once, in the layout they keep.
    const KeptRows kept(bit_count, width, info + kInfoHeaderSize, color_count);
    bool grey = true;
    if (!kept.always_grey())
        for (int y = 0; y < height && grey; ++y) grey = kept.is_grey(row_at(*this, y));
    float** out = make_2D_float_array(height, grey ? width : 3 * width);
    if (!out) return nullptr;
    for (int y = 0; y < height; ++y) {
        if (grey)
            kept.to_grey(row_at(*this, y), out[y]);
        else
            kept.to_colour(row_at(*this, y), out[y]);
    }
    if (color) *color = grey ? 0 : 1;
    return out;
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

namespace kalvio::detail {

Bytes new_pixel_bytes(std::uint64_t count) {
    if (count > SIZE_MAX) return nullptr;
    Bytes bytes(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(count)]);
    if (bytes) advise_huge_pages(bytes.get(), static_cast<std::size_t>(count));
    return bytes;
}

KeptRows::KeptRows(int bit_count, int width, const std::uint8_t* colour_table, int color_count)
    : m_bit_count(bit_count), m_width(width) {
    if (bit_count != 8) {
        m_always_grey = false;
        return;
    }
    // Entries beyond the table stay black, which is grey.
    const int entries = color_count < 0 ? 0 : color_count > 256 ? 256 : color_count;
    for (int k = 0; k < 256; ++k) {
        if (k < entries) {
            const std::uint8_t* bgrx = colour_table + 4 * k;
            m_colours[3 * k] = bgrx[2];
            m_colours[3 * k + 1] = bgrx[1];
            m_colours[3 * k + 2] = bgrx[0];
            m_bytes[3 * k] = bgrx[2];
            m_bytes[3 * k + 1] = bgrx[1];
            m_bytes[3 * k + 2] = bgrx[0];
        }
        m_grey[k] = m_colours[3 * k] == m_colours[3 * k + 1] && m_colours[3 * k + 1] == m_colours[3 * k + 2];
        m_always_grey = m_always_grey && m_grey[k];
    }
    m_identity = m_always_grey;
    for (int k = 0; k < 256 && m_identity; ++k) m_identity = m_bytes[3 * k] == k;
}

bool KeptRows::is_grey(const std::uint8_t* row) const {
    const std::size_t n = static_cast<std::size_t>(m_width);
    if (m_bit_count == 24) return equal_triples(row, n);
    bool grey = true;
    for (std::size_t x = 0; x < n; ++x) grey = grey && m_grey[row[x]];
    return grey;
}

void KeptRows::to_colour(const std::uint8_t* row, float* out) const {
    const std::size_t n = static_cast<std::size_t>(m_width);
    if (m_bit_count == 24) {
        bgr_to_rgb_floats(row, out, n);
        return;
    }
    for (std::size_t x = 0; x < n; ++x) {
        const float* c = m_colours + 3 * row[x];
        out[3 * x] = c[0];
        out[3 * x + 1] = c[1];
        out[3 * x + 2] = c[2];
    }
}

void KeptRows::to_grey(const std::uint8_t* row, float* out) const {
    const std::size_t n = static_cast<std::size_t>(m_width);
    if (m_bit_count == 24) {
        for (std::size_t x = 0; x < n; ++x) out[x] = row[3 * x];
        return;
    }
    for (std::size_t x = 0; x < n; ++x) out[x] = m_colours[3 * row[x]];
}

void KeptRows::to_colour(const std::uint8_t* row, std::uint8_t* out) const {
    const std::size_t n = static_cast<std::size_t>(m_width);
    if (m_bit_count == 24) {
        kalvio::swap_red_blue(row, out, n);
        return;
    }
    for (std::size_t x = 0; x < n; ++x, out += 3) std::memcpy(out, m_bytes + 3 * row[x], 3);
}

void KeptRows::to_grey(const std::uint8_t* row, std::uint8_t* out) const {
    const std::size_t n = static_cast<std::size_t>(m_width);
    if (m_bit_count == 24) {
        for (std::size_t x = 0; x < n; ++x) out[x] = row[3 * x];
        return;
    }
    if (m_identity) {
        std::memcpy(out, row, n);
        return;
    }
    for (std::size_t x = 0; x < n; ++x) out[x] = m_bytes[3 * row[x]];
}

}  // namespace kalvio::detail

// Headerless files: the duta, raw and brantow writers and Raw2Img.
#include "image/io_p.h"

#include <kalvio/formats.h>
#include <kalvio/image.h>
#include <kalvio/message.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace kalvio::detail;

namespace {

// Size of the pixel block at the end of the brantow template: 256 x 256
// samples of 2 bytes.
constexpr std::int64_t kBrantowPixels = 0x20000;

// The layout codes of Raw2Img for grey files, and for colour files.
enum GreyLayout : int { kBytes = 0, kLow12Bits = 1, kInt16 = 2, kInt32 = 3, kFloat = 4 };
enum ColourLayout : int { kInterleaved = 0, kPlanar = 1 };

// Bytes a sample and the sample type of the image made, for each grey
// layout in order.
struct GreySamples {
    int size, type;
};
constexpr GreySamples kGreySamples[] = {{1, KALVIO_TYPE_UINT8},
                                        {2, KALVIO_TYPE_INT16},
                                        {2, KALVIO_TYPE_INT16},
                                        {4, KALVIO_TYPE_INT32},
                                        {4, KALVIO_TYPE_FLOAT}};

bool has_pixels(float** data, int nrows, int ncols) { return data && nrows > 0 && ncols > 0; }

void put_rows_big_endian(float** data, int nrows, int ncols, FILE* fp) {
    for (int r = 0; r < nrows; ++r)
        for (int c = 0; c < ncols; ++c) putshort(static_cast<short>(to_int(data[r][c])), fp);
}

}  // namespace

int write_duta_image(float** data, const char* path, int nrows, int ncols) {
    if (!has_pixels(data, nrows, ncols)) {
        AfxMessageBox("write_duta_image: No image to write");
        return 0;
    }
    SafeOutput out;
    if (!out.create(path)) {
        AfxMessageBox("write_duta_image: Can't create file");
        return 0;
    }
    putshort(static_cast<short>(nrows), out.fp());
    putshort(static_cast<short>(ncols), out.fp());
    put_rows_big_endian(data, nrows, ncols, out.fp());
    if (!out.commit()) {
        AfxMessageBox("write_duta_image: Can't write file");
        return 0;
    }
    return 1;
}

int write_raw_image(float** data, const char* path, int nrows, int ncols, int datatype) {
    const int size = sample_size(datatype);
    if (size > 0 && !has_pixels(data, nrows, ncols)) {
        AfxMessageBox("write_raw_image: No image to write");
        return 0;
    }
    SafeOutput out;
    if (!out.create(path)) {
        AfxMessageBox("write_raw_image: Can't create file");
        return 0;
    }
    // A sample type without an encoding leaves the file empty.
    if (size > 0) {
        std::vector<unsigned char> row(static_cast<std::size_t>(ncols) * size);
        for (int r = 0; r < nrows; ++r) {
            for (int c = 0; c < ncols; ++c) {
                std::uint32_t v;
                if (datatype == KALVIO_TYPE_FLOAT) std::memcpy(&v, &data[r][c], sizeof v);
                else v = static_cast<std::uint32_t>(to_int(data[r][c]));
                for (int i = 0; i < size; ++i) row[std::size_t(c) * size + i] = static_cast<unsigned char>(v >> (8 * i));
            }
            std::fwrite(row.data(), 1, row.size(), out.fp());
        }
    }
    if (!out.commit()) {
        AfxMessageBox("write_raw_image: Can't write file");
        return 0;
    }
    return 1;
}

int write_brantow_image(float** data, const char* path, int nrows, int ncols) {
    if (!has_pixels(data, nrows, ncols)) {
        AfxMessageBox("write_brantow_image: No image to write");
        return 0;
    }
    const char* template_path = std::getenv("KALVIO_BRANTOW_TEMPLATE");
    FILE* templ = template_path ? open_for_reading(template_path) : nullptr;
    std::vector<unsigned char> header;
    if (templ) {
        const std::int64_t length = bytes_left(templ);
        if (length > kBrantowPixels) {
            header.resize(static_cast<std::size_t>(length - kBrantowPixels));
            if (!read_exact(templ, header.data(), header.size())) {
                std::fclose(templ);
                templ = nullptr;
            }
        }
    }
    if (!templ) {
        AfxMessageBox("write_brantow_image: Can't open template file");
        return 0;
    }
    std::fclose(templ);
    SafeOutput out;
    if (!out.create(path)) {
        AfxMessageBox("write_brantow_image: Can't create file");
        return 0;
    }
    std::fwrite(header.data(), 1, header.size(), out.fp());
    put_rows_big_endian(data, nrows, ncols, out.fp());
    if (!out.commit()) {
        AfxMessageBox("write_brantow_image: Can't write file");
        return 0;
    }
    return 1;
}

CImage* Raw2Img(const char* path, int nrows, int ncols, int color, int layout, int bigendian,
                int offset) {
    // Sample bytes and the resulting sample type of each known layout.
    int size = 0, type = 0;
    if (color == 0) {
        if (layout >= kBytes && layout <= kFloat)
            size = kGreySamples[layout].size, type = kGreySamples[layout].type;
    } else if (color == 1 && (layout == kInterleaved || layout == kPlanar)) {
        size = 1, type = KALVIO_TYPE_UINT8;
    }
    if (size == 0) {
        AfxMessageBox("Raw2Img: Unknown colour and layout");
        return nullptr;
    }
    FILE* fp = open_for_reading(path);
    if (!fp) {
        AfxMessageBox("Raw2Img: Can't open file");
        return nullptr;
    }
    std::int64_t bytes = 0;
    const int per_pixel = color == 1 ? 3 : 1;
    const bool fits = pixel_bytes(nrows, ncols, per_pixel, size, &bytes) && offset >= 0 &&
                      static_cast<std::int64_t>(ncols) * per_pixel <= INT32_MAX &&
                      std::fseek(fp, offset, SEEK_SET) == 0 && bytes_left(fp) >= bytes;
    std::vector<unsigned char> raw;
    if (fits) {
        raw.resize(static_cast<std::size_t>(bytes));
        if (!read_exact(fp, raw.data(), raw.size())) raw.clear();
    }
    std::fclose(fp);
    if (raw.empty()) {
        AfxMessageBox("Raw2Img: Truncated file");
        return nullptr;
    }

    CImage* image = new CImage(nrows, ncols, color, KALVIO_FORMAT_QVF, type);
    if (!image->data) {
        delete image;
        return nullptr;
    }
    const std::size_t pixels = static_cast<std::size_t>(nrows) * ncols;
    for (std::size_t i = 0; i < pixels; ++i) {
        float* row = image->data[i / ncols];
        const std::size_t c = i % ncols;
        if (color == 1) {
            for (int k = 0; k < 3; ++k)
                row[3 * c + k] = layout == kInterleaved ? raw[3 * i + k] : raw[k * pixels + i];
            continue;
        }
        const unsigned char* p = &raw[i * size];
        std::uint32_t v = 0;
        for (int b = 0; b < size; ++b) v |= std::uint32_t(p[bigendian ? size - 1 - b : b]) << (8 * b);
        switch (layout) {
            case kBytes: row[c] = static_cast<float>(v); break;
            case kLow12Bits: row[c] = static_cast<float>(v & 0x0FFF); break;
            case kInt16: row[c] = static_cast<float>(static_cast<std::int16_t>(v)); break;
            case kInt32: row[c] = static_cast<float>(static_cast<std::int32_t>(v)); break;
            default: {
                float f;
                std::memcpy(&f, &v, sizeof f);
                row[c] = f;
            }
        }
    }
    return image;
}

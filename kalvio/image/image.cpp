// CImage: construction, copying, pixel access and grey/colour conversion.
#include <kalvio/arrays.h>
#include <kalvio/image.h>

#include <climits>
#include <cstring>
#include <limits>

KALVIO_IMPLEMENT_DYNCREATE(CImage, CObject);

namespace {

// Floats per row of the pixel array for a colour mode; 0 when the mode has
// no pixel array.
int row_length(int ncols, int color) {
    if (color == 0) return ncols;
    if (color == 1) return 3 * ncols;
    return 0;
}

bool has_pixels(const CImage& image) {
    return image.data && row_length(image.ncols, image.color) > 0 && image.nrows > 0;
}

// A new rows x cols array holding a copy of `source`, or null when the
// source is absent (or the allocation fails, after the allocator's message).
float** copy_array(float* const* source, int rows, int cols) {
    if (!source) return nullptr;
    float** copy = make_2D_float_array(rows, cols);
    if (!copy) return nullptr;
    for (int r = 0; r < rows; ++r)
        std::memcpy(copy[r], source[r], sizeof(float) * static_cast<std::size_t>(cols));
    return copy;
}

// The single-precision third used for grey from colour.
constexpr float kThird = 0.33333334f;

void release_arrays(CImage& image) {
    free_2D_float_array(image.data);
    free_2D_float_array(image.mag);
    free_2D_float_array(image.dir);
    free_2D_float_array(image.scale);
    image.data = image.mag = image.dir = image.scale = nullptr;
}

// Copies the scalar fields and every array the source has into new arrays;
// the destination must hold no arrays.
void copy_from(CImage& image, const CImage& source) {
    image.nrows = source.nrows;
    image.ncols = source.ncols;
    image.color = source.color;
    image.datatype = source.datatype;
    image.format = source.format;
    const int length = row_length(image.ncols, image.color);
    image.data = length > 0 ? copy_array(source.data, image.nrows, length) : nullptr;
    image.mag = copy_array(source.mag, image.nrows, image.ncols);
    image.dir = copy_array(source.dir, image.nrows, image.ncols);
    image.scale = copy_array(source.scale, image.nrows, image.ncols);
}

}  // namespace

CImage::CImage()
    : nrows(0), ncols(0), color(0), datatype(KALVIO_TYPE_FLOAT), format(KALVIO_FORMAT_QVF),
      data(nullptr), mag(nullptr), dir(nullptr), scale(nullptr) {}

CImage::CImage(int nrows, int ncols, int color, int format, int datatype)
    : nrows(nrows), ncols(ncols), color(color), datatype(datatype), format(format),
      data(nullptr), mag(nullptr), dir(nullptr), scale(nullptr) {
    if (color == 0 || color == 1) {
        // A row length beyond int (3 * ncols of a hostile width) is passed on
        // as an invalid size, which the allocator refuses with its message.
        const long long length = color == 1 ? 3LL * ncols : ncols;
        data = make_2D_float_array(nrows, length <= INT_MAX ? static_cast<int>(length) : -1);
    }
}

CImage::CImage(int nrows, int ncols, int color, float** pixels, int format, int datatype)
    : CImage(nrows, ncols, color, format, datatype) {
    if (!data || !pixels) return;
    const int length = row_length(ncols, color);
    for (int r = 0; r < nrows; ++r)
        std::memcpy(data[r], pixels[r], sizeof(float) * static_cast<std::size_t>(length));
}

CImage::CImage(const CImage* source) : CImage() {
    if (source) copy_from(*this, *source);
}

CImage::CImage(const CImage& source) : CImage(&source) {}

void CImage::operator=(const CImage& source) {
    if (this == &source) return;
    release_arrays(*this);
    copy_from(*this, source);
}

CImage::~CImage() { release_arrays(*this); }

void CImage::SetPixel(int row, int column, float value) {
    if (color == 0) {
        data[row][column] = value;
    } else {
        float* pixel = &data[row][3 * column];
        pixel[0] = pixel[1] = pixel[2] = value;
    }
}

void CImage::SetPixel(int row, int column, unsigned long rgb) {
    const int red = static_cast<int>(rgb & 0xFF);
    const int green = static_cast<int>((rgb >> 8) & 0xFF);
    const int blue = static_cast<int>((rgb >> 16) & 0xFF);
    if (color == 0) {
        data[row][column] = static_cast<float>(red + green + blue) * kThird;
    } else {
        float* pixel = &data[row][3 * column];
        pixel[0] = static_cast<float>(red);
        pixel[1] = static_cast<float>(green);
        pixel[2] = static_cast<float>(blue);
    }
}

void CImage::WindowCenter(int* table) {
    if (color != 0 || !has_pixels(*this) || !table) return;
    for (int r = 0; r < nrows; ++r)
        for (int c = 0; c < ncols; ++c)
            data[r][c] = static_cast<float>(table[static_cast<int>(data[r][c])]);
}

void CImage::ComputeRGB(CImage* red, CImage* green, CImage* blue) {
    if (color != 1 || !has_pixels(*this)) return;
    for (const CImage* out : {red, green, blue})
        if (!out || out->color != 0 || !out->data || out->nrows != nrows || out->ncols != ncols)
            return;
    for (int r = 0; r < nrows; ++r) {
        const float* in = data[r];
        for (int c = 0; c < ncols; ++c) {
            red->data[r][c] = in[3 * c];
            green->data[r][c] = in[3 * c + 1];
            blue->data[r][c] = in[3 * c + 2];
        }
    }
}

CImage* CImage::MakeGray() {
    if (!has_pixels(*this)) return nullptr;
    CImage* gray = new CImage(nrows, ncols, 0, format, KALVIO_TYPE_FLOAT);
    if (!gray->data) {
        delete gray;
        return nullptr;
    }
    for (int r = 0; r < nrows; ++r) {
        const float* in = data[r];
        float* out = gray->data[r];
        if (color == 0) {
            std::memcpy(out, in, sizeof(float) * static_cast<std::size_t>(ncols));
        } else {
            for (int c = 0; c < ncols; ++c) out[c] = (in[3 * c] + in[3 * c + 1] + in[3 * c + 2]) * kThird;
        }
    }
    return gray;
}

CImage* CImage::MakeColor(int rescale) {
    if (!has_pixels(*this)) return nullptr;
    CImage* out = new CImage(nrows, ncols, 1, format, KALVIO_TYPE_UINT8);
    if (!out->data) {
        delete out;
        return nullptr;
    }
    const int length = row_length(ncols, color);

    // The scan starts from infinities rather than from the library's usual
    // +/-1,000,000: the result is the same for every image within that bound,
    // and an image lying wholly beyond it still maps onto 0..255. NaNs never
    // win a comparison and so do not take part.
    float min = std::numeric_limits<float>::infinity();
    float max = -std::numeric_limits<float>::infinity();
    if (rescale) {
        for (int r = 0; r < nrows; ++r)
            for (int i = 0; i < length; ++i) {
                const float v = data[r][i];
                if (v < min) min = v;
                if (v > max) max = v;
            }
    }
    const float range = max - min;

    for (int r = 0; r < nrows; ++r) {
        const float* in = data[r];
        float* o = out->data[r];
        for (int c = 0; c < ncols; ++c) {
            for (int k = 0; k < 3; ++k) {
                const float v = color == 0 ? in[c] : in[3 * c + k];
                if (!rescale) o[3 * c + k] = v;
                else o[3 * c + k] = range > 0.0f ? (v - min) * 255.0f / range : 0.0f;
            }
        }
    }
    return out;
}

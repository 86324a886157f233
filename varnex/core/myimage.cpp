// MyImage: window, reading, pixel differences and gradient magnitude.
#include <varnex/myimage.h>

#include <cmath>

MyImage::MyImage() : CImage() { SetWindow(); }

MyImage::MyImage(int nrows, int ncols, int color, int format, int datatype)
    : CImage(nrows, ncols, color, format, datatype) {
    SetWindow();
}

MyImage::MyImage(const MyImage* source, int color)
    : CImage(source->nrows, source->ncols, color, source->format, source->datatype) {
    SetWindow();
    if (!data || !source->data) return;
    for (int x = xmin; x <= xmax; ++x) {
        for (int y = ymin; y <= ymax; ++y) {
            const float* in = source->data[y];
            float* out = data[y];
            if (color == 1 && source->color == 1) {
                out[3 * x] = in[3 * x];
                out[3 * x + 1] = in[3 * x + 1];
                out[3 * x + 2] = in[3 * x + 2];
            } else if (color == 1 && source->color == 0) {
                out[3 * x] = out[3 * x + 1] = out[3 * x + 2] = in[x];
            } else if (color == 0 && source->color == 1) {
                out[x] = static_cast<float>((in[3 * x] + in[3 * x + 1] + in[3 * x + 2]) / 3.0);
            } else if (color == 0 && source->color == 0) {
                out[x] = in[x];
            }
        }
    }
}

MyImage::MyImage(CImage* source) : CImage(source) { SetWindow(); }

MyImage::~MyImage() = default;

void MyImage::SetWindow() {
    ymin = 0;
    xmin = 0;
    ymax = nrows - 1;
    xmax = ncols - 1;
    height = nrows;
    width = ncols;
}

int MyImage::ReadImage(const char* path) {
    const int result = CImage::ReadImage(path);
    SetWindow();
    return result;
}

bool MyImage::Contains(const CPoint* point) const {
    return point->x >= xmin && point->x <= xmax && point->y >= ymin && point->y <= ymax;
}

float MyImage::SquaredDifference(int x1, int y1, int x2, int y2) const {
    if (color == 1) {
        float sum = 0.0f;
        for (int k = 0; k < 3; ++k) {
            const float d = data[y1][3 * x1 + k] - data[y2][3 * x2 + k];
            sum += d * d;
        }
        return sum;
    }
    if (color == 0) {
        const float d = data[y1][x1] - data[y2][x2];
        return d * d;
    }
    return 1e30f;
}

float MyImage::AbsDifference(int x1, int y1, int x2, int y2) const {
    if (color == 1) {
        float sum = 0.0f;
        for (int k = 0; k < 3; ++k) sum += std::fabs(data[y1][3 * x1 + k] - data[y2][3 * x2 + k]);
        return sum / 3;
    }
    if (color == 0) return std::fabs(data[y1][x1] - data[y2][x2]);
    return 1e30f;
}

// Pixel-by-pixel combinations of two images, masking, overlay and inversion.
#include "ops/image_checks_p.h"

#include <kalvio/image.h>

using namespace kalvio::detail;

namespace {

// The single-precision third of the brightness of a colour pixel.
constexpr float kThird = 0.33333334f;

// Sample k of a pixel of N channels: a grey pixel gives its one value to
// every channel.
template <int N>
float sample(const float* pixel, int k) {
    return pixel[N == 3 ? k : 0];
}

// Brightness of a pixel of N channels. A colour pixel's is evaluated in
// double: in float, 180 * 0.33333334f rounds to exactly 60, and a colour
// pixel (30, 60, 90) would tie with a grey 60 that it is meant to beat.
template <int N>
double brightness(const float* pixel) {
    if constexpr (N == 1) return pixel[0];
    else return (static_cast<double>(pixel[0]) + pixel[1] + pixel[2]) * kThird;
}

// Writes a pixel of N channels into a pixel of M channels.
template <int N, int M>
void copy_pixel(const float* in, float* out) {
    for (int k = 0; k < M; ++k) out[k] = sample<N>(in, k);
}

// The pixels of `a` (A channels) and `b` (B channels), row by row, handed
// to pixel.operator()<A, B>(a's pixel, b's pixel, result pixel); the result
// has the larger channel count.
template <int A, int B, class Pixel>
void combine_rows(const CImage& a, const CImage& b, CImage& out, const Pixel& pixel) {
    constexpr int M = A > B ? A : B;
    for (int r = 0; r < a.nrows; ++r) {
        const float* pa = a.data[r];
        const float* pb = b.data[r];
        float* po = out.data[r];
        for (int c = 0; c < a.ncols; ++c)
            pixel.template operator()<A, B>(pa + A * c, pb + B * c, po + M * c);
    }
}

// The refusal ladder of the two-image operations: no operand, sizes that
// differ (with the size message), an operand without pixels. Then a new
// image of this image's size and codes, colour when either operand is.
CImage* new_pair_result(const CImage* self, const CImage* other) {
    if (!self || !other) return nullptr;
    if (!require_same_size(*self, *other)) return nullptr;
    if (!has_pixels(self) || !has_pixels(other)) return nullptr;
    return new_image(self->nrows, self->ncols, self->color | other->color, self->format, self->datatype);
}

// Combines this image and `other` pixel by pixel with `pixel`, choosing its
// channel counts once per call rather than once per pixel.
template <class Pixel>
CImage* combine(const CImage* self, const CImage* other, const Pixel& pixel) {
    CImage* out = new_pair_result(self, other);
    if (!out) return nullptr;
    const int kinds = 2 * self->color + other->color;
    if (kinds == 0) combine_rows<1, 1>(*self, *other, *out, pixel);
    else if (kinds == 1) combine_rows<1, 3>(*self, *other, *out, pixel);
    else if (kinds == 2) combine_rows<3, 1>(*self, *other, *out, pixel);
    else combine_rows<3, 3>(*self, *other, *out, pixel);
    return out;
}

// Copies the pixel of `other` when take_other(its brightness, this
// pixel's), else this image's pixel.
template <class Rule>
CImage* select(const CImage* self, const CImage* other, const Rule& take_other) {
    return combine(self, other, [&]<int A, int B>(const float* t, const float* o, float* out) {
        constexpr int M = A > B ? A : B;
        if (take_other.template operator()<A, B>(brightness<B>(o), brightness<A>(t)))
            copy_pixel<B, M>(o, out);
        else
            copy_pixel<A, M>(t, out);
    });
}

// The refusal ladder of the mask operations, as for two images. The mask's
// grey layout is read: the first ncols floats of each row.
bool mask_usable(const CImage* self, const CImage* mask) {
    return self && mask && require_same_size(*self, *mask) && has_pixels(self) && has_pixels(mask);
}

// out pixel = pixel.operator()<N>(this pixel, mask value, result pixel)
// for an image of N channels and a result of M, row by row.
template <int N, int M, class Pixel>
void mask_rows(const CImage& in, const CImage& mask, CImage& out, const Pixel& pixel) {
    for (int r = 0; r < in.nrows; ++r) {
        const float* pi = in.data[r];
        const float* pm = mask.data[r];
        float* po = out.data[r];
        for (int c = 0; c < in.ncols; ++c) pixel.template operator()<N>(pi + N * c, pm[c], po + M * c);
    }
}

// mask_rows with the channel counts chosen once: the result has the
// image's, or three when ColourResult.
template <bool ColourResult, class Pixel>
void by_channels(const CImage& in, const CImage& mask, CImage& out, const Pixel& pixel) {
    if (in.color == 1) mask_rows<3, 3>(in, mask, out, pixel);
    else mask_rows<1, ColourResult ? 3 : 1>(in, mask, out, pixel);
}

}  // namespace

CImage* CImage::Addseq(CImage* other) {
    return combine(this, other, []<int A, int B>(const float* t, const float* o, float* out) {
        for (int k = 0; k < (A > B ? A : B); ++k) out[k] = sample<B>(o, k) + sample<A>(t, k);
    });
}

CImage* CImage::Multseq(CImage* other) {
    return combine(this, other, []<int A, int B>(const float* t, const float* o, float* out) {
        for (int k = 0; k < (A > B ? A : B); ++k) out[k] = sample<B>(o, k) * sample<A>(t, k);
    });
}

// Grey against colour is the one pairing whose ties go to this image; the
// negation also hands a NaN brightness to `other`, as the rule is written.
CImage* CImage::Maxseq(CImage* other) {
    return select(this, other, []<int A, int B>(double bo, double bt) {
        if constexpr (A == 1 && B == 3) return !(bo <= bt);
        else return bo >= bt;
    });
}

CImage* CImage::Minseq(CImage* other) {
    return select(this, other, []<int A, int B>(double bo, double bt) {
        if constexpr (A == 1 && B == 3) return !(bo >= bt);
        else return bo <= bt;
    });
}

CImage* CImage::Orseq(CImage* mask) {
    if (!mask_usable(this, mask)) return nullptr;
    CImage* out = new_image(nrows, ncols, color, format, datatype);
    if (!out) return nullptr;
    // The largest sample of every channel, not only of the first third of
    // each interleaved row.
    float low, high;
    running_extremes(data, nrows, row_length(*this), &low, &high);
    by_channels<false>(*this, *mask, *out, [high]<int N>(const float* in, float m, float* o) {
        for (int k = 0; k < N; ++k) o[k] = m != 0.0f ? high : in[k];
    });
    return out;
}

CImage* CImage::Andseq(CImage* mask) {
    if (!mask_usable(this, mask)) return nullptr;
    CImage* out = new_image(nrows, ncols, color, format, datatype);
    if (!out) return nullptr;
    by_channels<false>(*this, *mask, *out, []<int N>(const float* in, float m, float* o) {
        for (int k = 0; k < N; ++k) o[k] = m != 0.0f ? in[k] : 0.0f;
    });
    return out;
}

CImage* CImage::Superpose(CImage* mask) {
    if (!mask_usable(this, mask)) return nullptr;
    CImage* out = new_image(nrows, ncols, 1, format, datatype);
    if (!out) return nullptr;
    float low = 0.0f, high = 0.0f;
    if (color == 0) running_extremes(data, nrows, ncols, &low, &high);
    const Stretch stretch(low, high, 255.0f);
    by_channels<true>(*this, *mask, *out, [&stretch]<int N>(const float* in, float m, float* o) {
        if (m != 0.0f) {
            o[0] = 255.0f, o[1] = 0.0f, o[2] = 0.0f;
        } else if constexpr (N == 3) {
            o[0] = in[0], o[1] = in[1], o[2] = in[2];
        } else {
            o[0] = o[1] = o[2] = stretch(in[0]);
        }
    });
    return out;
}

CImage* CImage::Invert() {
    if (!has_pixels(this)) return nullptr;
    CImage* out = new_image(nrows, ncols, color, format, datatype);
    if (!out) return nullptr;
    const int length = row_length(*this);
    if (color == 1) {
        for (int r = 0; r < nrows; ++r)
            for (int i = 0; i < length; ++i) out->data[r][i] = 255.0f - data[r][i];
    } else {
        float low, high;
        running_extremes(data, nrows, ncols, &low, &high);
        const float sum = low + high;
        for (int r = 0; r < nrows; ++r)
            for (int i = 0; i < length; ++i) out->data[r][i] = sum - data[r][i];
    }
    return out;
}

// Conversion between RGB and CIE L*u*v*, for single colours and images.
#include "ops/bands_p.h"
#include "ops/image_checks_p.h"
#include "ops/simd_p.h"

#include <kalvio/colour.h>
#include <kalvio/image.h>

#include <cmath>
#include <cstddef>
#include <type_traits>

using namespace kalvio::detail;

namespace {

// Lightness above the linear range for a luminance quantised to level k of
// 255: 116 (k / 255)^(1/3) - 16, the cube root in double.
float lightness_of_level(float k) {
    return static_cast<float>(116.0 * std::pow(static_cast<double>(k * 0.003921569f), 0.333333) - 16.0);
}

// One colour to L*u*v*, each rounded to a whole number. The matrix is scaled
// by 10,000 and the luminance by 255, so that white gives L = 100, u = v = 0.
// `lightness_above(y)` gives L where y > 0.008856; it is the one step the
// image conversion takes from a table, so both share everything else.
template <class Lightness>
void luv_of(float r, float g, float b, const Lightness& lightness_above, float* luv) {
    const float X = 4125.0f * r + 3576.0f * g + 1804.0f * b;
    const float Y = 2125.0f * r + 7154.0f * g + 721.0f * b;
    const float Z = 193.0f * r + 1192.0f * g + 9502.0f * b;
    const float y = Y * 3.9215686e-7f;
    const float L = y <= 0.008856f ? 903.3f * y : lightness_above(y);
    const float D = X + 15.0f * Y + 3.0f * Z;
    float u_prime = 4.0f, v_prime = 0.6f;
    if (D != 0.0f) {
        u_prime = 4.0f * X / D;
        v_prime = 9.0f * Y / D;
    }
    luv[0] = round_half_away(L);
    luv[1] = round_half_away(13.0f * L * (u_prime - 0.1978f));
    luv[2] = round_half_away(13.0f * L * (v_prime - 0.4683f));
}

// A channel clamped to 0..255, NaN as 0: the image conversion's input (its
// table has 256 levels) and every result of LUV_to_RGB.
float clamp_channel(float v) { return v > 255.0f ? 255.0f : v >= 0.0f ? v : 0.0f; }

// clamp_channel lane by lane.
template <class V>
KALVIO_INLINE V clamp_channel_lanes(V v) {
    return select<V>(v > 255.0f, splat<V>(255.0f), select<V>(v >= 0.0f, v, splat<V>(0.0f)));
}

// luv_of for a vector's worth of interleaved pixels, the lightness above the
// linear range from `table` (256 levels): the same operations lane by lane,
// so the same bits. Every lane takes both sides of each branch of luv_of;
// the selects keep the side the branch would. All values stay far below
// 2^31, as rounding here requires.
template <class V>
KALVIO_INLINE void luv_of_lanes(const float* in, const float* table, float* out) {
    V r, g, b;
    deinterleave3(in, &r, &g, &b);
    r = clamp_channel_lanes(r), g = clamp_channel_lanes(g), b = clamp_channel_lanes(b);
    const V X = 4125.0f * r + 3576.0f * g + 1804.0f * b;
    const V Y = 2125.0f * r + 7154.0f * g + 721.0f * b;
    const V Z = 193.0f * r + 1192.0f * g + 9502.0f * b;
    const V y = Y * 3.9215686e-7f;
    Mask<V> k = __builtin_convertvector(round_half_away_bounded(y * 255.0f), Mask<V>);
    k &= ~(k < 0);
    const Mask<V> high = k > 255;
    k = (k & ~high) | (high & 255);
    V above;
    for (int i = 0; i < kLanes<V>; ++i) above[i] = table[k[i]];
    const V L = select<V>(y <= 0.008856f, 903.3f * y, above);
    const V D = X + 15.0f * Y + 3.0f * Z;
    const Mask<V> nonzero = D != 0.0f;
    const V divisor = select<V>(nonzero, D, splat<V>(1.0f));
    const V u_prime = select<V>(nonzero, 4.0f * X / divisor, splat<V>(4.0f));
    const V v_prime = select<V>(nonzero, 9.0f * Y / divisor, splat<V>(0.6f));
    interleave3(out, round_half_away_bounded(L), round_half_away_bounded(13.0f * L * (u_prime - 0.1978f)),
                round_half_away_bounded(13.0f * L * (v_prime - 0.4683f)));
}

// Rows [begin, end) of the image conversion, V's lanes at a time (float:
// one pixel at a time), the remainder of each row one at a time.
template <class V>
KALVIO_INLINE void luv_rows(const CImage& in, CImage& out, const float* table, int begin, int end) {
    // Clamped channels keep y within 0..1, so the level is a valid index; it
    // is bounded once more all the same, as it reads memory.
    const auto lightness_above = [table](float y) {
        const int k = static_cast<int>(round_half_away(y * 255.0f));
        return table[k < 0 ? 0 : k > 255 ? 255 : k];
    };
    for (int r = begin; r < end; ++r) {
        const float* i = in.data[r];
        float* o = out.data[r];
        int c = 0;
        if constexpr (!std::is_same_v<V, float>)
            for (; c + kLanes<V> <= in.ncols; c += kLanes<V>) luv_of_lanes<V>(i + 3 * c, table, o + 3 * c);
        for (; c < in.ncols; ++c)
            luv_of(clamp_channel(i[3 * c]), clamp_channel(i[3 * c + 1]), clamp_channel(i[3 * c + 2]),
                   lightness_above, o + 3 * c);
    }
}

void luv_rows_1(const CImage& in, CImage& out, const float* table, int begin, int end) {
    luv_rows<float>(in, out, table, begin, end);
}

void luv_rows_4(const CImage& in, CImage& out, const float* table, int begin, int end) {
    luv_rows<f4>(in, out, table, begin, end);
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) void luv_rows_8(const CImage& in, CImage& out, const float* table, int begin,
                                                int end) {
    luv_rows<f8>(in, out, table, begin, end);
}
#else
void luv_rows_8(const CImage& in, CImage& out, const float* table, int begin, int end) {
    luv_rows<f4>(in, out, table, begin, end);
}
#endif

}  // namespace

void RGB_to_LUV(float r, float g, float b, float* L, float* u, float* v) {
    float luv[3];
    luv_of(r, g, b, [](float y) { return lightness_of_level(round_half_away(y * 255.0f)); }, luv);
    *L = luv[0], *u = luv[1], *v = luv[2];
}

void LUV_to_RGB(float L, float u, float v, float* r, float* g, float* b) {
    *r = *g = *b = 0.0f;
    if (L < 0.1f) return;
    const float t = (L + 16.0f) * 0.00862068962f;
    const float Y = L < 8.0f ? L * 0.00110705197f : t * t * t;
    const float u_prime = u * 0.0769230798f / L + 0.1978f;
    const float v_prime = v * 0.0769230798f / L + 0.4683f;
    // v' = 9 Y / D is 0 only without luminance: no colour lies there, and
    // the formulas below would divide by it.
    if (v_prime == 0.0f) return;
    const float X = 2.25f * u_prime * Y / v_prime;
    const float Z = (12.0f - 3.0f * u_prime - 20.0f * v_prime) * Y * 0.25f / v_prime;
    *r = clamp_channel(255.0f * (3.2405f * X - 1.5371f * Y - 0.4985f * Z));
    *g = clamp_channel(255.0f * (-0.9693f * X + 1.8760f * Y + 0.0416f * Z));
    *b = clamp_channel(255.0f * (0.0556f * X - 0.2040f * Y + 1.0573f * Z));
}

CImage* CImage::RGB_to_LUV() {
    if (!has_pixels(this) || color != 1) return nullptr;
    CImage* out = new_image(nrows, ncols, 1, KALVIO_FORMAT_NONE, KALVIO_TYPE_UNSET);
    if (!out) return nullptr;
    float table[256];
    for (int k = 0; k < 256; ++k) table[k] = lightness_of_level(static_cast<float>(k));
    const int lanes = simd_lanes();
    const auto rows = lanes == 8 ? luv_rows_8 : lanes == 4 ? luv_rows_4 : luv_rows_1;
    const std::size_t pixels = static_cast<std::size_t>(nrows) * static_cast<std::size_t>(ncols);
    run_rows_in_bands(nrows, pixels, [&](int begin, int end) { rows(*this, *out, table, begin, end); });
    return out;
}

// Conversion between RGB and L*u*v*: fixed points, the image conversion
// against the single-colour one, and the round trip. OpenCV's conversion is
// the oracle in tests/interop/check_pixel_ops.py.
#include <kalvio/colour.h>
#include <kalvio/image.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "pixel_test_images.h"

using namespace pixel_test;

namespace {

using Triple = std::array<float, 3>;

Triple to_luv(float r, float g, float b) {
    Triple luv;
    RGB_to_LUV(r, g, b, &luv[0], &luv[1], &luv[2]);
    return luv;
}

Triple to_rgb(float L, float u, float v) {
    Triple rgb;
    LUV_to_RGB(L, u, v, &rgb[0], &rgb[1], &rgb[2]);
    return rgb;
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

}  // namespace

TEST(LuvConversion, BlackWhiteGreysAndTheDarkEnds) {
    EXPECT_EQ(to_luv(0, 0, 0), (Triple{0, 0, 0}));
    EXPECT_EQ(to_luv(255, 255, 255), (Triple{100, 0, 0}));
    for (float g : {1.0f, 2.0f, 128.0f}) {  // no chroma on the grey axis, either branch of L
        const Triple luv = to_luv(g, g, g);
        EXPECT_TRUE(luv[1] == 0.0f && luv[2] == 0.0f) << g;
    }
    EXPECT_EQ(to_rgb(0.05f, 40, -30), (Triple{0, 0, 0}));
    // v' = v / (13 L) + 0.4683 of exactly 0 in float: black, not 1 / 0.
    ASSERT_EQ(-60.879f * 0.0769230798f / 10.0f + 0.4683f, 0.0f);
    EXPECT_EQ(to_rgb(10.0f, 25.0f, -60.879f), (Triple{0, 0, 0}));
    EXPECT_EQ(to_rgb(kNaN, 0, 0), (Triple{0, 0, 0}));
    EXPECT_EQ(to_rgb(100, 1e30f, 0), (Triple{255, 0, 0}));  // clamped, not wrapped
}

// The image conversion takes the cube root from a 256-entry table and four
// or eight pixels at a time; its results must be those of the single-colour
// conversion of the channels clamped to 0..255 (NaN as 0), also for values
// that would otherwise index outside the table.
TEST(LuvConversion, ImageConversionMatchesSingleColoursAndClampsFirst) {
    Row row;
    for (int r = 0; r <= 255; r += 15)
        for (int g = 0; g <= 255; g += 15)
            for (int b = 0; b <= 255; b += 15) row.insert(row.end(), {float(r), float(g), float(b)});
    for (int k = 0; k <= 255; ++k) row.insert(row.end(), {float(k), float(k) + 0.5f, 255.0f - float(k) * 0.3f});
    row.insert(row.end(), {300, 20, 20, -7, 100, 400, kInf, -kInf, 5, kNaN, kNaN, kNaN, 1e30f, 3, -1e30f});
    const Image image = image_of({row}, 1);
    const Image luv(image->RGB_to_LUV());
    ASSERT_TRUE(luv);
    EXPECT_EQ(header(*luv), (std::vector<int>{1, image->ncols, 1, 0, 0}));
    const auto clamped = [](float v) { return std::isnan(v) ? 0.0f : std::clamp(v, 0.0f, 255.0f); };
    for (int c = 0; c < image->ncols; ++c) {
        const float* in = image->data[0] + 3 * c;
        const float* out = luv->data[0] + 3 * c;
        EXPECT_EQ(Triple({out[0], out[1], out[2]}), to_luv(clamped(in[0]), clamped(in[1]), clamped(in[2])))
            << "pixel " << c << ": " << in[0] << ", " << in[1] << ", " << in[2];
    }
    EXPECT_EQ(Image(random_image(2, 2, 0, 1)->RGB_to_LUV()), nullptr);
    EXPECT_EQ(Image(CImage().RGB_to_LUV()), nullptr);
}

// Back and forth comes home up to the rounding of L, u and v to whole
// numbers and of the luminance to 1/255. Blue carries 7% of the luminance,
// so it moves most: up to 9.6 at (0, 0, 35) on this grid, 1.7 on average.
TEST(LuvConversion, RoundTripReturnsTheColourWithinRounding) {
    double worst = 0, total = 0;
    int count = 0;
    for (int r = 0; r <= 255; r += 5)
        for (int g = 0; g <= 255; g += 5)
            for (int b = 0; b <= 255; b += 5, ++count) {
                const Triple luv = to_luv(float(r), float(g), float(b));
                const Triple back = to_rgb(luv[0], luv[1], luv[2]);
                const double error = std::max({std::fabs(back[0] - float(r)), std::fabs(back[1] - float(g)),
                                               std::fabs(back[2] - float(b))});
                worst = std::max(worst, error);
                total += error;
            }
    EXPECT_LE(worst, 10.0);
    EXPECT_LE(total / count, 2.0);
}

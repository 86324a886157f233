// Edge detection: a step edge end to end, degenerate pictures, thresholds
// at their exact values, the Sobel magnitude, refusals, and growth over a
// region far larger than the call stack could hold. Magnitudes, directions,
// thinning and hysteresis against numpy and scipy are checked by
// tests/interop/check_filters.py.
#include <kalvio/image.h>

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <tuple>

#include "pixel_test_images.h"

using namespace pixel_test;

namespace {

// 0 left of column `edge`, 100 from it on.
Image step(int rows, int cols, int edge) {
    Rows px(rows, Row(cols, 0.0f));
    for (auto& row : px)
        for (int c = edge; c < cols; ++c) row[c] = 100.0f;
    return image_of(px);
}

int count_of(const CImage& image, float v) {
    int n = 0;
    for (int r = 0; r < image.nrows; ++r)
        for (int c = 0; c < image.ncols; ++c) n += image.data[r][c] == v;
    return n;
}

}  // namespace

TEST(Edges, StepEdgeIsFoundThinnedAndMarked) {
    const Image image = step(20, 30, 15);
    image->edges_mag_dir(1.0f);
    ASSERT_TRUE(image->mag && image->dir);
    for (int r = 2; r < 18; ++r) {
        // The derivative across the step is negative: the direction is near
        // 0 or 2 pi, and the crest sits on the step.
        const float d = image->dir[r][15];
        EXPECT_TRUE(d < 0.01f || d > 2.0f * std::numbers::pi_v<float> - 0.01f) << d;
        EXPECT_GT(image->mag[r][15], 0.9f);
    }
    const Image thin(image->non_maximum_suppression());
    ASSERT_TRUE(thin);
    EXPECT_EQ(header(*thin), (std::vector<int>{20, 30, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_FLOAT}));
    const Image edges(thin->hysteresis_thresholding(0.5f, 0.2f));
    ASSERT_TRUE(edges);
    EXPECT_EQ(edges->datatype, KALVIO_TYPE_UINT8);
    for (int r = 2; r < 18; ++r) {
        EXPECT_EQ(std::max(edges->data[r][15], edges->data[r][14]), 255.0f) << r;  // one or two pixels wide
        EXPECT_EQ(edges->data[r][5], 0.0f);
    }
}

TEST(Edges, MagnitudeIsZeroWithoutAnInteriorGradient) {
    // Black grey and colour pictures (a constant other than 0 has a small
    // derivative: the derivative filter does not sum to 0), and pictures no
    // wider than the band.
    Image images[] = {image_of(Rows(9, Row(9, 0.0f))), image_of(Rows(6, Row(18, 0.0f)), 1), step(3, 40, 20),
                      step(40, 3, 1)};
    for (const Image& image : images) {
        image->edges_mag_dir(1.0f);
        ASSERT_TRUE(image->mag);
        for (const Row& row : rows_of(*image, image->mag, image->ncols))
            for (float v : row) EXPECT_EQ(v, 0.0f);
    }
}

TEST(Edges, BorderBandIsRoundedTwiceSigma) {
    // Kept: from round(2 sigma) up to round(16 - 2 sigma), halves away from 0.
    for (const auto& [sigma, begin, end] : {std::tuple{1.2f, 2, 14}, {1.3f, 3, 13}, {0.2f, 0, 16}, {1.25f, 3, 14}}) {
        Rows px(16, Row(16));
        for (int r = 0; r < 16; ++r)
            for (int c = 0; c < 16; ++c) px[r][c] = float((r * 7 + c * c) % 13);
        const Image image = image_of(px);
        image->edges_mag_dir(sigma);
        float top = 0.0f;
        for (int r = 0; r < 16; ++r)
            for (int c = 0; c < 16; ++c) {
                const bool in_band = r < begin || c < begin || r >= end || c >= end;
                if (in_band) EXPECT_EQ(image->mag[r][c], 0.0f) << sigma << " " << r << "," << c;
                else top = std::max(top, image->mag[r][c]);
            }
        EXPECT_EQ(top, 1.0f) << sigma;
    }
}

TEST(Edges, HysteresisThresholdsAreStrict) {
    // 5 equals high: no start. 2 equals low: not grown into. 6 starts, 3
    // joins diagonally, the pixel of 2 stops it.
    const Image image = image_of({{0, 0, 0, 0, 0, 0},
                                  {0, 5, 0, 0, 0, 0},
                                  {0, 0, 0, 6, 0, 0},
                                  {0, 0, 0, 0, 3, 0},
                                  {0, 0, 0, 0, 0, 2}});
    const Image out(image->hysteresis_thresholding(5.0f, 2.0f));
    ASSERT_TRUE(out);
    EXPECT_EQ(rows_of(*out), (Rows{{0, 0, 0, 0, 0, 0},
                                   {0, 0, 0, 0, 0, 0},
                                   {0, 0, 0, 255, 0, 0},
                                   {0, 0, 0, 0, 255, 0},
                                   {0, 0, 0, 0, 0, 0}}));
}

TEST(Edges, GrowthOverAHugeRegionUsesNoRecursion) {
    // 4000 x 3000 above `low` except for a serpentine wall: one long path.
    auto image = std::make_unique<CImage>(3000, 4000, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_FLOAT);
    for (int r = 0; r < 3000; ++r)
        for (int c = 0; c < 4000; ++c) image->data[r][c] = (r % 4 == 2 && c != (r % 8 == 2 ? 3999 : 0)) ? 0.0f : 1.0f;
    image->data[1][1] = 9.0f;
    const Image out(image->hysteresis_thresholding(5.0f, 0.5f));
    ASSERT_TRUE(out);
    EXPECT_EQ(count_of(*out, 255.0f), count_of(*image, 1.0f) + 1);
}

TEST(Edges, SobelMagnitude) {
    Rows ramp(5, Row(6));
    for (auto& row : ramp)
        for (int c = 0; c < 6; ++c) row[c] = float(c);
    const Image grey = image_of(ramp);
    grey->SobelFilter();
    ASSERT_TRUE(grey->mag);
    EXPECT_EQ(rows_of(*grey, grey->mag, 6)[2], (Row{0, 8, 8, 8, 8, 0}));
    EXPECT_EQ(rows_of(*grey, grey->mag, 6)[0], Row(6, 0.0f));

    // A colour picture uses its grey values; an existing border stays.
    Rows colour(5, Row(18));
    for (auto& row : colour)
        for (int i = 0; i < 18; ++i) row[i] = float(i / 3) * (i % 3 == 0 ? 3.0f : 0.0f);
    const Image rgb = image_of(colour, 1);
    rgb->SobelFilter();
    rgb->mag[0][0] = -1.0f;
    rgb->SobelFilter();
    EXPECT_EQ(rgb->mag[0][0], -1.0f);
    EXPECT_NEAR(rgb->mag[2][3], 8.0f, 1e-5f);

    // Under 3 x 3: left alone, no plane allocated.
    const Image thin = image_of({{1, 2, 3}, {4, 5, 6}});
    thin->SobelFilter();
    EXPECT_EQ(thin->mag, nullptr);
}

TEST(Edges, RefusalsTouchNothing) {
    CImage empty;
    empty.edges_mag_dir(1.0f);
    empty.SobelFilter();
    EXPECT_EQ(empty.mag, nullptr);
    EXPECT_EQ(Image(empty.hysteresis_thresholding(1, 0)), nullptr);
    const Image image = step(8, 8, 4);
    EXPECT_EQ(Image(image->non_maximum_suppression()), nullptr);  // no planes yet

    // follow_edge into an image of another size, or from outside.
    const Image other = step(8, 9, 4);
    image->follow_edge(other.get(), 3, 5, 0.0f);
    EXPECT_EQ(count_of(*other, 255.0f), 0);
    const Image out = image_of(Rows(8, Row(8, 0.0f)));
    for (const auto& [r, c] : {std::pair{-1, 4}, {8, 4}, {3, 8}, {3, -1}}) image->follow_edge(out.get(), r, c, 0.0f);
    EXPECT_EQ(count_of(*out, 255.0f), 0);
    image->follow_edge(out.get(), 0, 7, 50.0f);
    EXPECT_EQ(count_of(*out, 255.0f), 32);  // the whole bright half
}

TEST(Edges, SameBitsForEveryVectorWidthAndThreadCount) {
    // Over a megapixel, so that the passes split into bands.
    const Image source = random_image(1030, 1020, 1, 5);
    std::vector<Rows> results;
    for (const auto& [simd, threads] : {std::pair{"none", "1"}, {"sse2", "3"}, {nullptr, "2"}}) {
        Setting lanes("KALVIO_SIMD", simd), split("KALVIO_THREADS", threads);
        CImage image(*source);
        image.edges_mag_dir(1.5f);
        const Image thin(image.non_maximum_suppression());
        results.push_back(rows_of(image, image.mag, image.ncols));
        results.push_back(rows_of(image, image.dir, image.ncols));
        results.push_back(rows_of(*thin));
    }
    for (std::size_t i = 3; i < results.size(); ++i) EXPECT_TRUE(results[i] == results[i % 3]) << i;
}

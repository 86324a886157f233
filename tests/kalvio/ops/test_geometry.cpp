// Geometric transforms: the worked examples, cropping, the planes Reduce
// carries, refusals, and the same bits for every thread count and vector
// width. Bilinear values against scipy are checked by
// tests/interop/check_pixel_ops.py.
#include <kalvio/arrays.h>
#include <kalvio/image.h>

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "message_recorder.h"
#include "pixel_test_images.h"

using namespace pixel_test;

TEST(GeometryExamples, ReduceEnlargeTranslateRotateScale) {
    // The cross-shaped weights sum to exactly 6: a constant stays.
    const Image flat = image_of(Rows(6, Row(24, 37.5f)), 1);
    const Image reduced_flat(flat->Reduce(2, 1));
    ASSERT_TRUE(reduced_flat);
    EXPECT_EQ(header(*reduced_flat), (std::vector<int>{3, 4, 1, KALVIO_FORMAT_PPM, KALVIO_TYPE_INT16}));
    EXPECT_EQ(rows_of(*reduced_flat), Rows(3, Row(12, 37.5f)));

    // 7 x 7 of 10 r + c: 3 x 3 block means; the last row and column drop.
    Rows ramp(7, Row(7));
    for (int r = 0; r < 7; ++r)
        for (int c = 0; c < 7; ++c) ramp[r][c] = float(10 * r + c);
    EXPECT_EQ(rows_of(*Image(image_of(ramp)->Reduce(3, 0))), (Rows{{11, 14}, {41, 44}}));

    const Image pair = image_of({{1, 5}});
    EXPECT_EQ(rows_of(*Image(pair->Enlarge(2, 0))), (Rows{{1, 1, 5, 5}, {1, 1, 5, 5}}));
    EXPECT_EQ(rows_of(*Image(pair->Enlarge(2, 1)))[0], (Row{1, 3, 5, 5}));

    const Image grid = image_of({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}});
    EXPECT_EQ(rows_of(*Image(grid->Translate(1, 0))), (Rows{{0, 0, 0}, {1, 2, 3}, {4, 5, 6}}));
    EXPECT_EQ(rows_of(*Image(grid->Translate(-1, -2))), (Rows{{6, 0, 0}, {9, 0, 0}, {0, 0, 0}}));
    // Each pixel sampled at its own place, but the last row and column are
    // never an upper-left corner: 0.
    EXPECT_EQ(rows_of(*Image(grid->Rotate(0))), (Rows{{1, 2, 0}, {4, 5, 0}, {0, 0, 0}}));
    EXPECT_EQ(rows_of(*Image(grid->Scale(1.0f, 1.0f))), (Rows{{1, 2, 0}, {4, 5, 0}, {0, 0, 0}}));
    // A column factor of 0 takes the row factor.
    const Image doubled(grid->Scale(2.0f, 0.0f));
    ASSERT_TRUE(doubled);
    EXPECT_EQ(header(*doubled), (std::vector<int>{6, 6, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_INT16}));
    EXPECT_EQ(rows_of(*doubled)[1], (Row{2.5f, 3, 3.5f, 4, 0, 0}));
    EXPECT_EQ(header(*Image(grid->Scale(5, 2))), (std::vector<int>{5, 2, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_INT16}));

    // A quarter turn moves what lies right of the centre above it:
    // counter-clockwise on the screen.
    Rows square(9, Row(9, 0.0f));
    square[4][7] = 100.0f;
    const Image turned(image_of(square)->Rotate(90));
    EXPECT_NEAR(turned->data[1][4], 100.0f, 1e-3f);
    EXPECT_NEAR(turned->data[4][7], 0.0f, 1e-3f);
}

TEST(GeometryPlanes, ExtractCutsPlanesAndReduceStretchesMagnitude) {
    const Image image = random_image(4, 6, 1, 3);
    image->mag = make_2D_float_array(4, 6);
    image->dir = make_2D_float_array(4, 6);
    image->scale = make_2D_float_array(4, 6);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 6; ++c) image->mag[r][c] = float(r), image->dir[r][c] = float(6 * r + c);
    const Image block(image->Extract(1, 2, 3, 4));
    ASSERT_TRUE(block);
    EXPECT_EQ(header(*block), (std::vector<int>{3, 4, 1, KALVIO_FORMAT_QVF, KALVIO_TYPE_FLOAT}));
    EXPECT_EQ(rows_of(*block)[2], Row(image->data[3] + 6, image->data[3] + 18));
    EXPECT_EQ(rows_of(*block, block->dir, 4)[0], (Row{8, 9, 10, 11}));
    EXPECT_EQ(block->scale, nullptr);
    for (const auto& b : std::vector<std::vector<int>>{{-1, 0, 2, 2}, {3, 0, 2, 2}, {0, 5, 1, 2}, {0, 0, 0, 3},
                                                       {INT_MAX, 0, 1, 1}, {1, 1, INT_MAX, 1}})
        EXPECT_EQ(Image(image->Extract(b[0], b[1], b[2], b[3])), nullptr) << b[0] << " " << b[1] << " " << b[2];

    // Block means of mag (0.5, 2.5) stretched onto 0..1; dir reduced as is.
    const Image reduced(image->Reduce(2, 0));
    ASSERT_TRUE(reduced && reduced->mag && reduced->dir);
    EXPECT_EQ(rows_of(*reduced, reduced->mag, 3), (Rows{{0, 0, 0}, {1, 1, 1}}));
    EXPECT_EQ(rows_of(*reduced, reduced->dir, 3), (Rows{{3.5f, 5.5f, 7.5f}, {15.5f, 17.5f, 19.5f}}));
    // A constant magnitude becomes 0 rather than 0 / 0.
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 6; ++c) image->mag[r][c] = 3.0f;
    EXPECT_EQ(rows_of(*reduced, Image(image->Reduce(2, 1))->mag, 3), Rows(2, Row(3, 0.0f)));
}

// Factors and sizes that are zero, negative, not finite or too large, and
// images without pixels: null, without a message except the allocator's
// when a result that could be described finds no memory.
TEST(GeometryRefusals, BadFactorsSizesAndImagesGiveNull) {
    const Image image = random_image(4, 6, 1, 7);
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const std::vector<std::function<CImage*(CImage&)>> refused = {
        [](CImage& i) { return i.Reduce(0, 0); },       [](CImage& i) { return i.Reduce(-2, 1); },
        [](CImage& i) { return i.Reduce(5, 0); },       [](CImage& i) { return i.Enlarge(0, 1); },
        [](CImage& i) { return i.Enlarge(INT_MAX, 1); },  // rows beyond int
        [](CImage& i) { return i.Enlarge(1 << 28, 0); },  // 3 * columns beyond int
        [](CImage& i) { return i.Scale(-1.0f, 1.0f); }, [](CImage& i) { return i.Scale(1.0f, -1.0f); },
        [=](CImage& i) { return i.Scale(nan, 1.0f); },  [=](CImage& i) { return i.Scale(inf, 1.0f); },
        [](CImage& i) { return i.Scale(0.1f, 0.0f); },  [](CImage& i) { return i.Scale(1e30f, 0.0f); },
        [](CImage& i) { return i.Scale(0, 3); }};
    CImage empty, no_pixels(4, 6, 2, KALVIO_FORMAT_QVF, KALVIO_TYPE_FLOAT);
    const std::vector<std::function<CImage*(CImage&)>> any = {
        [](CImage& i) { return i.Extract(0, 0, 1, 1); }, [](CImage& i) { return i.Reduce(1, 0); },
        [](CImage& i) { return i.Enlarge(1, 0); },       [](CImage& i) { return i.Translate(0, 0); },
        [](CImage& i) { return i.Rotate(10); },          [](CImage& i) { return i.Scale(2, 2); }};
    kalvio_test::MessageRecorder messages;
    for (std::size_t i = 0; i < refused.size(); ++i) EXPECT_EQ(Image(refused[i](*image)), nullptr) << i;
    for (const auto& op : any) EXPECT_TRUE(!Image(op(empty)) && !Image(op(no_pixels)));
    EXPECT_TRUE(messages.texts().empty());
    EXPECT_EQ(Image(image_of({{1}})->Enlarge(1 << 30, 0)), nullptr);  // 2^60 pixels
    EXPECT_EQ(messages.texts(), std::vector<std::string>{"Can't allocate core in make_2D_float_array"});

    // Shifts of any size: whatever leaves the image is gone, nothing wraps.
    for (const auto& [rows, cols] : {std::pair{INT_MAX, 0}, {INT_MIN, 0}, {0, INT_MIN}, {4, 0}, {0, -6}})
        EXPECT_EQ(rows_of(*Image(image->Translate(rows, cols))), Rows(4, Row(18, 0.0f))) << rows << ", " << cols;
}

// Pictures of a megapixel or more are cut into bands of rows worked on side
// by side (1031 x 1029 leaves remainders in every band), and the kernels
// take 4 or 8 floats at a time where the processor allows; KALVIO_SIMD=none
// takes single floats throughout. Neither may change a bit.
TEST(GeometryBits, SameForEveryThreadCountAndVectorWidth) {
    const Image large = random_image(1031, 1029, 1, 11);
    const auto on_large = [&](const char* threads) {
        const Setting setting("KALVIO_THREADS", threads);
        std::vector<Image> out;
        for (CImage* result : {large->Rotate(33), large->Scale(0.77f, 1.31f), large->Scale(700, 1500),
                               large->Reduce(2, 1), large->Reduce(3, 0), large->Enlarge(2, 1), large->RGB_to_LUV()})
            out.emplace_back(result);
        return out;
    };
    const auto on_small = [](const char* simd) {
        const Setting setting("KALVIO_SIMD", simd);
        std::vector<Image> out;
        for (const auto& [color, cols] : {std::pair{0, 37}, {1, 37}, {0, 64}, {1, 29}}) {
            const Image image = random_image(23, cols, color, 13 + cols);
            for (CImage* result : {image->Scale(0.61f, 0.0f), image->Scale(1.7f, 2.3f), image->Scale(31, 90),
                                   image->Reduce(2, 0), image->Reduce(2, 1), image->Reduce(3, 0), image->Reduce(1, 1),
                                   image->RGB_to_LUV()})
                out.emplace_back(result);
        }
        return out;
    };
    const auto expect_same = [](const std::vector<Image>& a, const std::vector<Image>& b, const char* what) {
        ASSERT_EQ(a.size(), b.size());
        for (std::size_t i = 0; i < a.size(); ++i)
            EXPECT_TRUE(a[i] == b[i] || (a[i] && b[i] && same_bits(*a[i], *b[i]))) << what << ", result " << i;
    };
    expect_same(on_large("1"), on_large("3"), "1 against 3 threads");
    const std::vector<Image> scalar = on_small("none");
    expect_same(scalar, on_small("sse2"), "4 lanes");
    expect_same(scalar, on_small(nullptr), "widest lanes");
}

// The working image: the window after a failed read, the two pixel
// differences and the conversion copy.
#include <varnex/myimage.h>

#include <kalvio/formats.h>

#include "message_recorder.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

namespace {

void expect_window(const MyImage& image, int rows, int cols) {
    EXPECT_EQ(image.ymin, 0);
    EXPECT_EQ(image.xmin, 0);
    EXPECT_EQ(image.ymax, rows - 1);
    EXPECT_EQ(image.xmax, cols - 1);
    EXPECT_EQ(image.height, rows);
    EXPECT_EQ(image.width, cols);
}

// A successful read's window is checked wherever a region map is compared
// with its picture (Contour::LoadRegionMap), Contains by Contour::AddSeed.
TEST(MyImageRead, FailureStillSetsTheWindowFromTheSizeLeft) {
    kalvio_test::TempDir dir;
    kalvio_test::MessageRecorder messages;
    MyImage image(3, 5, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_UINT8);
    image.xmax = image.ymax = 0;
    image.width = image.height = 1;
    EXPECT_EQ(image.ReadImage(dir.path("missing.pgm").c_str()), 0);
    expect_window(image, 3, 5);
    EXPECT_FALSE(messages.boxes().empty());

    MyImage empty;
    EXPECT_EQ(empty.ReadImage(dir.path("missing.pgm").c_str()), 0);
    expect_window(empty, 0, 0);
}

TEST(MyImageDifference, ColourGreyAndOtherModes) {
    MyImage colour(1, 2, 1, KALVIO_FORMAT_BMP, KALVIO_TYPE_UINT8);
    colour.data[0][0] = 255;  // red next to black
    EXPECT_EQ(colour.SquaredDifference(0, 0, 1, 0), 65025.0f);
    EXPECT_EQ(colour.AbsDifference(0, 0, 1, 0), 85.0f);
    colour.data[0][4] = 10;  // green 10 on the black pixel
    colour.data[0][5] = 2;
    EXPECT_EQ(colour.SquaredDifference(1, 0, 0, 0), 65025.0f + 100.0f + 4.0f);
    EXPECT_EQ(colour.AbsDifference(0, 0, 1, 0), 89.0f);

    MyImage grey(2, 1, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_UINT8);
    grey.data[0][0] = 3;
    grey.data[1][0] = 10;
    EXPECT_EQ(grey.SquaredDifference(0, 0, 0, 1), 49.0f);
    EXPECT_EQ(grey.AbsDifference(0, 0, 0, 1), 7.0f);

    MyImage other(2, 2, 2, KALVIO_FORMAT_NONE, KALVIO_TYPE_UNSET);
    EXPECT_EQ(other.SquaredDifference(0, 0, 1, 1), 1e30f);
    EXPECT_EQ(other.AbsDifference(0, 0, 1, 1), 1e30f);
}

TEST(MyImageConversion, CopiesAndConvertsEveryPixel) {
    MyImage colour(2, 3, 1, KALVIO_FORMAT_PPM, KALVIO_TYPE_UINT8);
    colour.data[0][0] = 30, colour.data[0][1] = 60, colour.data[0][2] = 90;
    colour.data[1][6] = 1, colour.data[1][7] = 2, colour.data[1][8] = 2;  // pixel (2, 1)

    MyImage grey(&colour, 0);
    EXPECT_EQ(grey.color, 0);
    EXPECT_EQ(grey.data[0][0], 60.0f);
    EXPECT_EQ(grey.data[1][2], static_cast<float>(5 / 3.0));
    EXPECT_EQ(grey.data[1][1], 0.0f);

    MyImage same(&colour, 1);
    for (int y = 0; y < 2; ++y)
        for (int k = 0; k < 9; ++k) EXPECT_EQ(same.data[y][k], colour.data[y][k]);

    MyImage seven(1, 2, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_UINT8);
    seven.data[0][1] = 7;
    MyImage spread(&seven, 1);
    for (int k = 3; k < 6; ++k) EXPECT_EQ(spread.data[0][k], 7.0f);
    EXPECT_EQ(spread.data[0][0], 0.0f);
    MyImage grey_copy(&seven, 0);
    EXPECT_EQ(grey_copy.data[0][1], 7.0f);

    // Another colour mode has no pixels to copy into; nothing is read.
    MyImage none(&colour, 2);
    expect_window(none, 2, 3);
}

}  // namespace

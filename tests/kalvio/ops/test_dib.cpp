// CDib: bitmaps made from floats, palettes, drawing through a memory device,
// and float images made back.
#include <kalvio/arrays.h>
#include <kalvio/dc.h>
#include <kalvio/dib.h>
#include <kalvio/image.h>

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace {

using Floats = std::vector<float>;
using Ints = std::vector<int>;

// An image from its rows; colour rows hold red, green, blue triples.
std::unique_ptr<CImage> image_of(int color, const std::vector<Floats>& rows) {
    const int cols = static_cast<int>(rows[0].size()) / (color ? 3 : 1);
    auto image = std::make_unique<CImage>(static_cast<int>(rows.size()), cols, color,
                                          KALVIO_FORMAT_BMP, KALVIO_TYPE_UINT8);
    for (std::size_t r = 0; r < rows.size(); ++r)
        std::copy(rows[r].begin(), rows[r].end(), image->data[r]);
    return image;
}

// The first n bytes of stored row r, counted from the bottom.
Ints stored_row(const CDib& dib, int r, int n) {
    const std::uint8_t* row = dib.bits + r * dib.row_bytes;
    return Ints(row, row + n);
}

bool is_empty(const CDib& dib) {
    return !dib.info && !dib.bits && !dib.palette && dib.width == 0 && dib.height == 0 &&
           dib.image_size == 0;
}

}  // namespace

// The header, colour table and row layout of bitmaps made from images are
// checked through the files written (tests/interop: check_written.py and
// the peers that read them).
TEST(DibConstruct, FloatsBecomeTheLowEightBitsOfTheirTruncation) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const auto image = image_of(0, {{255.9f, 256.0f, -1.0f, -0.5f, 511.0f, nan, 1e20f, -1e20f}});
    const CDib grey(image.get(), 0, 0.0f, 0.0f);
    // NaN counts as 0; beyond the int range the value saturates first.
    EXPECT_EQ(stored_row(grey, 0, 8), Ints({255, 0, 255, 0, 255, 0, 255, 0}));

    // Colour pixels are never rescaled, even when asked.
    float** data = make_2D_float_array(1, 3);
    data[0][0] = 300.0f, data[0][1] = -2.0f, data[0][2] = 7.9f;
    const CDib colour(1, 1, 1, data, 1);
    EXPECT_EQ(stored_row(colour, 0, 3), Ints({7, 254, 44}));
    free_2D_float_array(data);
}

TEST(DibConstruct, RescalingMapsTheRangeOntoBytes) {
    const auto image = image_of(0, {{10, 15, 20}});
    EXPECT_EQ(stored_row(CDib(image.get(), 1, 0.0f, 0.0f), 0, 3), Ints({0, 127, 255}));
    EXPECT_EQ(stored_row(CDib(image.get(), 1, 0.0f, 40.0f), 0, 3), Ints({63, 95, 127}));
    EXPECT_EQ(stored_row(CDib(image.get(), 0, 0.0f, 40.0f), 0, 3), Ints({10, 15, 20}));
    EXPECT_EQ(stored_row(CDib(1, 3, 0, image->data, 1), 0, 3), Ints({0, 127, 255}));
    EXPECT_EQ(stored_row(CDib(1, 3, 0, image->data, 0), 0, 3), Ints({10, 15, 20}));

    // An empty range gives 0, not a division by zero.
    const auto flat = image_of(0, {{7, 7}});
    EXPECT_EQ(stored_row(CDib(flat.get(), 1, 0.0f, 0.0f), 0, 2), Ints({0, 0}));
    EXPECT_EQ(stored_row(CDib(flat.get(), 1, 5.0f, 5.0f), 0, 2), Ints({0, 0}));
    EXPECT_EQ(stored_row(CDib(1, 2, 0, flat->data, 1), 0, 2), Ints({0, 0}));
}

TEST(DibConstruct, LookUpTableTakesTheEntryOfTheRoundedPixel) {
    int table[9];  // entries -4..4; their low bytes tell them apart
    for (int k = 0; k < 9; ++k) table[k] = 0x300 + 10 * k;
    int* lut = table + 4;
    auto low = [&](int n) { return lut[n] & 0xFF; };

    const CDib grey(image_of(0, {{2.5f, -0.5f, 0.49999997f, -2.5f, 3.5f, -0.49f}}).get(), lut);
    EXPECT_EQ(stored_row(grey, 0, 6), Ints({low(3), low(-1), low(0), low(-3), low(4), low(0)}));
    EXPECT_EQ(grey.color_count, 256);
    EXPECT_NE(grey.palette, nullptr);

    // A colour image: 24-bit rows with one byte a pixel at their start.
    const CDib colour(image_of(1, {{1, 2, 3, 4, 5, 6}}).get(), lut);
    EXPECT_EQ(colour.pixel_bytes, 3);
    EXPECT_EQ(stored_row(colour, 0, 8), Ints({low(1), low(2), 0, 0, 0, 0, 0, 0}));
}

TEST(DibConstruct, NoPixelsGiveAnEmptyBitmap) {
    CImage no_data(2, 2, 2, KALVIO_FORMAT_BMP, KALVIO_TYPE_UINT8);
    CImage odd_color(2, 2, 0, KALVIO_FORMAT_BMP, KALVIO_TYPE_UINT8);
    odd_color.color = 5;
    CImage no_size;
    int lut[1] = {0};
    for (CImage* image : {&no_data, &odd_color, &no_size, static_cast<CImage*>(nullptr)}) {
        EXPECT_TRUE(is_empty(CDib(image, 1, 0.0f, 0.0f)));
        EXPECT_TRUE(is_empty(CDib(image, lut)));
    }
    const auto image = image_of(0, {{1}});
    EXPECT_TRUE(is_empty(CDib(image.get(), nullptr)));
    EXPECT_TRUE(is_empty(CDib(1, 1, 0, nullptr, 1)));
    EXPECT_TRUE(is_empty(CDib(0, 1, 0, image->data, 1)));
    for (const Ints& size : {Ints{0, 4, 8}, Ints{4, -1, 24}, Ints{1 << 30, 1 << 30, 24},
                             Ints{0x7FFFFFFF, 1, 32}, Ints{4, 4, 7}})
        EXPECT_TRUE(is_empty(CDib(size[0], size[1], size[2]))) << size[0] << " " << size[2];

    EXPECT_TRUE(is_empty(CDib()));
}

TEST(DibPalette, MakePaletteCopiesTheColourTable) {
    CDib dib(2, 1, 8);
    std::uint8_t* entry = dib.info + 40 + 4 * 7;
    entry[0] = 1, entry[1] = 2, entry[2] = 3;  // blue, green, red
    ASSERT_EQ(dib.MakePalette(), 1);
    const PALETTEENTRY made = dib.palette->entries().at(7);
    EXPECT_EQ(Ints({made.peRed, made.peGreen, made.peBlue, made.peFlags}), Ints({3, 2, 1, 0}));

    for (int count : {0, 257, -1}) {
        dib.color_count = count;
        EXPECT_EQ(dib.MakePalette(), 0) << count;
        EXPECT_EQ(dib.palette, nullptr) << "the old palette goes";
    }
    CDib colour(2, 1, 24), empty;
    EXPECT_EQ(colour.MakePalette(), 0);
    EXPECT_EQ(empty.MakePalette(), 0);
}

TEST(DibDraw, StretchesNearestNeighbourFromTheTopRowAndClips) {
    CDib dib(image_of(0, {{0, 1}, {2, 3}}).get(), 0, 0.0f, 0.0f);
    for (int k = 0; k < 4; ++k) dib.info[40 + 4 * k + 2] = static_cast<std::uint8_t>('0' + k);
    // Each pixel as the digit its red channel holds, '.' for untouched white.
    auto picture = [](const CMemoryDC& dc) {
        std::vector<std::string> rows(dc.height());
        for (int y = 0; y < dc.height(); ++y)
            for (int x = 0; x < dc.width(); ++x)
                rows[y] += dc.pixel(x, y)[1] == 255 ? '.' : static_cast<char>(dc.pixel(x, y)[0]);
        return rows;
    };

    CMemoryDC inside(5, 5);
    EXPECT_EQ(dib.Draw(&inside, 1, 1, 4, 3), 1);
    EXPECT_EQ(picture(inside),
              (std::vector<std::string>{".....", ".0011", ".0011", ".2233", "....."}));
    EXPECT_EQ(inside.realize_count(), 1) << "its own grey palette is realised";
    EXPECT_EQ(inside.selected_palette(), nullptr) << "and the old one selected back";

    CMemoryDC clipped(5, 5);
    EXPECT_EQ(dib.Draw(&clipped, -1, 3, 4, 4), 1);
    EXPECT_EQ(picture(clipped),
              (std::vector<std::string>{".....", ".....", ".....", "011..", "011.."}));
    EXPECT_EQ(dib.Draw(&clipped, 1000000, -1000000, 0x7FFFFFFF, 0x7FFFFFFF), 1);

    CDib empty;
    EXPECT_EQ(empty.Draw(&clipped, 0, 0, 5, 5), 0);
}

TEST(DibDraw, TrueColourDrawsThroughACopyOfTheSystemPalette) {
    const auto image = image_of(1, {{200, 100, 50}});
    CDib dib(image.get(), 0, 0.0f, 0.0f);
    ASSERT_EQ(dib.palette, nullptr);
    CMemoryDC dc(2, 2, 16);
    EXPECT_EQ(dib.Draw(&dc, 0, 0, 2, 2), 1);
    ASSERT_NE(dib.palette, nullptr);
    CPalette* copy = dib.palette;
    ASSERT_EQ(copy->entries().size(), 16u);
    EXPECT_EQ(copy->entries()[15].peRed, 255) << "the device's grey ramp";
    EXPECT_EQ(dib.Draw(&dc, 0, 0, 1, 1), 1);
    EXPECT_EQ(dib.palette, copy) << "later draws reuse the copy";
    EXPECT_EQ(dc.realize_count(), 2);
    EXPECT_EQ(Ints(dc.pixel(1, 1), dc.pixel(1, 1) + 3), Ints({200, 100, 50}));

    CDib counted(image.get(), 0, 0.0f, 0.0f);
    CMemoryDC fixed_colours(1, 1, 0, 16);
    EXPECT_EQ(counted.SetSystemPalette(&fixed_colours), 1);
    EXPECT_EQ(counted.palette->entries().size(), 16u);

    // Without a palette on the device none is made, and the bitmap still draws.
    CDib plain(image.get(), 0, 0.0f, 0.0f);
    CMemoryDC true_colour(1, 1);
    EXPECT_EQ(plain.SetSystemPalette(&true_colour), 0);
    EXPECT_EQ(plain.Draw(&true_colour, 0, 0, 1, 1), 1);
    EXPECT_EQ(plain.palette, nullptr);
    EXPECT_EQ(true_colour.realize_count(), 0);
    EXPECT_EQ(Ints(true_colour.pixel(0, 0), true_colour.pixel(0, 0) + 3), Ints({200, 100, 50}));
}

// Indexed bitmaps with grey and colour tables are read in tests/interop
// (test_peer_read.cpp); a 24-bit bitmap whose pixels are all grey is one
// channel too, and other depths give nothing.
TEST(DibFloat, MakeFloatImageIsOneChannelUntilAColourDiffers) {
    int rows = 0, cols = 0, color = -1;
    CDib grey_pixels(image_of(1, {{5, 5, 5}}).get(), 0, 0.0f, 0.0f);
    float** grey = grey_pixels.MakeFloatImage(&rows, &cols, &color);
    ASSERT_NE(grey, nullptr);
    EXPECT_EQ(Ints({rows, cols, color, static_cast<int>(grey[0][0])}), Ints({1, 1, 0, 5}));
    free_2D_float_array(grey);

    CDib deep(2, 2, 32), empty;
    EXPECT_EQ(deep.MakeFloatImage(&rows, &cols, &color), nullptr);
    EXPECT_EQ(empty.MakeFloatImage(&rows, &cols, &color), nullptr);
}

// Blue, green, red bytes with one pair unequal, at every place of a vector
// and in the tail: a single differing byte makes the picture colour.
TEST(DibFloat, AnyUnequalChannelMakesThePictureColour) {
    const int width = 37;
    for (int x = 0; x < width; ++x)
        for (int channel = 0; channel < 3; ++channel) {
            CDib dib(width, 1, 24);
            for (int k = 0; k < 3 * width; ++k) dib.bits[k] = 90;
            dib.bits[3 * x + channel] = 91;
            int rows = 0, cols = 0, color = -1;
            float** data = dib.MakeFloatImage(&rows, &cols, &color);
            ASSERT_NE(data, nullptr);
            EXPECT_EQ(color, 1) << "pixel " << x << ", byte " << channel;
            EXPECT_EQ(data[0][3 * x + 2 - channel], 91.0f) << "pixel " << x << ", byte " << channel;
            free_2D_float_array(data);
        }
}

TEST(DibFloat, MakeKnownFloatImageFillsTheCallersArray) {
    CDib colour(image_of(1, {{10, 20, 31, 0, 0, 0}, {1, 2, 3, 4, 5, 6}}).get(), 0, 0.0f, 0.0f);
    float** grey = make_2D_float_array(2, 2);
    EXPECT_EQ(colour.MakeKnownFloatImage(grey, 0), 1);
    EXPECT_EQ(grey[0][0], 61 * 0.33333334f) << "the integer sum times the float third";
    EXPECT_EQ(grey[1][1], 15 * 0.33333334f);

    CDib indexed(image_of(0, {{0, 200}}).get(), 0, 0.0f, 0.0f);
    EXPECT_EQ(indexed.MakeKnownFloatImage(grey, 0), 1);
    EXPECT_EQ(grey[0][1], 600 * 0.33333334f);
    free_2D_float_array(grey);

    float** rgb = make_2D_float_array(2, 6);
    EXPECT_EQ(colour.MakeKnownFloatImage(rgb, 1), 1);
    EXPECT_EQ(Floats(rgb[1], rgb[1] + 6), Floats({1, 2, 3, 4, 5, 6}));
    rgb[0][0] = -7.0f;
    EXPECT_EQ(colour.MakeKnownFloatImage(rgb, 2), 1);
    EXPECT_EQ(CDib(2, 2, 16).MakeKnownFloatImage(rgb, 1), 1);
    EXPECT_EQ(rgb[0][0], -7.0f) << "other modes and bit counts leave the array alone";
    free_2D_float_array(rgb);
}

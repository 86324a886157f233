// Pixel arithmetic: sums, products, maxima and minima of two images, masks,
// overlay and inversion.
#include <kalvio/image.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "message_recorder.h"
#include "pixel_test_images.h"

using namespace pixel_test;

namespace {

using Binary = CImage* (CImage::*)(CImage*);

Image run(Binary op, CImage& a, CImage* b) { return Image((a.*op)(b)); }

}  // namespace

// Every pairing of grey and colour, with distinct values so that a channel
// read from the wrong place shows; a grey operand feeds every channel.
TEST(PixelArithmetic, SumsAndProductsOfEveryPairingOfGreyAndColour) {
    const Image grey = image_of({{10, 20}}), grey2 = image_of({{3, 4}});
    const Image colour = image_of({{1, 2, 3, 4, 5, 6}}, 1), colour2 = image_of({{7, 8, 9, 10, 11, 12}}, 1);
    const Row grey_colour_sum{11, 12, 13, 24, 25, 26}, grey_colour_product{10, 20, 30, 80, 100, 120};
    const struct {
        CImage *a, *b;
        Row sum, product;
    } cases[] = {{grey.get(), grey2.get(), {13, 24}, {30, 80}},
                 {grey.get(), colour.get(), grey_colour_sum, grey_colour_product},
                 {colour.get(), colour2.get(), {8, 10, 12, 14, 16, 18}, {7, 16, 27, 40, 55, 72}},
                 {colour.get(), grey.get(), grey_colour_sum, grey_colour_product}};
    for (const auto& c : cases) {
        const Image sum(c.a->Addseq(c.b)), product(c.a->Multseq(c.b));
        ASSERT_TRUE(sum && product);
        EXPECT_EQ(rows_of(*sum), Rows{c.sum});
        EXPECT_EQ(rows_of(*product), Rows{c.product});
        EXPECT_EQ(header(*sum), (std::vector<int>{1, 2, c.a->color | c.b->color, c.a->format, KALVIO_TYPE_INT16}));
    }
}

// The worked examples, then exact ties: (1, 1, 2) has brightness
// 4 * 0.33333334f, which the grey value g below equals, and so does (0, 0, 4).
// Ties go to the other image, except grey against colour.
TEST(PixelArithmetic, MaximaAndMinimaCompareBrightnessAndSettleTies) {
    const Image grey61 = image_of({{61}}), grey60 = image_of({{60}}), colour180 = image_of({{30, 60, 90}}, 1);
    EXPECT_EQ(rows_of(*Image(grey61->Maxseq(colour180.get()))), (Rows{{61, 61, 61}}));
    // 180 * 0.33333334 = 60.0000018 beats 60 (in float the product is 60).
    EXPECT_EQ(rows_of(*Image(grey60->Maxseq(colour180.get()))), (Rows{{30, 60, 90}}));
    EXPECT_EQ(rows_of(*Image(grey60->Minseq(colour180.get()))), (Rows{{60, 60, 60}}));

    const float g = 4 * 0.33333334f;
    const Image grey = image_of({{g}}), colour = image_of({{1, 1, 2}}, 1), other = image_of({{0, 0, 4}}, 1);
    const struct {
        CImage *a, *b;
        Binary op;
        Row expected;
    } ties[] = {{grey.get(), colour.get(), &CImage::Maxseq, {g, g, g}},  {grey.get(), colour.get(), &CImage::Minseq, {g, g, g}},
                {colour.get(), grey.get(), &CImage::Maxseq, {g, g, g}},  {colour.get(), grey.get(), &CImage::Minseq, {g, g, g}},
                {colour.get(), other.get(), &CImage::Maxseq, {0, 0, 4}}, {other.get(), colour.get(), &CImage::Minseq, {1, 1, 2}}};
    for (const auto& t : ties) EXPECT_EQ(rows_of(*run(t.op, *t.a, t.b)), Rows{t.expected});
}

TEST(PixelArithmetic, MasksSetMaximumKeepOrOverlayRed) {
    // The largest sample is the last blue, beyond the first third of a row.
    const Image colour = image_of({{1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 99}}, 1);
    const Image grey = image_of({{-5, 15}, {5, 10}});
    const Image mask = image_of({{0, 1}, {2, 0}}), empty_mask = image_of({{0, 0}, {0, 0}});
    EXPECT_EQ(rows_of(*Image(colour->Orseq(mask.get()))), (Rows{{1, 2, 3, 99, 99, 99}, {99, 99, 99, 10, 11, 99}}));
    EXPECT_EQ(rows_of(*Image(colour->Orseq(empty_mask.get()))), rows_of(*colour));
    EXPECT_EQ(rows_of(*Image(grey->Orseq(mask.get()))), (Rows{{-5, 15}, {15, 10}}));
    EXPECT_EQ(rows_of(*Image(colour->Andseq(mask.get()))), (Rows{{0, 0, 0, 4, 5, 6}, {7, 8, 9, 0, 0, 0}}));
    EXPECT_EQ(rows_of(*Image(grey->Andseq(mask.get()))), (Rows{{0, 15}, {5, 0}}));

    // Grey -5..15 stretched onto 0..255, red under the mask; always colour.
    const Image overlay(grey->Superpose(mask.get()));
    ASSERT_TRUE(overlay);
    EXPECT_EQ(header(*overlay), (std::vector<int>{2, 2, 1, KALVIO_FORMAT_PGM, KALVIO_TYPE_INT16}));
    EXPECT_EQ(rows_of(*overlay), (Rows{{0, 0, 0, 255, 0, 0}, {255, 0, 0, 191.25f, 191.25f, 191.25f}}));
    EXPECT_EQ(rows_of(*Image(colour->Superpose(mask.get()))), (Rows{{1, 2, 3, 255, 0, 0}, {255, 0, 0, 10, 11, 99}}));
    // A constant grey image has no range to stretch: 0 outside the mask.
    const Image flat = image_of({{7, 7}, {7, 7}});
    EXPECT_EQ(rows_of(*Image(flat->Superpose(mask.get()))), (Rows{{0, 0, 0, 255, 0, 0}, {255, 0, 0, 0, 0, 0}}));
}

TEST(PixelArithmetic, InvertMirrorsGreyRangeAndColourChannels) {
    EXPECT_EQ(rows_of(*Image(image_of({{2, 7}, {4, 5}})->Invert())), (Rows{{7, 2}, {5, 4}}));
    EXPECT_EQ(rows_of(*Image(image_of({{0, 100, 255.5f}}, 1)->Invert())), (Rows{{255, 155, -0.5f}}));
    EXPECT_EQ(rows_of(*Image(image_of({{9, 9, 9}})->Invert())), (Rows{{9, 9, 9}}));
}

// Every two-image operation, the overlay included, refuses operands of
// different sizes with the message; missing operands or pixels silently.
TEST(PixelArithmetic, MismatchedOrMissingOperandsGiveNull) {
    const Image a = random_image(3, 4, 0, 1), b = random_image(4, 3, 1, 2);
    const Rows a_before = rows_of(*a);
    CImage empty;
    CImage no_pixels(3, 4, 2, KALVIO_FORMAT_QVF, KALVIO_TYPE_FLOAT);
    for (Binary op : {&CImage::Addseq, &CImage::Multseq, &CImage::Maxseq, &CImage::Minseq, &CImage::Orseq,
                      &CImage::Andseq, &CImage::Superpose}) {
        kalvio_test::MessageRecorder messages;
        EXPECT_EQ(run(op, *a, b.get()), nullptr);
        EXPECT_EQ(messages.texts(), std::vector<std::string>{"The two images should have the same size"});
        messages.clear();
        for (auto [x, y] : {std::pair{a.get(), static_cast<CImage*>(nullptr)}, {a.get(), &no_pixels},
                            {&no_pixels, a.get()}, {&empty, &empty}})
            EXPECT_EQ(run(op, *x, y), nullptr);
        EXPECT_TRUE(messages.texts().empty());
        EXPECT_EQ(rows_of(*a), a_before);
    }
    EXPECT_EQ(Image(empty.Invert()), nullptr);
    EXPECT_EQ(Image(no_pixels.Invert()), nullptr);
}

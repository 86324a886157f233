// CImage: construction, deep copies, run-time class, pixel access and the
// grey/colour conversions.
#include <kalvio/arrays.h>
#include <kalvio/image.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "message_recorder.h"

namespace {

using Floats = std::vector<float>;
using Ints = std::vector<int>;

// The scalar fields in the order the sized constructor takes them:
// rows, columns, colour, format, sample type.
Ints header(const CImage& image) {
    return {image.nrows, image.ncols, image.color, image.format, image.datatype};
}

// Names of the arrays the image holds, e.g. "data mag dir".
std::string arrays(const CImage& image) {
    std::string names;
    for (auto [array, name] : {std::pair{image.data, "data"}, {image.mag, "mag"},
                               {image.dir, "dir"}, {image.scale, "scale"}})
        if (array) names += (names.empty() ? "" : " ") + std::string(name);
    return names;
}

// Fills a rows x length array with values unique to each place.
void fill_distinct(float** a, int rows, int length, float base = 0.0f) {
    for (int r = 0; r < rows; ++r)
        for (int i = 0; i < length; ++i) a[r][i] = base + static_cast<float>(r * 1000 + i);
}

void expect_same_samples(float** a, float** b, int rows, int length) {
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b) << "copies must not share arrays";
    for (int r = 0; r < rows; ++r)
        EXPECT_EQ(Floats(a[r], a[r] + length), Floats(b[r], b[r] + length)) << "row " << r;
}

// The three channels of pixel (r, c) of a colour image.
Floats rgb(const CImage& image, int r, int c) {
    return Floats(image.data[r] + 3 * c, image.data[r] + 3 * c + 3);
}

// Grey 3 x 4 image with data, mag and dir filled, and no scale plane.
std::unique_ptr<CImage> image_with_planes() {
    auto image = std::make_unique<CImage>(3, 4, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_INT16);
    image->mag = make_2D_float_array(3, 4);
    image->dir = make_2D_float_array(3, 4);
    fill_distinct(image->data, 3, 4);
    fill_distinct(image->mag, 3, 4, 0.5f);
    fill_distinct(image->dir, 3, 4, -7.0f);
    return image;
}

}  // namespace

TEST(ImageConstruction, DefaultAndSizedImages) {
    EXPECT_EQ(header(CImage()), (Ints{0, 0, 0, KALVIO_FORMAT_QVF, KALVIO_TYPE_FLOAT}));
    EXPECT_EQ(arrays(CImage()), "");
    // Colour rows interleave three floats per pixel, all 0; colour modes
    // other than grey and colour have no pixels.
    CImage colour(4, 5, 1, KALVIO_FORMAT_PPM, KALVIO_TYPE_UINT8);
    ASSERT_EQ(arrays(colour), "data");
    EXPECT_EQ(colour.data[1] - colour.data[0], 15);
    for (int r = 0; r < 4; ++r) EXPECT_EQ(Floats(colour.data[r], colour.data[r] + 15), Floats(15, 0.0f));
    colour.data[3][14] = 1.0f;  // the last sample lies inside the array
    EXPECT_EQ(arrays(CImage(4, 5, 2, KALVIO_FORMAT_QVF, KALVIO_TYPE_FLOAT)), "");
}

TEST(ImageConstruction, PixelConstructorCopiesAndLeavesCallerArrayAlone) {
    float** pixels = make_2D_float_array(2, 9);
    fill_distinct(pixels, 2, 9);
    {
        CImage image(2, 3, 1, pixels, KALVIO_FORMAT_PPM, KALVIO_TYPE_UINT8);
        expect_same_samples(image.data, pixels, 2, 9);
        image.data[0][0] = -1.0f;
        EXPECT_EQ(pixels[0][0], 0.0f);
    }
    EXPECT_EQ(pixels[1][8], 1008.0f);  // still ours and intact after the image is gone
    free_2D_float_array(pixels);
}

TEST(ImageConstruction, UnallocatableSizesLeaveNoDataAfterOneMessage) {
    const Ints cases[] = {{1 << 30, 1 << 30, 1}, {1 << 30, 1 << 30, 0}, {1, INT_MAX, 1},
                          {-1, 4, 0},            {4, -1, 1}};
    for (const Ints& c : cases) {
        kalvio_test::MessageRecorder messages;
        CImage image(c[0], c[1], c[2], KALVIO_FORMAT_PGM, KALVIO_TYPE_UINT8);
        EXPECT_EQ(image.data, nullptr) << c[0] << " x " << c[1];
        EXPECT_EQ(messages.texts(),
                  std::vector<std::string>{"Can't allocate core in make_2D_float_array"});
    }
}

TEST(ImageCopy, CopiesAreDeepAndHaveOnlyThePlanesTheSourceHas) {
    const auto source = image_with_planes();
    const CImage by_pointer(source.get());
    const CImage by_reference(*source);
    for (const CImage* copy : {&by_pointer, &by_reference}) {
        EXPECT_EQ(header(*copy), header(*source));
        EXPECT_EQ(arrays(*copy), "data mag dir");
        expect_same_samples(copy->data, source->data, 3, 4);
        expect_same_samples(copy->mag, source->mag, 3, 4);
        expect_same_samples(copy->dir, source->dir, 3, 4);
    }
    by_pointer.data[0][0] = 99.0f;
    by_pointer.mag[2][3] = 99.0f;
    EXPECT_EQ(source->data[0][0], 0.0f);
    EXPECT_EQ(source->mag[2][3], 2003.5f);

    const CImage from_null(static_cast<const CImage*>(nullptr));
    EXPECT_EQ(header(from_null), header(CImage()));
    EXPECT_EQ(arrays(from_null), "");

    // Planes hold one float per pixel, also for colour images.
    CImage colour(2, 3, 1, KALVIO_FORMAT_PPM, KALVIO_TYPE_UINT8);
    colour.scale = make_2D_float_array(2, 3);
    fill_distinct(colour.data, 2, 9);
    fill_distinct(colour.scale, 2, 3, 0.25f);
    const CImage colour_copy(colour);
    EXPECT_EQ(arrays(colour_copy), "data scale");
    expect_same_samples(colour_copy.data, colour.data, 2, 9);
    expect_same_samples(colour_copy.scale, colour.scale, 2, 3);
}

TEST(ImageCopy, AssignmentReplacesEveryArrayAndSurvivesSelfAssignment) {
    CImage target(5, 6, 1, KALVIO_FORMAT_BMP, KALVIO_TYPE_UINT8);
    target.mag = make_2D_float_array(5, 6);
    target.dir = make_2D_float_array(5, 6);
    target.scale = make_2D_float_array(5, 6);

    const auto source = image_with_planes();
    target = *source;
    EXPECT_EQ(header(target), header(*source));
    EXPECT_EQ(arrays(target), "data mag dir") << "a plane the source lacks must go";
    expect_same_samples(target.data, source->data, 3, 4);
    expect_same_samples(target.mag, source->mag, 3, 4);
    expect_same_samples(target.dir, source->dir, 3, 4);

    target = CImage(3, 4, 2, KALVIO_FORMAT_QVF, KALVIO_TYPE_FLOAT);
    EXPECT_EQ(header(target), (Ints{3, 4, 2, KALVIO_FORMAT_QVF, KALVIO_TYPE_FLOAT}));
    EXPECT_EQ(arrays(target), "");

    CImage& alias = *source;
    *source = alias;
    EXPECT_EQ(header(*source), (Ints{3, 4, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_INT16}));
    ASSERT_EQ(arrays(*source), "data mag dir");
    EXPECT_EQ(source->data[2][3], 2003.0f);
    EXPECT_EQ(source->dir[1][1], 994.0f);
}

// Creation by name is checked for the library's classes in test_object.cpp.
TEST(ImageRuntimeClass, DeletingThroughEitherPointerReleasesAllArrays) {
    // Leak detection at exit reports any array left behind.
    CObject* as_object = image_with_planes().release();
    delete as_object;
    CImage colour(2, 2, 1, KALVIO_FORMAT_PPM, KALVIO_TYPE_UINT8);
    CImage* gray = colour.MakeGray();
    gray->scale = make_2D_float_array(2, 2);
    delete gray;
    CObject* gray_as_object = colour.MakeGray();
    delete gray_as_object;
}

TEST(ImagePixels, SetPixelFromFloatAndPackedColour) {
    CImage grey(2, 3, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_UINT8);
    CImage colour(2, 3, 1, KALVIO_FORMAT_PPM, KALVIO_TYPE_UINT8);
    grey.SetPixel(1, 2, 7.5f);
    colour.SetPixel(1, 2, 7.5f);
    EXPECT_EQ(grey.data[1][2], 7.5f);
    EXPECT_EQ(rgb(colour, 1, 2), Floats(3, 7.5f));
    EXPECT_EQ(rgb(colour, 1, 1), Floats(3, 0.0f));

    // Red in the low byte; the top byte is not part of the colour.
    for (unsigned long packed : {0x00FF8040UL, 0xAAFF8040UL}) {
        colour.SetPixel(0, 1, packed);
        grey.SetPixel(0, 1, packed);
        EXPECT_EQ(rgb(colour, 0, 1), (Floats{64.0f, 128.0f, 255.0f}));
        EXPECT_EQ(grey.data[0][1], 149.0f);  // 447 * 0.33333334f rounds to exactly 149
    }
    // A sum of 5 tells the single-precision third apart from a division by 3.
    grey.SetPixel(0, 0, 0x00020201UL);
    EXPECT_EQ(grey.data[0][0], 5.0f * 0.33333334f);
    EXPECT_NE(grey.data[0][0], 5.0f / 3.0f);
}

TEST(ImagePixels, WindowCenterMapsGreyValuesThroughTableTruncatingTowardZero) {
    int table[6] = {100, 101, 102, 103, 104, 105};
    CImage grey(1, 4, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_UINT8);
    const Floats values = {3.7f, 0.0f, 5.0f, 1.99f};
    std::copy(values.begin(), values.end(), grey.data[0]);
    grey.WindowCenter(table);
    EXPECT_EQ(Floats(grey.data[0], grey.data[0] + 4), (Floats{103.0f, 100.0f, 105.0f, 101.0f}));

    CImage colour(1, 2, 1, KALVIO_FORMAT_PPM, KALVIO_TYPE_UINT8);
    fill_distinct(colour.data, 1, 6, 1000.0f);  // far outside the table
    colour.WindowCenter(table);
    EXPECT_EQ(rgb(colour, 0, 1), (Floats{1003.0f, 1004.0f, 1005.0f}));
}

// The split itself is checked through the smoothing of colour images
// (test_gaussian.cpp); nothing is written unless all three outputs fit and
// the input is colour.
TEST(ImageConversion, ComputeRGBWritesOnlyMatchingOutputs) {
    CImage colour(2, 3, 1, KALVIO_FORMAT_PPM, KALVIO_TYPE_UINT8);
    fill_distinct(colour.data, 2, 9, 1.0f);
    CImage out_r(2, 3, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_UINT8);
    CImage out_g(2, 3, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_UINT8);
    CImage wrong_size(3, 2, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_UINT8);
    CImage no_pixels(2, 3, 2, KALVIO_FORMAT_PGM, KALVIO_TYPE_UINT8);
    CImage grey(2, 3, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_UINT8);
    fill_distinct(grey.data, 2, 3, 1.0f);
    colour.ComputeRGB(&out_r, &out_g, &wrong_size);
    colour.ComputeRGB(&out_r, &out_g, &no_pixels);
    colour.ComputeRGB(&out_r, &out_g, nullptr);
    colour.ComputeRGB(nullptr, nullptr, nullptr);
    grey.ComputeRGB(&out_r, &out_g, &out_g);
    for (const CImage* out : {&out_r, &out_g, &wrong_size})
        for (int r = 0; r < out->nrows; ++r)
            EXPECT_EQ(Floats(out->data[r], out->data[r] + out->ncols), Floats(out->ncols, 0.0f));
}

TEST(ImageConversion, MakeGrayAveragesChannelsIntoFloatImage) {
    CImage colour(2, 2, 1, KALVIO_FORMAT_BMP, KALVIO_TYPE_UINT8);
    colour.SetPixel(0, 0, 0x00FF8040UL);
    std::copy_n(Floats{1.0f, 2.0f, 2.0f}.begin(), 3, colour.data[1] + 3);
    std::unique_ptr<CImage> gray(colour.MakeGray());
    ASSERT_NE(gray, nullptr);
    EXPECT_EQ(header(*gray), (Ints{2, 2, 0, KALVIO_FORMAT_BMP, KALVIO_TYPE_FLOAT}));
    EXPECT_EQ(arrays(*gray), "data");
    EXPECT_EQ(gray->data[0][0], 149.0f);
    EXPECT_EQ(gray->data[0][1], 0.0f);
    EXPECT_EQ(gray->data[1][1], 5.0f * 0.33333334f);

    CImage grey(2, 3, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_UINT8);
    fill_distinct(grey.data, 2, 3, 0.1f);
    std::unique_ptr<CImage> grey_copy(grey.MakeGray());
    ASSERT_NE(grey_copy, nullptr);
    EXPECT_EQ(header(*grey_copy), (Ints{2, 3, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_FLOAT}));
    expect_same_samples(grey_copy->data, grey.data, 2, 3);

    CImage empty, no_pixels(2, 2, 2, KALVIO_FORMAT_PGM, KALVIO_TYPE_UINT8);
    EXPECT_EQ(empty.MakeGray(), nullptr);
    EXPECT_EQ(no_pixels.MakeGray(), nullptr);
    EXPECT_EQ(empty.MakeColor(1), nullptr);
    EXPECT_EQ(no_pixels.MakeColor(0), nullptr);
}

TEST(ImageConversion, MakeColorCopiesOrRescalesIntoAllChannels) {
    CImage grey(1, 2, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_FLOAT);
    // Grey values of the two pixels, then the channels expected without and with rescaling.
    const struct { float a, b; Floats plain_a, plain_b, scaled_a, scaled_b; } cases[] = {
        {10.0f, 20.0f, Floats(3, 10.0f), Floats(3, 20.0f), Floats(3, 0.0f), Floats(3, 255.0f)},
        {42.0f, 42.0f, Floats(3, 42.0f), Floats(3, 42.0f), Floats(3, 0.0f), Floats(3, 0.0f)},
        // Wholly above a million, yet still spanning the full range.
        {2e6f, 3e6f, Floats(3, 2e6f), Floats(3, 3e6f), Floats(3, 0.0f), Floats(3, 255.0f)},
    };
    for (const auto& c : cases) {
        grey.data[0][0] = c.a;
        grey.data[0][1] = c.b;
        std::unique_ptr<CImage> plain(grey.MakeColor(0));
        std::unique_ptr<CImage> scaled(grey.MakeColor(1));
        ASSERT_NE(plain, nullptr);
        ASSERT_NE(scaled, nullptr);
        EXPECT_EQ(header(*plain), (Ints{1, 2, 1, KALVIO_FORMAT_PGM, KALVIO_TYPE_UINT8}));
        EXPECT_EQ(header(*scaled), header(*plain));
        EXPECT_EQ(rgb(*plain, 0, 0), c.plain_a) << c.a << ", " << c.b;
        EXPECT_EQ(rgb(*plain, 0, 1), c.plain_b) << c.a << ", " << c.b;
        EXPECT_EQ(rgb(*scaled, 0, 0), c.scaled_a) << c.a << ", " << c.b;
        EXPECT_EQ(rgb(*scaled, 0, 1), c.scaled_b) << c.a << ", " << c.b;
    }

    CImage colour(1, 1, 1, KALVIO_FORMAT_PPM, KALVIO_TYPE_FLOAT);
    colour.SetPixel(0, 0, 0x00FF8040UL);
    std::unique_ptr<CImage> colour_copy(colour.MakeColor(0));
    std::unique_ptr<CImage> colour_scaled(colour.MakeColor(1));
    EXPECT_EQ(rgb(*colour_copy, 0, 0), (Floats{64.0f, 128.0f, 255.0f}));
    EXPECT_EQ(rgb(*colour_scaled, 0, 0), (Floats{0.0f, 64.0f * 255.0f / 191.0f, 255.0f}));
}

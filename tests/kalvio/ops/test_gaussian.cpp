// Recursive Gaussian filters: the coefficient tables' impulse responses, the
// line and image filters against a plain scalar recursion, smoothed derivatives, smoothing and the
// linear stretch.
#include <kalvio/arrays.h>
#include <kalvio/gaussian.h>
#include <kalvio/image.h>

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <stdlib.h>
#include <sys/resource.h>
#include <vector>

namespace {

using Floats = std::vector<float>;

// A coefficient table that releases itself.
struct Table {
    float** t = make_2D_float_array(5, 5);
    Table(bool derivative, float sigma) { derivative ? fdga(sigma, t) : ga(sigma, t); }
    ~Table() { free_2D_float_array(t); }
};

// The recursion written out plainly: the line padded with four repeated
// samples on each side, outputs outside the line 0, every sum evaluated left
// to right in float. The library must give exactly these bits.
Floats reference_filter(float* const* t, const Floats& line) {
    const int n = static_cast<int>(line.size());
    const auto x = [&](int i) { return line[i < 0 ? 0 : i >= n ? n - 1 : i]; };
    Floats causal(n + 4, 0.0f), anticausal(n + 4, 0.0f), out(n);
    const auto yp = [&](int i) -> float& { return causal[i + 4]; };  // index -4 .. n-1
    const auto ym = [&](int i) -> float& { return anticausal[i]; };  // index 0 .. n+3
    for (int i = 0; i < n; ++i)
        yp(i) = t[0][0] * x(i) + t[0][1] * x(i - 1) + t[0][2] * x(i - 2) + t[0][3] * x(i - 3) -
                t[1][1] * yp(i - 1) - t[1][2] * yp(i - 2) - t[1][3] * yp(i - 3) -
                t[1][4] * yp(i - 4);
    for (int i = n - 1; i >= 0; --i)
        ym(i) = t[2][1] * x(i + 1) + t[2][2] * x(i + 2) + t[2][3] * x(i + 3) + t[2][4] * x(i + 4) -
                t[3][1] * ym(i + 1) - t[3][2] * ym(i + 2) - t[3][3] * ym(i + 3) -
                t[3][4] * ym(i + 4);
    for (int i = 0; i < n; ++i) out[i] = (yp(i) + ym(i)) / t[2][0];
    return out;
}

using Image = std::unique_ptr<CImage>;

Image random_image(int rows, int cols, int color, unsigned seed) {
    Image image = std::make_unique<CImage>(rows, cols, color, KALVIO_FORMAT_PGM, KALVIO_TYPE_INT16);
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> value(-100.0f, 100.0f);
    for (int r = 0; r < rows; ++r)
        for (int i = 0; i < cols * (color ? 3 : 1); ++i) image->data[r][i] = value(random);
    return image;
}

// The reference filter along each row (x) or column (y) of the grey layout.
std::vector<Floats> reference_image(float* const* t, const CImage& image, bool along_x) {
    std::vector<Floats> out(image.nrows, Floats(image.ncols));
    const int lines = along_x ? image.nrows : image.ncols;
    const int length = along_x ? image.ncols : image.nrows;
    for (int l = 0; l < lines; ++l) {
        Floats line(length);
        for (int i = 0; i < length; ++i) line[i] = along_x ? image.data[l][i] : image.data[i][l];
        const Floats filtered = reference_filter(t, line);
        for (int i = 0; i < length; ++i) (along_x ? out[l][i] : out[i][l]) = filtered[i];
    }
    return out;
}

Image image_from(const std::vector<Floats>& rows) {
    Image image = std::make_unique<CImage>(static_cast<int>(rows.size()),
                                           static_cast<int>(rows[0].size()), 0,
                                           KALVIO_FORMAT_NONE, KALVIO_TYPE_FLOAT);
    for (std::size_t r = 0; r < rows.size(); ++r)
        std::copy(rows[r].begin(), rows[r].end(), image->data[r]);
    return image;
}

// Bit-for-bit equality of the grey layout, reporting the first difference.
void expect_same_bits(const CImage& image, const std::vector<Floats>& expected, float factor = 1) {
    ASSERT_EQ(image.nrows, static_cast<int>(expected.size()));
    for (int r = 0; r < image.nrows; ++r)
        for (int c = 0; c < image.ncols; ++c)
            ASSERT_EQ(std::bit_cast<std::uint32_t>(image.data[r][c]),
                      std::bit_cast<std::uint32_t>(expected[r][c] * factor))
                << "at row " << r << ", column " << c << ": " << image.data[r][c] << " vs "
                << expected[r][c] * factor;
}

struct Size {
    int rows, cols;
};
// Short lines, sizes around the vector widths (4, 8, 16) and the four-row
// rings of the filter along y, and remainders of each.
const Size kAwkwardSizes[] = {{1, 1},   {1, 7},   {3, 5},  {2, 2},   {4, 4},  {7, 1},
                              {17, 33}, {100, 3}, {16, 16}, {33, 17}, {5, 101}, {40, 9},
                              {70, 23}, {20, 2},  {11, 267}};  // 267: two strips along y and a rest
const float kSigmas[] = {0.6f, 1.0f, 2.5f, 9.0f};

// Caps the instruction set the filters choose at run time (KALVIO_SIMD);
// null leaves them the widest the processor has, "none" takes the portable
// kernels. A build without the x86 kernels runs the portable ones for all.
struct SimdLimit {
    explicit SimdLimit(const char* limit) {
        if (limit) setenv("KALVIO_SIMD", limit, 1);
    }
    ~SimdLimit() { unsetenv("KALVIO_SIMD"); }
};
const char* const kSimdLimits[] = {nullptr, "avx2", "sse2", "none"};

}  // namespace

// Independent of the recursion's form: the impulse response of ga is a
// sampled Gaussian and that of fdga its derivative, up to a gain.
TEST(GaussTable, ImpulseResponsesFollowTheGaussianAndItsDerivative) {
    const float sigma = 3.0f;
    const int n = 101, centre = 50;
    Floats smooth(n, 0.0f), slope(n, 0.0f);
    smooth[centre] = slope[centre] = 1.0f;
    apply_IIR4_filter_z(Table(false, sigma).t, smooth.data(), n);
    apply_IIR4_filter_z(Table(true, sigma).t, slope.data(), n);
    double sum = 0, moment = 0;
    for (int i = 0; i < n; ++i) sum += smooth[i], moment += slope[i] * (i - centre);
    for (int i = 0; i < n; ++i) {
        const double k = i - centre;
        const double g = std::exp(-k * k / (2 * sigma * sigma)) / std::sqrt(2 * M_PI) / sigma;
        EXPECT_NEAR(smooth[i] / sum, g, 2e-4) << i;
        EXPECT_NEAR(slope[i] / moment, k * g / (sigma * sigma), 2e-4) << i;
    }
}

namespace {

void expect_filters_match_reference(Size size, float sigma, bool derivative, unsigned seed) {
    const Table table(derivative, sigma);
    const Image image = random_image(size.rows, size.cols, 0, seed);
    const Image along_x(image->apply_IIR4_filter_x(table.t));
    const Image along_y(image->apply_IIR4_filter_y(table.t));
    ASSERT_TRUE(along_x && along_y);
    expect_same_bits(*along_x, reference_image(table.t, *image, true));
    expect_same_bits(*along_y, reference_image(table.t, *image, false));
    EXPECT_EQ(along_x->format, KALVIO_FORMAT_PGM);
    EXPECT_EQ(along_y->datatype, KALVIO_TYPE_INT16);

    const Floats row(image->data[0], image->data[0] + size.cols);
    Floats line = row;
    apply_IIR4_filter_z(table.t, line.data(), size.cols);
    expect_same_bits(*image_from({line}), {reference_filter(table.t, row)});
}

// Smoothing and the derivatives chain two filters (the second one writing
// over the first one's result); each must equal the reference pair.
void expect_chains_match_reference(Size size, float sigma, unsigned seed) {
    const Table smooth(false, sigma), slope(true, sigma);
    const Image image = random_image(size.rows, size.cols, 0, seed);
    const Image smoothed(image->smooth_image(sigma));
    const Image dx(image->first_derivative_x(sigma)), dy(image->first_derivative_y(sigma));
    ASSERT_TRUE(smoothed && dx && dy);
    const auto then = [&](float* const* t, const std::vector<Floats>& rows, bool along_x) {
        return reference_image(t, *image_from(rows), along_x);
    };
    expect_same_bits(*smoothed, then(smooth.t, reference_image(smooth.t, *image, true), false));
    expect_same_bits(*dx, then(smooth.t, reference_image(slope.t, *image, true), false), 0.5f);
    expect_same_bits(*dy, then(smooth.t, reference_image(slope.t, *image, false), true), 0.5f);
    EXPECT_EQ(smoothed->datatype, KALVIO_TYPE_INT16) << "a grey image is not stretched";
}

}  // namespace

// Pictures of a megapixel or more are filtered in pieces side by side; the
// bits must not depend on how many threads take them, nor differ from the
// scalar recursion. 1031 x 4100 leaves remainders in every piece and vector.
TEST(IirFilter, LargePicturesMatchTheScalarRecursionWhateverTheThreadCount) {
    const Table smooth(false, 2.0f);
    const Image image = random_image(1031, 4100, 0, 77);
    const auto filtered = [&](const char* threads) {
        setenv("KALVIO_THREADS", threads, 1);
        std::vector<Image> out;
        out.emplace_back(image->smooth_image(2.0f));
        out.emplace_back(image->first_derivative_x(2.0f));
        out.emplace_back(image->first_derivative_y(2.0f));
        out.emplace_back(image->apply_IIR4_filter_x(smooth.t));
        unsetenv("KALVIO_THREADS");
        return out;
    };
    const auto rows_of = [](const CImage& i) {
        std::vector<Floats> rows;
        for (int r = 0; r < i.nrows; ++r) rows.emplace_back(i.data[r], i.data[r] + i.ncols);
        return rows;
    };
    const std::vector<Image> one = filtered("1"), three = filtered("3");
    for (std::size_t i = 0; i < one.size(); ++i) {
        ASSERT_TRUE(one[i] && three[i]);
        expect_same_bits(*three[i], rows_of(*one[i]));
    }
    const std::vector<Floats> expected_x = reference_image(smooth.t, *image, true);
    expect_same_bits(*one[3], expected_x);
    expect_same_bits(*one[0], reference_image(smooth.t, *image_from(expected_x), false));
}

TEST(IirFilter, FiltersSmoothingAndDerivativesMatchTheScalarRecursionBitForBit) {
    unsigned seed = 1;
    for (const char* limit : kSimdLimits) {
        const SimdLimit simd(limit);
        for (const Size size : kAwkwardSizes)
            for (float sigma : kSigmas) {
                SCOPED_TRACE(::testing::Message() << size.rows << " x " << size.cols << ", sigma " << sigma
                                                  << ", simd " << (limit ? limit : "best"));
                for (bool derivative : {false, true}) {
                    SCOPED_TRACE(derivative ? "fdga" : "ga");
                    expect_filters_match_reference(size, sigma, derivative, seed++);
                }
                if (sigma == 1.0f || sigma == 2.5f) expect_chains_match_reference(size, sigma, seed++);
            }
    }
}

TEST(IirFilter, ColourImagesAreFilteredInTheGreyLayout) {
    const Table table(false, 1.5f);
    const Image image = random_image(9, 6, 1, 7);
    const Image along_x(image->apply_IIR4_filter_x(table.t));
    ASSERT_TRUE(along_x);
    EXPECT_EQ(along_x->color, 1);
    expect_same_bits(*along_x, reference_image(table.t, *image, true));
    for (int r = 0; r < 9; ++r)
        EXPECT_EQ(Floats(along_x->data[r] + 6, along_x->data[r] + 18), Floats(12, 0.0f));
}

TEST(IirFilter, ImagesWithoutPixelsOrTableGiveNull) {
    const Table table(false, 1.0f);
    CImage empty;
    CImage no_rows(0, 5, 0, KALVIO_FORMAT_NONE, KALVIO_TYPE_FLOAT);
    CImage no_cols(4, 0, 0, KALVIO_FORMAT_NONE, KALVIO_TYPE_FLOAT);
    CImage no_array(3, 3, 2, KALVIO_FORMAT_NONE, KALVIO_TYPE_FLOAT);
    for (CImage* image : {&empty, &no_rows, &no_cols, &no_array}) {
        EXPECT_EQ(image->apply_IIR4_filter_x(table.t), nullptr);
        EXPECT_EQ(image->apply_IIR4_filter_y(table.t), nullptr);
        EXPECT_EQ(image->first_derivative_x(1.0f), nullptr);
        EXPECT_EQ(image->first_derivative_y(1.0f), nullptr);
        EXPECT_EQ(image->smooth_image(1.0f), nullptr);
    }
    CImage grey(3, 3, 0, KALVIO_FORMAT_NONE, KALVIO_TYPE_FLOAT);
    EXPECT_EQ(grey.apply_IIR4_filter_x(nullptr), nullptr);
    EXPECT_EQ(grey.apply_IIR4_filter_y(nullptr), nullptr);
    float value = 3.0f;
    apply_IIR4_filter_z(table.t, &value, 0);
    apply_IIR4_filter_z(table.t, nullptr, 4);
    EXPECT_EQ(value, 3.0f);
}

TEST(SmoothImage, ConstantImageGainsAsDocumented) {
    CImage image(40, 40, 0, KALVIO_FORMAT_NONE, KALVIO_TYPE_FLOAT);
    for (int r = 0; r < 40; ++r) std::fill(image.data[r], image.data[r] + 40, 5.0f);
    for (const auto& [sigma, expected] : {std::pair{1.0f, 6.75f}, {2.0f, 9.72f}}) {
        const Image smooth(image.smooth_image(sigma));
        ASSERT_TRUE(smooth);
        EXPECT_NEAR(smooth->data[20][20], expected, 0.01f) << "sigma " << sigma;
    }
}

TEST(SmoothImage, ColourChannelsAreEachStretchedToTheFullRange) {
    const Image image = random_image(12, 14, 1, 5);
    for (int r = 0; r < 12; ++r)
        for (int c = 0; c < 14; ++c) image->data[r][3 * c + 1] *= 0.01f;  // a faint channel
    const Image smooth(image->smooth_image(1.5f));
    ASSERT_TRUE(smooth);
    EXPECT_EQ(smooth->color, 1);
    EXPECT_EQ(smooth->datatype, KALVIO_TYPE_INT16);
    for (int channel = 0; channel < 3; ++channel) {
        CImage grey(12, 14, 0, KALVIO_FORMAT_NONE, KALVIO_TYPE_FLOAT);
        for (int r = 0; r < 12; ++r)
            for (int c = 0; c < 14; ++c) grey.data[r][c] = image->data[r][3 * c + channel];
        const Image expected(grey.smooth_image(1.5f));
        expected->Normalize(0.0f, 255.0f);
        float low = 1e9f, high = -1e9f;
        for (int r = 0; r < 12; ++r)
            for (int c = 0; c < 14; ++c) {
                const float v = smooth->data[r][3 * c + channel];
                EXPECT_EQ(v, expected->data[r][c]);
                low = std::min(low, v), high = std::max(high, v);
            }
        EXPECT_EQ(low, 0.0f) << "channel " << channel;
        EXPECT_EQ(high, 255.0f) << "channel " << channel;
    }
}

// The filter along y keeps a causal row of scratch for every picture row;
// for a picture one column wide that row must be about one column wide too,
// not a whole strip's. ru_maxrss is the process's peak, which ctest measures
// for this test alone.
TEST(SmoothImage, NarrowPicturesTakeScratchInProportionToTheirSize) {
    const Image image = random_image(1 << 18, 1, 0, 9);  // 1 MiB of floats
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    const Image smooth(image->smooth_image(1.5f));
    getrusage(RUSAGE_SELF, &after);
    ASSERT_TRUE(smooth);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 32 * 1024) << "KiB more at the peak";
}

TEST(FirstDerivative, RampGivesTheDocumentedSlopes) {
    CImage ramp(40, 40, 0, KALVIO_FORMAT_NONE, KALVIO_TYPE_FLOAT);
    for (int r = 0; r < 40; ++r)
        for (int c = 0; c < 40; ++c) ramp.data[r][c] = static_cast<float>(c);
    const Image dx1(ramp.first_derivative_x(1.0f)), dx2(ramp.first_derivative_x(2.0f));
    const Image dy1(ramp.first_derivative_y(1.0f));
    ASSERT_TRUE(dx1 && dx2 && dy1);
    EXPECT_NEAR(dx1->data[20][20], -0.633f, 0.001f);
    EXPECT_NEAR(dx2->data[20][20], -0.730f, 0.001f);
    // Across rows the ramp is constant; n0 of fdga leaves a response
    // proportional to the value.
    EXPECT_NEAR(dy1->data[20][20], -0.011f, 0.0005f);
    EXPECT_NEAR(dy1->data[20][10], dy1->data[20][20] / 2, 0.0005f);
}

// The range maps onto [low, high], a constant image becomes low, a colour
// image stretches only the first columns of each row; the type becomes bytes.
TEST(Normalize, StretchesOntoTheRangeAndMarksBytes) {
    Image image = image_from({{2.0f, 4.0f, 6.0f}});
    image->Normalize(0.0f, 1.0f);
    EXPECT_EQ(Floats(image->data[0], image->data[0] + 3), (Floats{0.0f, 0.5f, 1.0f}));
    EXPECT_EQ(image->datatype, KALVIO_TYPE_UINT8);

    image = image_from({{-3.0f, 1.0f}, {5.0f, 0.0f}});
    image->Normalize(10.0f, 20.0f);
    EXPECT_EQ(Floats(image->data[1], image->data[1] + 2), (Floats{20.0f, 13.75f}));

    image = image_from({{7.0f, 7.0f}, {7.0f, 7.0f}});
    image->Normalize(3.0f, 9.0f);
    EXPECT_EQ(Floats(image->data[1], image->data[1] + 2), (Floats{3.0f, 3.0f}));
    EXPECT_EQ(image->datatype, KALVIO_TYPE_UINT8);

    CImage colour(1, 2, 1, KALVIO_FORMAT_NONE, KALVIO_TYPE_FLOAT);
    const Floats row{1.0f, 3.0f, 50.0f, 60.0f, 70.0f, 80.0f};
    std::copy(row.begin(), row.end(), colour.data[0]);
    colour.Normalize(0.0f, 1.0f);
    EXPECT_EQ(Floats(colour.data[0], colour.data[0] + 6), (Floats{0.0f, 1.0f, 50.0f, 60.0f, 70.0f, 80.0f}));
}

TEST(Normalize, ImagesWithoutPixelsOnlyChangeTheType) {
    CImage empty, no_array(3, 3, 2, KALVIO_FORMAT_NONE, KALVIO_TYPE_FLOAT);
    empty.Normalize(0.0f, 255.0f);
    no_array.Normalize(0.0f, 255.0f);
    EXPECT_EQ(empty.datatype, KALVIO_TYPE_UINT8);
    EXPECT_EQ(no_array.datatype, KALVIO_TYPE_UINT8);
}

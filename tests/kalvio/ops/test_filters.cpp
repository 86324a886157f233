// Median and distance-weighted mean against brute-force references over
// every window, thresholding, Gaussian noise, refusals, and the same bits
// for every thread count and vector width.
#include <kalvio/arrays.h>
#include <kalvio/image.h>

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <utility>
#include <vector>

#include "pixel_test_images.h"

using namespace pixel_test;

namespace {

struct Shape {
    int rows, cols, color;
};
// Wider than a vector, single rows and columns, smaller than most windows;
// and enough samples that a quantile code stands for several values.
const Shape kShapes[] = {{9, 21, 0}, {7, 11, 1}, {1, 17, 0}, {15, 1, 1}, {3, 2, 0}, {40, 37, 0}};
const int kSizes[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 11, 16};

int clamp_to(int i, int n) { return i < 0 ? 0 : i >= n ? n - 1 : i; }

// Calls visit(sample, dr, dc) for every position of the size x size window
// of sample k of pixel (r, c), clamped, with its distance from (r, c).
template <class Visit>
void each_in_window(const CImage& in, int size, int r, int c, int k, const Visit& visit) {
    const int first = size / 2 - size + 1, n = in.color ? 3 : 1;
    for (int i = first; i <= size / 2; ++i)
        for (int j = first; j <= size / 2; ++j) {
            const int rr = clamp_to(r + i, in.nrows), cc = clamp_to(c + j, in.ncols);
            visit(in.data[rr][n * cc + k], r - rr, c - cc);
        }
}

template <class Pixel>
Rows per_sample(const CImage& in, const Pixel& pixel) {
    Rows out = rows_of(in);
    const int n = in.color ? 3 : 1;
    for (int r = 0; r < in.nrows; ++r)
        for (int q = 0; q < n * in.ncols; ++q) out[r][q] = pixel(r, q / n, q % n);
    return out;
}

// Each window sorted with the library's comparator; the element of rank
// size^2 / 2.
Rows sorted_median(const CImage& in, int size) {
    return per_sample(in, [&](int r, int c, int k) {
        std::vector<float> window;
        each_in_window(in, size, r, c, k, [&](float v, int, int) { window.push_back(v); });
        std::qsort(window.data(), window.size(), sizeof(float), rank_float_increasing);
        return window[window.size() / 2];
    });
}

// The weighted mean in double, from each position's own distance.
Rows weighted_mean(const CImage& in, int size) {
    const double d = std::sqrt(2.0 * (size / 2) * (size / 2));
    return per_sample(in, [&](int r, int c, int k) {
        double sum = 0, total = 0;
        each_in_window(in, size, r, c, k, [&](float v, int dr, int dc) {
            const double w = (d - std::sqrt(double(dr * dr + dc * dc))) / d;
            sum += w * v, total += w;
        });
        return float(sum / total);
    });
}

// Equal values, a NaN matching a NaN.
bool same_values(const Rows& a, const Rows& b) {
    for (std::size_t r = 0; r < a.size(); ++r)
        for (std::size_t q = 0; q < a[r].size(); ++q)
            if (!(a[r][q] == b[r][q] || (std::isnan(a[r][q]) && std::isnan(b[r][q])))) return false;
    return a.size() == b.size();
}

// The samples rounded down, or (ties) replaced by one of three fractions.
Image whole_numbers(Image image, bool ties = false) {
    const float few[] = {0.25f, 0.5f, 1e30f};
    for (int r = 0; r < image->nrows; ++r)
        for (int q = 0; q < image->ncols * (image->color ? 3 : 1); ++q) {
            float& v = image->data[r][q];
            v = ties ? few[int(v) % 3] : std::floor(v);
        }
    return image;
}

}  // namespace

TEST(FilterMedian, EveryWindowAsSortingGivesIt) {
    // Windows of 3 to 9 (odd) take networks; others a running histogram of
    // codes: whole numbers 0..255 are their own, fractions are coded by
    // quantiles, with many ties in the third kind. All against sorting.
    for (const Shape& s : kShapes)
        for (const int kind : {0, 1, 2}) {
            Image in = random_image(s.rows, s.cols, s.color, 7u * s.rows + s.cols);
            if (kind > 0) in = whole_numbers(std::move(in), kind == 2);
            for (const int size : kSizes) {
                const Image out(in->Median(size));
                ASSERT_TRUE(out);
                EXPECT_EQ(header(*out), header(*in));
                EXPECT_EQ(rows_of(*out), sorted_median(*in, size))
                    << s.rows << "x" << s.cols << " colour " << s.color << " kind " << kind << " size " << size;
            }
        }

    // NaNs rank above +infinity; -0 and +0 are equal; 255.5 and -0 leave
    // the histogram.
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = INFINITY;
    const Image odd = image_of({{nan, 1, -inf, 3, nan, 255.5f, 0},
                                {-0.0f, nan, inf, nan, 2, -7, 1e30f},
                                {nan, nan, 4, 5, -0.0f, 0, nan},
                                {8, 9, nan, 1, 1, inf, -1e-30f}});
    for (const int size : {2, 3, 4, 5, 9})
        EXPECT_TRUE(same_values(rows_of(*Image(odd->Median(size))), sorted_median(*odd, size))) << size;

    // The window of an even size reaches one further down and right.
    EXPECT_EQ(rows_of(*Image(image_of({{1, 2}, {3, 4}})->Median(2))), (Rows{{3, 4}, {4, 4}}));
}

TEST(FilterDistance, EveryWindowAsTheWeightsGiveIt) {
    for (const Shape& s : kShapes) {
        const Image in = random_image(s.rows, s.cols, s.color, 11u * s.rows + s.cols);
        for (const int size : kSizes) {
            const Image out(in->DistanceFilter(size));
            ASSERT_TRUE(out);
            EXPECT_EQ(header(*out), header(*in));
            const Rows expected = size == 1 ? rows_of(*in) : weighted_mean(*in, size), got = rows_of(*out);
            for (int r = 0; r < s.rows; ++r)
                for (std::size_t q = 0; q < got[r].size(); ++q)
                    ASSERT_NEAR(got[r][q], expected[r][q], 2e-5f * 255) << s.rows << "x" << s.cols << " size " << size
                                                                        << " at " << r << "," << q;
        }
    }
}

TEST(FilterSplits, SameBitsForEveryThreadCountAndVectorWidth) {
    // Over a megapixel, so that bands run side by side.
    const Image floats = random_image(1030, 1020, 0, 5);
    const Image bytes = whole_numbers(random_image(1030, 1020, 0, 6));
    const Image colour = random_image(1030, 340, 1, 8);
    const auto run = [&] {
        std::vector<Image> out;
        for (CImage* image : {floats->Median(3), colour->Median(7), bytes->Median(4), floats->Median(4),
                              colour->DistanceFilter(4), floats->GNoise(2.0f, 99)})
            out.emplace_back(image);
        return out;
    };
    const std::vector<Image> base = run();
    using Split = std::pair<const char*, const char*>;
    for (const auto& [threads, simd] : {Split{"1", "none"}, Split{"3", "sse2"}, Split{"4", "avx2"}}) {
        const Setting t("KALVIO_THREADS", threads), v("KALVIO_SIMD", simd);
        const std::vector<Image> other = run();
        for (std::size_t i = 0; i < base.size(); ++i)
            EXPECT_TRUE(same_bits(*base[i], *other[i])) << i << " threads " << threads;
    }
    // Spot rows of the float 3 x 3 median against sorting.
    const Image corner(floats->Extract(0, 0, 6, 1020));
    EXPECT_EQ(rows_of(*base[0])[0], sorted_median(*corner, 3)[0]);
}

TEST(FilterThreshold, StrictlyAboveInEveryChannel) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Image grey(image_of({{10, 10.5f, -1, nan, 1e9f}})->Threshold(10));
    ASSERT_TRUE(grey);
    EXPECT_EQ(header(*grey), (std::vector<int>{1, 5, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_INT16}));
    EXPECT_EQ(rows_of(*grey), (Rows{{0, 255, 0, 0, 255}}));
    const Image colour(image_of({{11, 11, 11, 11, 11, 10, 10, 20, 20}}, 1)->Threshold(10));
    ASSERT_TRUE(colour);
    EXPECT_EQ(header(*colour), (std::vector<int>{1, 3, 0, KALVIO_FORMAT_PPM, KALVIO_TYPE_INT16}));
    EXPECT_EQ(rows_of(*colour), (Rows{{255, 0, 0}}));
}

TEST(FilterNoise, ReproducibleGaussianOfTheDeviationAsked) {
    const Image flat = image_of(Rows(400, Row(500, 100.0f)));
    const Image a(flat->GNoise(3.0f, 42)), b(flat->GNoise(3.0f, 42)), c(flat->GNoise(3.0f, 43));
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(header(*a), (std::vector<int>{400, 500, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_FLOAT}));
    EXPECT_TRUE(same_bits(*a, *b));
    EXPECT_FALSE(same_bits(*a, *c));
    // 200,000 samples: the mean within 0.05 (8 standard errors), the
    // deviation within 2 %.
    double sum = 0, squares = 0;
    for (const Row& row : rows_of(*a))
        for (const float v : row) sum += v - 100.0, squares += (v - 100.0) * (v - 100.0);
    const double n = 400.0 * 500, mean = sum / n;
    EXPECT_NEAR(mean, 0.0, 0.05);
    EXPECT_NEAR(std::sqrt(squares / n - mean * mean), 3.0, 0.06);

    // Never a NaN, even for the largest deviation; a fresh seed each time.
    const Image wild(flat->GNoise(FLT_MAX));
    ASSERT_TRUE(wild);
    for (const Row& row : rows_of(*wild))
        for (const float v : row) ASSERT_FALSE(std::isnan(v));
    EXPECT_FALSE(same_bits(*wild, *Image(flat->GNoise(FLT_MAX))));
}

TEST(FilterRefusals, BadSizesColourNoiseAndEmptyImages) {
    const Image in = random_image(4, 4, 0, 1);
    for (const int size : {0, -3, 256}) {
        EXPECT_EQ(Image(in->Median(size)), nullptr) << size;
        EXPECT_EQ(Image(in->DistanceFilter(size)), nullptr) << size;
    }
    EXPECT_EQ(Image(random_image(4, 4, 1, 1)->GNoise(1.0f, 1)), nullptr);
    CImage empty;
    EXPECT_EQ(Image(empty.Median(3)), nullptr);
    EXPECT_EQ(Image(empty.DistanceFilter(3)), nullptr);
    EXPECT_EQ(Image(empty.Threshold(0)), nullptr);
    EXPECT_EQ(Image(empty.GNoise(1.0f, 1)), nullptr);
}

// Ridge detection: lines of known place and direction, the metamorphic rule
// that bright lines of a picture are the dark lines of its negative, masks,
// scales, degenerate pictures, refusals, identical bits for every split and
// vector width, and bilinear_int against a direct double computation.
#include <kalvio/image.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "../../support/message_recorder.h"
#include "pixel_test_images.h"

using namespace pixel_test;

namespace {

constexpr float kPi = std::numbers::pi_v<float>;

struct Planes {
    Rows mag, dir, scale;
    bool operator==(const Planes&) const = default;
};

Planes planes_of(const CImage& image) {
    return {rows_of(image, image.mag, image.ncols), rows_of(image, image.dir, image.ncols),
            rows_of(image, image.scale, image.ncols)};
}

// Distance between two directions taken modulo pi.
float turn_between(float a, float b) {
    const float d = std::fmod(std::fabs(a - b), kPi);
    return std::min(d, kPi - d);
}

// A one-pixel line of `value` on `ground`, down column `at` (vertical) or
// along row `at`.
Image line(int rows, int cols, int at, bool vertical, float value, float ground) {
    Rows px(rows, Row(cols, ground));
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c)
            if ((vertical ? c : r) == at) px[r][c] = value;
    return image_of(px);
}

}  // namespace

TEST(Ridges, LineIsFoundOnItsPlaceAcrossItsDirection) {
    // Bright lines with `bright`, dark lines with `dark`; the other kind
    // gives no strength on or beside the line. The direction points across
    // the line: pi/2 (along the columns) for a vertical line, 0 for a
    // horizontal one. (The picture's borders may respond: the smoothing
    // does not keep a constant ground constant there.)
    for (const auto& [vertical, value, bright, dark, found] :
         {std::tuple{true, 100.0f, 1, 0, true}, {false, 100.0f, 1, 0, true}, {true, 100.0f, 0, 1, false},
          {true, 0.0f, 0, 1, true}, {false, 0.0f, 1, 1, true}, {true, 0.0f, 1, 0, false}}) {
        const Image image = line(31, 33, vertical ? 16 : 15, vertical, value, value ? 0.0f : 50.0f);
        image->ridges(1.0f, 3.0f, 3, bright, dark, nullptr);
        ASSERT_TRUE(image->mag && image->dir && image->scale);
        float top = 0.0f;
        for (const Row& row : rows_of(*image, image->mag, image->ncols))
            for (float v : row) top = std::max(top, v);
        if (found) {
            EXPECT_EQ(top, 1.0f);
        }
        // Along the middle of the line.
        for (int k = 8; k < 23; ++k) {
            const int r = vertical ? k : 15, c = vertical ? 16 : k;
            const float peak = image->mag[r][c];
            if (!found) {
                for (int d = -3; d <= 3; ++d) EXPECT_EQ(vertical ? image->mag[r][c + d] : image->mag[r + d][c], 0.0f);
                continue;
            }
            EXPECT_GT(peak, 0.9f) << r << "," << c;
            EXPECT_GE(peak, vertical ? image->mag[r][c - 1] : image->mag[r - 1][c]);
            EXPECT_GE(peak, vertical ? image->mag[r][c + 1] : image->mag[r + 1][c]);
            EXPECT_LT(turn_between(image->dir[r][c], vertical ? kPi / 2 : 0.0f), 1e-6f);
        }
    }
}

TEST(Ridges, ScalesRunFromSigmaminInNscalesSteps) {
    // With one scale only sigmamin is used; each scale writes one trace line.
    for (const auto& [nscales, used] : {std::pair{1, std::set<float>{2.0f}}, {3, {1.0f, 2.0f, 3.0f}}}) {
        kalvio_test::TraceRecorder trace;
        const Image image = random_image(40, 40, 0, 3);
        image->ridges(*used.begin(), 3.0f, nscales, 1, 1, nullptr);
        std::vector<std::string> lines;
        for (float sigma : used)
            lines.push_back("Current scale: k=" + std::to_string(lines.size()) + " sigma=" + std::to_string(sigma) +
                            "\n");
        EXPECT_EQ(trace.lines(), lines);
        std::set<float> seen;
        for (const Row& row : rows_of(*image, image->scale, image->ncols)) seen.insert(row.begin(), row.end());
        seen.erase(0.0f);
        EXPECT_EQ(seen, used);
    }
}

TEST(Ridges, MaskLimitsThePixelsButNotTheGradientsTheyRead) {
    // Outside the mask: no strength, no direction, no scale. Inside it every
    // pixel's response is the unmasked one, also next to the mask's edge,
    // where the direction test reads gradients outside it. The mask's
    // columns 20 to 27 hold the strongest response, so the normalisation
    // divides by the same maximum.
    const Image image = random_image(48, 48, 0, 11);
    for (int r = 0; r < 48; ++r) image->data[r][24] = 600.0f;
    CImage full(*image);
    full.ridges(1.0f, 2.0f, 2, 1, 0, nullptr);
    Rows ones(48, Row(48, 0.0f));
    Planes expected = planes_of(full);
    for (int r = 0; r < 48; ++r)
        for (int c = 0; c < 48; ++c) {
            if (c >= 20 && c < 28) ones[r][c] = 1.0f;
            else expected.mag[r][c] = 0.0f, expected.dir[r][c] = 3.5f, expected.scale[r][c] = 0.0f;
        }
    const Image mask = image_of(ones);
    image->ridges(1.0f, 2.0f, 2, 1, 0, mask.get());
    EXPECT_TRUE(planes_of(*image) == expected);
}

TEST(Ridges, PicturesWithoutLinesGiveNoStrength) {
    // Black pictures (the normalisation has no range; other constants are
    // not flat after smoothing) and pictures too small for the margin.
    Image images[] = {image_of(Rows(20, Row(20, 0.0f))), image_of(Rows(9, Row(27, 0.0f)), 1),
                      image_of({{0, 9}, {9, 0}}), image_of({{1, 5, 1, 5, 1}}), line(5, 40, 2, false, 90, 0)};
    for (const Image& image : images) {
        image->ridges(1.0f, 2.0f, 2, 1, 1, nullptr);
        ASSERT_TRUE(image->mag && image->dir && image->scale);
        const Rows zeros(image->nrows, Row(image->ncols, 0.0f)), none(image->nrows, Row(image->ncols, 3.5f));
        EXPECT_TRUE(planes_of(*image) == (Planes{zeros, none, zeros}));
    }
}

TEST(Ridges, NonFinitePixelsLeaveFiniteResults) {
    const Image image = random_image(40, 40, 0, 4);
    image->data[10][10] = INFINITY, image->data[20][25] = -INFINITY, image->data[30][12] = std::nanf("");
    image->data[5][30] = 3e38f;
    image->ridges(1.0f, 3.0f, 3, 1, 1, nullptr);
    for (int r = 0; r < 40; ++r)
        for (int c = 0; c < 40; ++c) {
            EXPECT_TRUE(image->mag[r][c] >= 0.0f && image->mag[r][c] <= 1.0f) << r << "," << c;
            EXPECT_TRUE((image->dir[r][c] >= 0.0f && image->dir[r][c] < kPi) || image->dir[r][c] == 3.5f);
        }
}

TEST(Ridges, ColourPictureIsTakenThroughItsGreyValues) {
    const Image colour = random_image(30, 34, 1, 8);
    const Image grey(colour->MakeGray());
    colour->ridges(1.0f, 2.5f, 2, 1, 1, nullptr);
    grey->ridges(1.0f, 2.5f, 2, 1, 1, nullptr);
    EXPECT_TRUE(planes_of(*colour) == planes_of(*grey));
}

TEST(Ridges, BrightLinesOfAPictureAreTheDarkLinesOfItsNegative) {
    // The negative -v smooths to exactly the negated values; the gradient
    // directions then turn by pi, which rounds, so the two agree within
    // float precision rather than bit for bit.
    const Image image = random_image(64, 60, 0, 21);
    const Image smooth(image->smooth_image(1.0f));  // lines of several widths
    CImage negative(*smooth);
    for (int r = 0; r < smooth->nrows; ++r)
        for (int c = 0; c < smooth->ncols; ++c) negative.data[r][c] = -smooth->data[r][c];
    smooth->ridges(1.0f, 3.0f, 3, 1, 0, nullptr);
    negative.ridges(1.0f, 3.0f, 3, 0, 1, nullptr);
    int lines = 0;
    for (int r = 0; r < smooth->nrows; ++r)
        for (int c = 0; c < smooth->ncols; ++c) {
            lines += smooth->mag[r][c] > 0.0f;
            EXPECT_NEAR(smooth->mag[r][c], negative.mag[r][c], 1e-5f) << r << "," << c;
            EXPECT_EQ(smooth->scale[r][c], negative.scale[r][c]) << r << "," << c;
            EXPECT_LT(turn_between(smooth->dir[r][c], negative.dir[r][c]), 1e-5f) << r << "," << c;
        }
    EXPECT_GT(lines, 100);
}

TEST(Ridges, RefusalsLeaveThePlanesAlone) {
    kalvio_test::MessageRecorder messages;
    const Image mask = image_of(Rows(10, Row(12, 1.0f)));
    CImage no_pixels;
    const float nan = std::nanf(""), inf = INFINITY;
    for (const auto& [low, high, nscales, m, message] :
         {std::tuple{1.0f, 2.0f, 0, (CImage*)nullptr, false}, {0.0f, 2.0f, 2, nullptr, false},
          {-1.0f, 2.0f, 2, nullptr, false}, {1.0f, -2.0f, 1, nullptr, false}, {2.0f, 1.0f, 2, nullptr, false},
          {nan, 2.0f, 2, nullptr, false}, {1.0f, inf, 2, nullptr, false}, {1.0f, nan, 1, nullptr, false},
          {1.0f, 2.0f, 2, mask.get(), true}, {1.0f, 2.0f, 2, &no_pixels, false}}) {
        messages.clear();
        const Image image = random_image(12, 12, 0, 1);
        image->edges_mag_dir(1.0f);
        float** before[] = {image->mag, image->dir, image->scale};
        const Rows mag = rows_of(*image, image->mag, 12);
        image->ridges(low, high, nscales, 1, 1, m);
        EXPECT_EQ(image->mag, before[0]);
        EXPECT_EQ(image->dir, before[1]);
        EXPECT_EQ(image->scale, before[2]);
        EXPECT_EQ(rows_of(*image, image->mag, 12), mag);
        EXPECT_EQ(messages.boxes().size(), message ? 1u : 0u) << low << " " << high << " " << nscales;
    }
    no_pixels.ridges(1.0f, 2.0f, 2, 1, 1, nullptr);
    EXPECT_FALSE(no_pixels.mag || no_pixels.dir || no_pixels.scale);
}

TEST(Ridges, SameBitsForEverySplitAndVectorWidth) {
    // Over a megapixel, so that the passes split into bands; called twice on
    // one image, so that the first planes must be released (the leak check
    // sees them otherwise).
    const Image source = random_image(1030, 1020, 0, 5);
    std::vector<Planes> results;
    for (const auto& [simd, threads] : {std::pair{"none", "1"}, {"sse2", "3"}, {nullptr, "2"}}) {
        Setting lanes("KALVIO_SIMD", simd), split("KALVIO_THREADS", threads);
        CImage image(*source);
        image.ridges(3.0f, 4.0f, 2, 1, 1, nullptr);
        image.ridges(1.0f, 2.0f, 2, 1, 1, nullptr);
        results.push_back(planes_of(image));
    }
    EXPECT_TRUE(results[1] == results[0]);
    EXPECT_TRUE(results[2] == results[0]);
}

TEST(Ridges, BilinearIntMatchesADirectComputation) {
    // Random arrays, distances and angles of either sign, beyond one turn,
    // and now and then far beyond.
    std::mt19937 random(7);
    std::uniform_real_distribution<float> distance(-3.0f, 3.0f), angle(-10.0f, 10.0f);
    const Image a = random_image(9, 9, 0, 2), b = random_image(9, 9, 0, 9);
    for (int k = 0; k < 2000; ++k) {
        const float d = distance(random), t = angle(random) + (k % 100 == 0 ? 20000.0f : 0.0f);
        const double dr = d * std::cos(double(t)), dc = d * std::sin(double(t));
        const double r = 4 + dr, c = 4 + dc;
        const int r0 = int(std::floor(r)), c0 = int(std::floor(c));
        const double fr = r - r0, fc = c - c0;
        const auto at = [&](int i, int j) {
            return std::cos(double(t)) * a->data[i][j] + std::sin(double(t)) * b->data[i][j];
        };
        const double expected = (1 - fr) * (1 - fc) * at(r0, c0) + fr * (1 - fc) * at(r0 + 1, c0) +
                                (1 - fr) * fc * at(r0, c0 + 1) + fr * fc * at(r0 + 1, c0 + 1);
        EXPECT_NEAR(bilinear_int(a->data, b->data, 4, 4, d, t), expected, 2e-4) << d << " " << t;
    }
}

// Histograms: the worked examples, refused and degenerate inputs, copies,
// smoothing, and Gaussian fits with the threshold choice. Counts against
// numpy and fits against scipy are checked by tests/interop/check_histogram.py.
#include <kalvio/arrays.h>
#include <kalvio/histogram.h>
#include <kalvio/image.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "message_recorder.h"
#include "pixel_test_images.h"

using namespace pixel_test;

namespace {

constexpr float kFailure = 1000000.0f;
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

std::vector<int> bins(const CHistogram& h) { return h.counts ? std::vector<int>(h.counts, h.counts + h.nbins) : std::vector<int>{}; }
std::vector<float> fit(const CHistogram& h) {
    return h.params ? std::vector<float>(h.params, h.params + h.nparams) : std::vector<float>{};
}

// One row holding value b counts[b] times.
Image image_of_counts(const std::vector<int>& counts) {
    Row row;
    for (std::size_t b = 0; b < counts.size(); ++b) row.insert(row.end(), counts[b], float(b));
    return image_of({row});
}

// Counts rounded from sum a^2 exp(-((b - mu) / w)^2) over bins 0..nbins-1.
std::vector<int> mixture(int nbins, const std::vector<float>& params) {
    std::vector<int> counts(nbins);
    for (int b = 0; b < nbins; ++b) {
        double y = 0.0;
        for (std::size_t i = 0; i < params.size(); i += 3)
            y += params[i] * params[i] * std::exp(-std::pow((b - params[i + 1]) / params[i + 2], 2));
        counts[b] = int(std::lround(y));
    }
    return counts;
}

TEST(Histogram, CountsExamplesMasksAndRefusals) {
    kalvio_test::MessageRecorder messages;
    const Image example = image_of({{0, 0}, {1, 3}});
    const CHistogram all(example.get(), 0), no_zero(example.get(), 1);
    EXPECT_EQ(bins(all), (std::vector<int>{2, 1, 0, 1}));
    EXPECT_EQ(all.peak, 2);
    EXPECT_EQ(bins(no_zero), (std::vector<int>{0, 1, 0, 1}));
    EXPECT_EQ(no_zero.peak, 1);
    EXPECT_EQ(no_zero.params, nullptr);
    const CHistogram masked(example.get(), image_of({{0, 1}, {2, 0}}).get());
    EXPECT_EQ(bins(masked), (std::vector<int>{1, 1}));
    // A colour image by its grey values: 9 * 0.33333334f is just above 3.
    EXPECT_EQ(bins(CHistogram(image_of({{3, 3, 3, 0, 1, 2}}, 1).get(), 0)), (std::vector<int>{0, 1, 0, 1}));
    EXPECT_TRUE(messages.texts().empty());

    // Negative and non-finite values are not counted; nothing to count is
    // an empty histogram.
    struct Case {
        std::string name;
        Image image, mask;
        std::vector<int> counts;
        std::string message;
    };
    Case cases[] = {
        {"negative and non-finite", image_of({{-5, kNaN, kInf, 2.5f, -0.5f, -kInf}}), nullptr, {0, 0, 1}, ""},
        {"all negative", image_of({{-1, -2}}), nullptr, {}, ""},
        {"empty mask", image_of({{1, 2}}), image_of({{0, 0}}), {}, ""},
        {"no pixels", std::make_unique<CImage>(), nullptr, {}, ""},
        {"huge level", image_of({{1, 1e12f}}), nullptr, {}, "CHistogram: grey level too large to count"},
        {"mask of another size", image_of({{1, 2}}), image_of({{1, 1, 1}}), {}, "The two images should have the same size"},
    };
    for (Case& c : cases) {
        messages.clear();
        const CHistogram h = c.mask ? CHistogram(c.image.get(), c.mask.get()) : CHistogram(c.image.get(), 1);
        EXPECT_EQ(bins(h), c.counts) << c.name;
        EXPECT_EQ(h.nbins, int(c.counts.size())) << c.name;
        EXPECT_EQ(messages.texts(), c.message.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.message})
            << c.name;
    }
    EXPECT_EQ(CHistogram(example.get(), static_cast<CImage*>(nullptr)).nbins, 0);

    auto created = std::unique_ptr<CObject>(CRuntimeClass::FromName("CHistogram")->CreateObject());
    ASSERT_TRUE(created && created->IsKindOf(KALVIO_RUNTIME_CLASS(CHistogram)));
    EXPECT_EQ(static_cast<CHistogram*>(created.get())->nbins, 0);
}

TEST(Histogram, CopiesAreDeepAndSelfAssignmentKeeps) {
    const Image two_peaks = image_of_counts(mixture(40, {6, 10, 3, 5, 28, 4}));
    CHistogram original(two_peaks.get(), 0);
    ASSERT_NE(original.FitNGaussians(2), kFailure);
    const CHistogram copy(original);
    const std::vector<int> counts = bins(original);
    const std::vector<float> params = fit(original);
    original.counts[10] += 5;
    original.params[0] = 0.0f;
    EXPECT_EQ(bins(copy), counts);
    EXPECT_EQ(fit(copy), params);

    CHistogram& same = original;
    original = same;
    EXPECT_EQ(original.counts[10], counts[10] + 5);
    EXPECT_EQ(original.nparams, 6);

    // A source without a fit leaves none.
    original = CHistogram(image_of({{1, 2}}).get(), 0);
    EXPECT_EQ(bins(original), (std::vector<int>{0, 1, 1}));
    EXPECT_EQ(original.params, nullptr);
    EXPECT_EQ(original.nparams, 0);
}

TEST(Histogram, Smooth) {
    // A spike of 100 away from the ends, and a last bin that keeps its 1.
    std::vector<int> spike(9);
    spike[4] = 100, spike[8] = 1;
    const Image image = image_of_counts(spike);
    for (int width : {-3, 0, 1}) {
        CHistogram h(image.get(), 0);
        h.Smooth(width);
        EXPECT_EQ(bins(h), spike) << width;
    }
    CHistogram h(image.get(), 0);
    h.Smooth(3);
    EXPECT_EQ(bins(h), (std::vector<int>{0, 0, 0, 11, 79, 11, 0, 0, 1}));
    EXPECT_EQ(h.peak, 100);
    // A window far wider than the bins weighs every bin alike: the mean.
    CHistogram wide(image_of({{0, 0, 1, 3, 4, 4, 4, 4}}).get(), 0);
    wide.Smooth(INT_MAX);
    EXPECT_EQ(bins(wide), std::vector<int>(5, 2));
}

TEST(Histogram, FitsRecoverAMixtureAndFailCleanly) {
    const std::vector<float> truth = {std::sqrt(900.0f), 60, 12, std::sqrt(400.0f), 150, 25};
    const Image image = image_of_counts(mixture(220, truth));
    CHistogram h(image.get(), 0);
    // Rounding the counts leaves at most 1/4 a bin.
    EXPECT_LT(h.FitNGaussians(2), 220 * 0.25f);
    ASSERT_EQ(h.nparams, 6);
    std::vector<float> found = fit(h);
    if (found[1] > found[4]) std::rotate(found.begin(), found.begin() + 3, found.end());
    for (int i = 0; i < 6; i += 3) {
        EXPECT_NEAR(found[i] * found[i], truth[i] * truth[i], 0.01 * truth[i] * truth[i]);
        EXPECT_NEAR(found[i + 1], truth[i + 1], 0.1);
        EXPECT_NEAR(std::fabs(found[i + 2]), truth[i + 2], 0.01 * truth[i + 2]);
    }

    // Each failure releases the previous fit (a leak otherwise) and installs
    // none.
    const std::vector<std::pair<std::vector<int>, int>> failures = {
        {{0, 3, 5, 2}, 0}, {{0, 3, 5, 2}, -1}, {{0, 3, 5, 2}, 4}, {{}, 1},
        {{0, 0, 7}, 1},                       // one bin: zero variance
        {{4, 0, 0, 0, 0, 0, 0, 0, 0, 4}, 3},  // a middle segment without counts
        {{0, 2, 3, 0, 5}, INT_MAX},
    };
    for (const auto& [counts, n] : failures) {
        CHistogram f = counts.empty() ? CHistogram() : CHistogram(image_of_counts(counts).get(), 0);
        ASSERT_EQ(bins(f), counts);
        f.params = make_1D_float_array(6);
        f.nparams = 6;
        EXPECT_EQ(f.FitNGaussians(n), kFailure) << n;
        EXPECT_EQ(f.nparams, 0);
        EXPECT_EQ(f.params, nullptr);
    }
}

TEST(Histogram, FitGaussiansChoosesByThreshold) {
    const Image image = image_of_counts(mixture(120, {20, 30, 6, 10, 80, 9}));
    const CHistogram base(image.get(), 0);
    for (float threshold : {1.0f, 1e-6f, 0.0f}) {
        CHistogram h = base;
        std::unique_ptr<float[], void (*)(float*)> r(h.FitGaussians(0, 5, threshold), free_1D_float_array);
        ASSERT_TRUE(r);
        EXPECT_EQ(r[0], kFailure);
        float smallest = kFailure, largest = 0.0f;
        for (int n = 1; n < 5; ++n) {
            ASSERT_NE(r[n], kFailure) << n;
            smallest = std::min(smallest, r[n]), largest = std::max(largest, r[n]);
        }
        int chosen = 4;
        for (int n = 1; n < 5 && chosen == 4; ++n)
            if ((r[n] - smallest) / (largest - smallest) < threshold) chosen = n;
        CHistogram alone = base;
        EXPECT_EQ(alone.FitNGaussians(chosen), r[chosen]);
        EXPECT_EQ(fit(h), fit(alone)) << threshold;
    }

    // Every fit fails: none is installed. Only the first succeeds: its
    // measure is both extremes and it is chosen.
    struct Case {
        std::vector<int> counts;
        int nmin, nmax, nparams;
    };
    const Case cases[] = {{{0, 0, 9}, 1, 3, 0}, {{0, 0, 5, 7, 4, 0, 0, 0, 0, 3}, 1, 3, 3}};
    for (const Case& c : cases) {
        CHistogram h(image_of_counts(c.counts).get(), 0);
        ASSERT_EQ(bins(h), c.counts);
        float* r = h.FitGaussians(c.nmin, c.nmax, 0.5f);
        EXPECT_EQ(r[2], kFailure);
        EXPECT_EQ(h.nparams, c.nparams);
        EXPECT_EQ(h.params != nullptr, c.nparams > 0);
        free_1D_float_array(r);
    }

    // An empty range computes nothing and keeps the current fit.
    CHistogram h = base;
    ASSERT_NE(h.FitNGaussians(2), kFailure);
    const std::vector<float> kept = fit(h);
    float* r = h.FitGaussians(3, 2, 0.5f);
    ASSERT_TRUE(r);
    EXPECT_EQ(std::vector<float>(r, r + 2), (std::vector<float>{0, 0}));
    free_1D_float_array(r);
    EXPECT_EQ(h.FitGaussians(0, 0, 0.5f), nullptr);
    EXPECT_EQ(fit(h), kept);
}

}  // namespace

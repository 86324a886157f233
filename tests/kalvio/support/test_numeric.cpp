// Eigen-decomposition and Levenberg-Marquardt: reconstruction of random
// symmetric matrices, a weighted linear fit against its closed form, and
// every failure rule. Eigenvalues against numpy and fits against scipy are
// checked by tests/interop/check_histogram.py.
#include <kalvio/arrays.h>
#include <kalvio/numeric.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr float kFailure = 1000000.0f;
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

TEST(VNeumannEigens, ReconstructsRandomSymmetricMatricesAndRefusesBadOnes) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> entry(-10.0f, 10.0f);
    float** m = make_2D_float_array(5, 5);
    float** v = make_2D_float_array(5, 5);
    for (int n : {1, 2, 3, 3, 3, 5}) {
        for (int i = 0; i < n; ++i)
            for (int j = 0; j <= i; ++j) m[i][j] = m[j][i] = entry(random);
        std::vector<float> values(n), only_values(n);
        ASSERT_EQ(VNeumannEigens(m, n, values.data(), v), 1);
        ASSERT_EQ(VNeumannEigens(m, n, only_values.data(), nullptr), 1);
        EXPECT_EQ(values, only_values);
        for (int i = 1; i < n; ++i) EXPECT_LE(values[i - 1], values[i]);
        // V diag(values) V^T = M and V^T V = I.
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) {
                double product = 0.0, gram = 0.0;
                for (int k = 0; k < n; ++k) {
                    product += double(v[i][k]) * values[k] * v[j][k];
                    gram += double(v[k][i]) * v[k][j];
                }
                EXPECT_NEAR(product, m[i][j], 1e-4) << "n " << n << " at " << i << "," << j;
                EXPECT_NEAR(gram, i == j ? 1.0 : 0.0, 1e-5);
            }
    }
    std::vector<float> values(3, 5.0f);
    for (float bad : {kNaN, kInf}) {
        m[2][0] = bad;
        EXPECT_EQ(VNeumannEigens(m, 3, values.data(), v), 0);
        EXPECT_EQ(values, std::vector<float>(3, 0.0f));
        EXPECT_EQ(v[1][1], 0.0f);
    }
    EXPECT_EQ(VNeumannEigens(nullptr, 3, values.data(), v), 0);
    EXPECT_EQ(VNeumannEigens(m, 3, nullptr, v), 0);
    EXPECT_EQ(VNeumannEigens(m, 0, values.data(), v), 0);
    free_2D_float_array(m);
    free_2D_float_array(v);
}

// ---------------------------------------------------------------------------
// Levenberg-Marquardt

void line(float x, float* a, float* y, float* dyda, int) {
    *y = a[0] + a[1] * x;
    dyda[0] = 1.0f;
    dyda[1] = x;
}

// y = sqrt(a0) x: not a number for a0 < 0, where the full Gauss-Newton step
// from a0 = 1 towards data of slope 0.1 lands.
void root_slope(float x, float* a, float* y, float* dyda, int) {
    *y = std::sqrt(a[0]) * x;
    dyda[0] = 0.5f * x / std::sqrt(a[0]);
}

void ignores_second(float x, float* a, float* y, float* dyda, int) {
    *y = a[0] * x;
    dyda[0] = x;
    dyda[1] = 0.0f;
}

// A derivative 1000 times too large: every step is 1000 times too short, so
// the chi-square keeps falling by a steady 0.2% a step and never settles.
void creeping(float, float* a, float* y, float* dyda, int) {
    *y = a[0];
    dyda[0] = 1000.0f;
}

void not_a_number(float, float*, float* y, float* dyda, int) {
    *y = kNaN;
    dyda[0] = 1.0f;
}

struct Points {
    std::vector<float> x, y, sig;
};

// A line with deterministic wobble and unequal deviations.
Points wobbly_line(int n) {
    Points p;
    for (int i = 0; i < n; ++i) {
        p.x.push_back(0.25f * float(i));
        p.y.push_back(2.0f - 0.1875f * float(i) + 0.3f * std::sin(7.0f * float(i)));
        p.sig.push_back(0.5f + 0.1f * float(i % 3));
    }
    return p;
}

TEST(LevenbergMarquardt, FitsLinearAndSquareRootModels) {
    const Points p = wobbly_line(40);
    // Weighted least squares in closed form.
    double s = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (int i = 0; i < 40; ++i) {
        const double w = 1.0 / (double(p.sig[i]) * p.sig[i]);
        s += w, sx += w * p.x[i], sy += w * p.y[i], sxx += w * p.x[i] * p.x[i], sxy += w * p.x[i] * p.y[i];
    }
    const double slope = (s * sxy - sx * sy) / (s * sxx - sx * sx), offset = (sy - slope * sx) / s;
    double best = 0.0;
    for (int i = 0; i < 40; ++i) best += std::pow((p.y[i] - offset - slope * p.x[i]) / p.sig[i], 2);
    Points q = p;
    std::vector<float> a = {0.0f, 0.0f};
    EXPECT_NEAR(LevenbergMarquardt(q.x.data(), q.y.data(), q.sig.data(), 40, a.data(), 2, line), best, 1e-4 * best);
    EXPECT_NEAR(a[0], offset, 1e-4);
    EXPECT_NEAR(a[1], slope, 1e-5);

    // The first full step reaches a0 < 0: rejected, not a failure.
    for (int i = 0; i < 40; ++i) q.y[i] = 0.1f * q.x[i];
    std::vector<float> b = {1.0f};
    EXPECT_LT(LevenbergMarquardt(q.x.data(), q.y.data(), q.sig.data(), 40, b.data(), 1, root_slope), 1e-8f);
    EXPECT_NEAR(b[0], 0.01f, 1e-6);
}

TEST(LevenbergMarquardt, FailsWithMillionAndKeepsParameters) {
    enum Spoil { None, NullX, NullY, NullSig, NullA, NaNY, InfX, ZeroSig, NaNA, ConstantY };
    struct Case {
        std::string name;
        int ndata, ma;
        LevenbergMarquardtModel model;
        Spoil spoil;
    };
    const Case cases[] = {
        {"null x", 10, 2, line, NullX},        {"null y", 10, 2, line, NullY},
        {"null sig", 10, 2, line, NullSig},    {"null a", 10, 2, line, NullA},
        {"null model", 10, 2, nullptr, None},  {"no data", 0, 2, line, None},
        {"no parameters", 10, 0, line, None},  {"NaN y", 10, 2, line, NaNY},
        {"infinite x", 10, 2, line, InfX},     {"zero sig", 10, 2, line, ZeroSig},
        {"NaN parameter", 10, 2, line, NaNA},  {"NaN model at the start", 10, 1, not_a_number, None},
        {"parameter without effect", 10, 2, ignores_second, None},
        {"iteration limit", 10, 1, creeping, ConstantY},
    };
    for (const Case& c : cases) {
        Points p = wobbly_line(10);
        std::vector<float> a = {0.5f, c.spoil == NaNA ? kNaN : 0.25f};
        if (c.spoil == NaNY) p.y[4] = kNaN;
        if (c.spoil == InfX) p.x[7] = kInf;
        if (c.spoil == ZeroSig) p.sig[2] = 0.0f;
        if (c.spoil == ConstantY) p.y.assign(10, 3.0f);
        const std::vector<float> before = a;
        EXPECT_EQ(LevenbergMarquardt(c.spoil == NullX ? nullptr : p.x.data(), c.spoil == NullY ? nullptr : p.y.data(),
                                     c.spoil == NullSig ? nullptr : p.sig.data(), c.ndata,
                                     c.spoil == NullA ? nullptr : a.data(), c.ma, c.model),
                  kFailure)
            << c.name;
        EXPECT_EQ(a[0], before[0]) << c.name;
        EXPECT_TRUE(a[1] == before[1] || c.spoil == NaNA) << c.name;
    }
}

}  // namespace

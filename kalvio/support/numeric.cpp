// Symmetric eigen-decomposition and Levenberg-Marquardt least squares, on
// Eigen's dense solvers in double precision.
#include <kalvio/numeric.h>

#include <Eigen/Cholesky>
#include <Eigen/Core>
#include <Eigen/Eigenvalues>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// Eigen-decomposition

void clear_decomposition(int n, float* values, float** vectors) {
    for (int i = 0; i < n; ++i) {
        if (values) values[i] = 0.0f;
        if (vectors && vectors[i])
            for (int j = 0; j < n; ++j) vectors[i][j] = 0.0f;
    }
}

// The symmetric part of m in double precision; false when m has a missing
// row or a value that is not finite.
template <class Matrix>
bool symmetric_matrix(float* const* m, int n, Matrix* out) {
    for (int i = 0; i < n; ++i)
        if (!m[i]) return false;
    out->resize(n, n);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            if (!std::isfinite(m[i][j])) return false;
            (*out)(i, j) = 0.5 * (double(m[i][j]) + double(m[j][i]));
        }
    return true;
}

// ---------------------------------------------------------------------------
// Levenberg-Marquardt

constexpr float kFitFailure = 1000000.0f;
constexpr int kMaxTrialSteps = 1000;
// An accepted step whose actual and predicted decreases of the chi-square
// are both below this fraction of it ends the fit.
constexpr double kRelativeDecrease = 1e-9;
// Damping: the start, the factors on rejection and acceptance, and the
// bounds. Past kMaxDamping the step is a vanishing gradient step that still
// does not lower the chi-square: the parameters sit at a minimum.
constexpr double kStartDamping = 1e-3;
constexpr double kMaxDamping = 1e10;
constexpr double kMinDamping = 1e-12;

struct Problem {
    const float* x;
    const float* y;
    const float* sig;
    int ndata;
    int ma;
    LevenbergMarquardtModel model;
};

// The chi-square at `a` and the normal equations alpha = J^T W J (lower
// triangle), beta = J^T W r, with W = diag(1 / sig^2) and r = y - model.
struct Linearisation {
    double chi2 = 0.0;
    Eigen::MatrixXd alpha;
    Eigen::VectorXd beta;
};

// Evaluates the model at every point; false when a value or a derivative
// is not finite (or the chi-square overflows). `a` and `dyda` are scratch
// the model may write to.
bool linearise(const Problem& p, std::vector<float>& a, std::vector<float>& dyda, Linearisation* out) {
    const int ma = p.ma;
    out->alpha.setZero(ma, ma);
    out->beta.setZero(ma);
    double chi2 = 0.0;
    Eigen::VectorXd gradient(ma);
    for (int i = 0; i < p.ndata; ++i) {
        float value = 0.0f;
        p.model(p.x[i], a.data(), &value, dyda.data(), ma);
        if (!std::isfinite(value)) return false;
        for (int j = 0; j < ma; ++j) {
            if (!std::isfinite(dyda[j])) return false;
            gradient(j) = dyda[j];
        }
        const double weight = 1.0 / (double(p.sig[i]) * double(p.sig[i]));
        const double residual = double(p.y[i]) - double(value);
        chi2 += residual * residual * weight;
        out->alpha.selfadjointView<Eigen::Lower>().rankUpdate(gradient, weight);
        out->beta += (weight * residual) * gradient;
    }
    out->chi2 = chi2;
    return std::isfinite(chi2);
}

bool all_finite(const float* v, int n) {
    for (int i = 0; i < n; ++i)
        if (!std::isfinite(v[i])) return false;
    return true;
}

bool valid_problem(const float* x, const float* y, const float* sig, int ndata, const float* a, int ma,
                   LevenbergMarquardtModel model) {
    if (!x || !y || !sig || !a || !model || ndata < 1 || ma < 1) return false;
    if (!all_finite(x, ndata) || !all_finite(y, ndata) || !all_finite(sig, ndata) || !all_finite(a, ma))
        return false;
    for (int i = 0; i < ndata; ++i)
        if (sig[i] == 0.0f) return false;
    return true;
}

enum class Outcome { Converged, Failed };

// A parameter on which no point depends has a zero diagonal entry.
bool every_parameter_counts(const Linearisation& l) { return (l.alpha.diagonal().array() > 0.0).all(); }

// Levenberg-Marquardt with the parameters scaled by the largest column norm
// of the derivatives met so far, d_j = sqrt(max alpha_jj), as MINPACK's
// lmder does: (D^-1 alpha D^-1 + damping I) z = D^-1 beta, step = D^-1 z.
// The matrix is positive definite for any damping > 0 as long as every
// diagonal entry of alpha is positive, which holds at the start (checked)
// and at every accepted point (trial points where a parameter loses all
// influence are rejected). Damping falls tenfold after an accepted step and
// rises tenfold after a rejected one.
Outcome fit(const Problem& p, std::vector<float>& current, double* chi2_out) {
    const int ma = p.ma;
    std::vector<float> trial(ma), scratch(current), dyda(ma);
    Linearisation now, next;
    if (!linearise(p, scratch, dyda, &now) || !every_parameter_counts(now)) return Outcome::Failed;

    Eigen::VectorXd largest = now.alpha.diagonal(), scale(ma), step(ma);
    Eigen::MatrixXd system(ma, ma);
    Eigen::LDLT<Eigen::MatrixXd> solver(ma);
    double damping = kStartDamping;
    int trials = 0;
    bool at_minimum = now.chi2 == 0.0;
    while (!at_minimum) {
        if (trials == kMaxTrialSteps) return Outcome::Failed;
        ++trials;
        largest = largest.cwiseMax(now.alpha.diagonal());
        scale = largest.cwiseSqrt().cwiseInverse();
        // Lower triangle only: LDLT reads no other.
        for (int j = 0; j < ma; ++j)
            for (int i = j; i < ma; ++i) system(i, j) = scale(i) * now.alpha(i, j) * scale(j);
        system.diagonal().array() += damping;
        solver.compute(system);
        if (solver.info() != Eigen::Success) return Outcome::Failed;
        step = scale.asDiagonal() * solver.solve(scale.asDiagonal() * now.beta);
        if (!step.allFinite()) return Outcome::Failed;

        bool moved = false;
        for (int j = 0; j < ma; ++j) {
            trial[j] = static_cast<float>(double(current[j]) + step(j));
            moved = moved || trial[j] != current[j];
        }
        // A step too small to change any float parameter: nothing is left
        // to gain at this precision.
        if (!moved) break;
        scratch = trial;
        if (all_finite(trial.data(), ma) && linearise(p, scratch, dyda, &next) && next.chi2 < now.chi2 &&
            every_parameter_counts(next)) {
            const double predicted =
                2.0 * step.dot(now.beta) - step.dot(now.alpha.selfadjointView<Eigen::Lower>() * step);
            const double limit = kRelativeDecrease * now.chi2;
            at_minimum = now.chi2 - next.chi2 <= limit && predicted <= limit;
            current = trial;
            std::swap(now, next);
            damping = std::max(damping * 0.1, kMinDamping);
            at_minimum = at_minimum || now.chi2 == 0.0;
        } else {
            damping *= 10.0;
            at_minimum = damping > kMaxDamping;
        }
    }
    *chi2_out = now.chi2;
    return Outcome::Converged;
}

}  // namespace

namespace {

// The decomposition in a matrix of Eigen's type `Matrix`: dynamic, or of
// fixed size for the 3 x 3 Hessians of the volumes, which then live on the
// stack and are solved without allocation or iteration, many times faster.
template <class Matrix>
int decompose(float** m, int n, float* values, float** vectors) {
    Matrix matrix;
    if (!m || !values || !symmetric_matrix(m, n, &matrix)) {
        clear_decomposition(n, values, vectors);
        return 0;
    }
    const int options = vectors ? Eigen::ComputeEigenvectors : Eigen::EigenvaluesOnly;
    Eigen::SelfAdjointEigenSolver<Matrix> solver;
    // The 3 x 3 case in closed form (double precision keeps its rounding
    // far below a float's); the others by the iterative QR method.
    if constexpr (Matrix::RowsAtCompileTime == 3) solver.computeDirect(matrix, options);
    else solver.compute(matrix, options);
    if (solver.info() != Eigen::Success) {
        clear_decomposition(n, values, vectors);
        return 0;
    }
    for (int i = 0; i < n; ++i) values[i] = static_cast<float>(solver.eigenvalues()(i));
    if (vectors)
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) vectors[i][j] = static_cast<float>(solver.eigenvectors()(i, j));
    return 1;
}

}  // namespace

int VNeumannEigens(float** m, int n, float* values, float** vectors) {
    if (n < 1) return 0;
    if (n == 3) return decompose<Eigen::Matrix3d>(m, n, values, vectors);
    try {
        return decompose<Eigen::MatrixXd>(m, n, values, vectors);
    } catch (...) {
        // Lack of memory for a huge n.
        clear_decomposition(n, values, vectors);
        return 0;
    }
}

float LevenbergMarquardt(float* x, float* y, float* sig, int ndata, float* a, int ma,
                         LevenbergMarquardtModel model) {
    if (!valid_problem(x, y, sig, ndata, a, ma, model)) return kFitFailure;
    try {
        const Problem problem{x, y, sig, ndata, ma, model};
        std::vector<float> current(a, a + ma);
        double chi2 = 0.0;
        if (fit(problem, current, &chi2) == Outcome::Failed) return kFitFailure;
        float result = static_cast<float>(chi2);
        if (!std::isfinite(result)) return kFitFailure;
        // The caller reads exactly 1,000,000 as failure.
        if (result == kFitFailure) result = std::nextafter(kFitFailure, std::numeric_limits<float>::infinity());
        for (int j = 0; j < ma; ++j) a[j] = current[j];
        return result;
    } catch (...) {
        // Lack of memory, or an exception from the caller's model.
        return kFitFailure;
    }
}

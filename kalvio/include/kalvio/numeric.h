// Numerical routines: symmetric eigen-decomposition and non-linear least
// squares.
#pragma once

#include <kalvio/export.h>

/// Eigen-decomposition of the symmetric n x n matrix `m` (read, not
/// changed; the mean of m[i][j] and m[j][i] is used, so a matrix that is
/// symmetric up to rounding is taken as the nearest symmetric one), in
/// double precision: eigenvalues into values[0..n-1] in increasing order,
/// the matching unit eigenvectors into the columns of `vectors` (n x n), so
/// that m = V diag(values) V^T. `vectors` may be null when only the values
/// are wanted. Returns 1, or 0 (values and vectors then 0) for n below 1, a
/// null `m` or `values`, or a matrix with a value that is not finite.
/// O(n^3).
KALVIO_API int VNeumannEigens(float** m, int n, float* values, float** vectors);

/// Model of a fit: its value at x for the parameters a[0..ma-1] into *y,
/// and the derivatives with respect to each parameter into dyda[0..ma-1].
using LevenbergMarquardtModel = void (*)(float x, float* a, float* y, float* dyda, int ma);

/// Fits the ma parameters `a` (updated in place) to the points (x[i], y[i])
/// with standard deviations sig[i], i < ndata, by Levenberg-Marquardt, and
/// returns the final chi-square, sum ((y[i] - model(x[i])) / sig[i])^2, of
/// the parameters written back (sums in double precision). Parameters are
/// scaled by the largest derivative norms met so far, as MINPACK's lmder
/// does, so the fit does not depend on their units.
///
/// The fit stops at a minimum: when an accepted step lowers the chi-square,
/// and its linear model predicted it to, by less than one part in 10^9 (or
/// to 0), when a step no longer changes any float parameter, or when the
/// damping has grown past 10^10 without a step that lowers the chi-square.
/// A trial step is rejected, like one that raises the chi-square, when a
/// model value or derivative there is not finite or when it leaves some
/// parameter without influence on any point.
///
/// Returns exactly 1,000,000, leaving `a` as it was, on failure: a null
/// pointer, ndata < 1, ma < 1, a value of x, y, sig or a that is not finite,
/// a sig of 0; at the starting parameters a model value or derivative that
/// is not finite, or a parameter on which no point depends (a zero column of
/// derivatives: the normal equations are singular); a final chi-square
/// beyond the float range; or no minimum within 1000 trial steps. A
/// successful fit never returns exactly 1,000,000 (the next float up stands
/// for it). Each trial step costs ndata model calls and
/// O(ndata ma^2 + ma^3).
KALVIO_API float LevenbergMarquardt(float* x, float* y, float* sig, int ndata, float* a, int ma,
                                    LevenbergMarquardtModel model);

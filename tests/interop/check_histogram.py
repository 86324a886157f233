#!/usr/bin/env python3
"""Compares what write_histogram wrote with independent computations.

    check_histogram.py counts|eigen|fit FOLDER

counts: np.bincount of the truncated values that are finite, not negative
    and inside the mask (grey of a colour picture in float32, as MakeGray);
    bin 0 cleared with ignorezero; exact.
eigen: numpy.linalg.eigvalsh of each matrix in double precision; within
    float rounding of the largest eigenvalue.
fit: the chi-square of the written parameters recomputed in double, within
    1e-4 of the written measure; then scipy.optimize.least_squares(method=
    'lm') from the same start (mean and variance of n equal segments from the
    first non-zero bin, recomputed here): Kalvio's chi-square no worse by
    more than 1%. Both scale the parameters by the derivatives' column norms
    (x_scale='jac', MINPACK's own mode): a mixture fitted with more
    Gaussians than it has peaks has many minima, and scipy's default unit
    scaling lands in another one (5% apart on the cases here) as often as a
    different implementation would.
"""

import json
import os
import sys

import numpy as np

from scipy.optimize import least_squares

from f32 import read_f32

FAILURE = 1000000.0


def counts(folder, cases):
    errors = []
    for case in cases:
        image = read_f32(os.path.join(folder, case["image"]))
        if image.shape[2] == 3:
            with np.errstate(invalid="ignore", over="ignore"):
                grey = (image[:, :, 0] + image[:, :, 1] + image[:, :, 2]) * np.float32(0.33333334)
        else:
            grey = image[:, :, 0]
        inside = np.ones(grey.shape, bool)
        if case["mask"]:
            inside = (read_f32(os.path.join(folder, case["mask"])) != 0).any(axis=2)
        with np.errstate(invalid="ignore"):
            counted = grey[inside & np.isfinite(grey) & (grey >= 0)]
        expected = np.bincount(np.trunc(counted).astype(np.int64))
        if case["ignorezero"] and expected.size:
            expected[0] = 0
        got = np.array(case["counts"], np.int64)
        peak = int(expected.max()) if expected.size else 0
        if case["nbins"] != expected.size or not np.array_equal(got, expected) or case["peak"] != peak:
            errors.append("%s: %d bins, peak %d, expected %d bins, peak %d; counts differ at %s" % (
                case["image"], case["nbins"], case["peak"], expected.size, peak,
                np.flatnonzero(got != expected)[:5] if got.size == expected.size else "size"))
    return errors


def eigen(folder, cases):
    errors = []
    for k, case in enumerate(cases):
        m = np.array(case["m"], np.float64)
        expected = np.linalg.eigvalsh(m)
        got = np.array(case["values"], np.float64)
        tolerance = 1e-6 * max(1.0, np.abs(expected).max())
        if not np.all(np.abs(got - expected) <= tolerance):
            errors.append("matrix %d: %s, expected %s" % (k, got, expected))
    return errors


def model(params, x):
    a, mu, w = params[0::3, None], params[1::3, None], params[2::3, None]
    t = (x[None, :] - mu) / w
    e = np.exp(-t * t)
    value = (a * a * e).sum(axis=0)
    jac = np.empty((params.size, x.size))
    jac[0::3] = 2 * a * e
    jac[1::3] = 2 * a * a * e * t / w
    jac[2::3] = 2 * a * a * e * t * t / w
    return value, jac.T


def start(y, n):
    """Mean, variance and mass of n equal segments from the first non-zero bin."""
    nonzero = np.flatnonzero(y)
    first = int(nonzero[0]) if nonzero.size else 0
    span = y.size - first
    params = []
    for i in range(n):
        b = np.arange(first + span * i // n, first + span * (i + 1) // n)
        c = y[b]
        total = c.sum()
        if total == 0:
            return None
        mean = (b * c).sum() / total
        variance = ((b - mean) ** 2 * c).sum() / total
        if variance == 0:
            return None
        mass = np.exp(-0.5 * (b - mean) ** 2 / variance).sum()
        params += [np.sqrt(total / mass), mean, np.sqrt(2 * variance)]
    return np.array(params, np.float32).astype(np.float64)


def fit(folder, cases):
    errors = []
    for k, case in enumerate(cases):
        y = np.array(case["counts"], np.float64)
        x = np.arange(y.size, dtype=np.float64)
        n, measure = case["n"], case["measure"]
        label = "fit %d (n %d, %d bins)" % (k, n, y.size)
        a0 = start(y, n)
        if measure == FAILURE:
            if a0 is not None:
                errors.append("%s: failed, but the start %s exists" % (label, a0))
            continue
        params = np.array(case["params"], np.float64)
        if params.size != 3 * n:
            errors.append("%s: %d parameters" % (label, params.size))
            continue
        ours = ((y - model(params, x)[0]) ** 2).sum()
        if abs(ours - measure) > 1e-4 * max(1.0, ours):
            errors.append("%s: measure %g, but the parameters give %g" % (label, measure, ours))
        result = least_squares(lambda p: model(p, x)[0] - y, a0, jac=lambda p: model(p, x)[1], method="lm",
                               x_scale="jac")
        theirs = 2 * result.cost
        print("%s: chi-square %.6g, scipy %.6g" % (label, ours, theirs))
        if ours > 1.01 * theirs + 1e-6:
            errors.append("%s: chi-square %g, scipy from the same start %g" % (label, ours, theirs))
    return errors


def main():
    family, folder = sys.argv[1], sys.argv[2]
    with open(os.path.join(folder, "results.json")) as f:
        results = json.load(f)
    check = {"counts": counts, "eigen": eigen, "fit": fit}[family]
    cases = results[family]
    errors = check(folder, cases) if cases else ["no %s cases written" % family]
    for error in errors:
        print(error)
    print("%s: %d cases, %d failures" % (family, len(cases), len(errors)))
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())

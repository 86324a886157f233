#!/usr/bin/env python3
"""Compares what write_filters wrote with independent computations.

    check_filters.py median|distance_filter|chamfer|hysteresis|edges|sobel|draw FOLDER

median: scipy.ndimage.rank_filter, rank k*k//2 of the k x k window from
    offset k/2-k+1 to k/2 (origin -1 for even k), edges repeated; exact.
distance_filter: the clamped window mean weighted by (D - distance) / D in
    numpy; within the rounding of a float32 sum of k*k terms.
chamfer: a two-pass chamfer in float32 written here (exact), bounded by
    scipy's Euclidean distance transform; 1,000,000 without objects.
hysteresis: scipy.ndimage.label (8-connected) of value > low; components
    holding an interior value > high are 255; exact.
edges: mag and dir from the written per-channel derivatives (numpy hypot
    and arctan2, strongest channel, border band, normalisation); the thinned
    magnitudes from the written mag and dir by the direction-sector table.
sobel: OpenCV's 3 x 3 Sobel magnitude of the grey values inside; the border
    keeps what the plane held.
draw: each line against the ideal segment (one pixel per step of the major
    axis within half a pixel, 8-connected, all of it over the picture);
    each fill against scipy.ndimage.label (4-connected) of the fillable pixels.
"""

import math
import os
import sys

import numpy as np

from scipy import ndimage

from f32 import read_f32

f32 = np.float32
# The chamfer metric of a step (x, y), x >= y >= 0, is x + (sqrt 2 - 1) y: at
# least the Euclidean length, and at most sqrt(1 + (sqrt 2 - 1)^2) =
# sqrt(4 - 2 sqrt 2) = 1.0824 times it (Cauchy-Schwarz, equality at
# y / x = sqrt 2 - 1). Minima over the objects keep both bounds; 1e-6 covers
# the float32 sums and 1.4142137 lying just above sqrt 2.
CHAMFER_BOUND = math.sqrt(4 - 2 * math.sqrt(2)) * (1 + 1e-6)
# Direction sector limits: odd multiples of pi/8 in single precision, and the
# neighbour pair compared in each of the nine sectors they make.
SECTORS = np.array([0.39269909, 1.1780973, 1.9634955, 2.7488936, 3.5342917, 4.3196898, 5.1050882, 5.8904862], f32)
ACROSS = [(0, 1), (1, 1), (1, 0), (1, -1)] * 2 + [(0, 1)]


def difference(label, ours, reference, tolerance=0.0):
    """A message when ours and reference differ by more than tolerance (NaN included)."""
    if ours.shape != reference.shape:
        return "%s: shape %s, expected %s" % (label, ours.shape, reference.shape)
    error = np.abs(ours.astype(np.float64) - reference)
    bad = ~(error <= tolerance) & ~(np.isnan(ours) & np.isnan(reference))
    if bad.any():
        worst = tuple(np.argwhere(bad)[np.argmax(np.nan_to_num(error[bad], nan=np.inf))])
        return "%s: %d values off, worst at %s: %g, expected %g" % (
            label, bad.sum(), worst, ours[worst], reference[worst])
    return None


def median(image, k):
    origin = 0 if k % 2 else -1
    return np.stack([ndimage.rank_filter(image[:, :, i], k * k // 2, size=k, mode="nearest", origin=origin)
                     for i in range(image.shape[2])], axis=2)


def distance_filter(image, k):
    if k == 1:
        return image.astype(np.float64)
    n, m = image.shape[:2]
    h = k // 2
    limit = f32(np.sqrt(f32(2 * h * h)))
    rows, cols = np.arange(n)[:, None], np.arange(m)[None, :]
    total, weights = 0.0, 0.0
    for dr in range(h - k + 1, h + 1):
        for dc in range(h - k + 1, h + 1):
            r, c = np.clip(rows + dr, 0, n - 1), np.clip(cols + dc, 0, m - 1)
            distance = np.sqrt(((r - rows) ** 2 + (c - cols) ** 2).astype(f32))
            weight = (np.float64(limit) - distance) / np.float64(limit)
            total = total + weight[:, :, None] * image[r, c]
            weights = weights + weight
    return total / weights[:, :, None]


def chamfer(objects):
    d = np.where(objects, 0, 1000000).astype(f32)
    n, m = d.shape
    steps = [(-1, -1, f32(1.4142137)), (-1, 0, f32(1)), (-1, 1, f32(1.4142137)), (0, -1, f32(1))]
    for sign, order in ((1, range(n * m)), (-1, range(n * m - 1, -1, -1))):
        for i in order:
            r, c = divmod(i, m)
            for dr, dc, w in steps:
                rr, cc = r + sign * dr, c + sign * dc
                if 0 <= rr < n and 0 <= cc < m:
                    d[r, c] = min(d[r, c], f32(d[rr, cc] + w))
    return d


def chamfer_errors(label, image, ours):
    objects = np.any(image != 0, axis=2)
    reference = chamfer(objects)
    errors = [difference(label, ours, np.repeat(reference[:, :, None], image.shape[2], axis=2))]
    if objects.any():
        edt = ndimage.distance_transform_edt(~objects)
        if np.any(ours[:, :, 0] < edt * (1 - 1e-6)) or np.any(ours[:, :, 0] > edt * CHAMFER_BOUND):
            errors.append(label + ": outside Euclidean distance .. 1.0824 times it")
    return errors


def hysteresis(image, high, low):
    p = image[:, :, 0]
    labels, _ = ndimage.label(p > low, structure=np.ones((3, 3)))
    seeds = np.zeros(p.shape, bool)
    seeds[1:-1, 1:-1] = p[1:-1, 1:-1] > high
    keep = np.isin(labels, labels[seeds]) & (labels > 0)
    return np.where(keep, 255.0, 0.0)[:, :, None]


def direction(gx, gy):
    vertical = np.where(gy > 0, 1.5 * np.pi, 0.5 * np.pi)
    return np.where(gx != 0, np.arctan2(gy, gx) + np.pi, vertical)


def edges_errors(label, ours, grad, thin, sigma):
    n, m = ours.shape[:2]
    gx, gy = grad[:, :, 0::2], grad[:, :, 1::2]
    magnitudes = np.sqrt(gx * gx + gy * gy)  # float32, as a float32 library would
    choice = np.argmax(magnitudes, axis=2)[:, :, None]  # the first of equals
    best = np.take_along_axis(magnitudes, choice, axis=2)[:, :, 0].astype(np.float64)
    # Kept: from round(2 sigma) up to round(size - 2 sigma), halves away from 0.
    band = 2.0 * float(f32(sigma))
    w = int(math.floor(band + 0.5))
    interior = np.zeros((n, m), bool)
    interior[w:int(math.floor(n - band + 0.5)), w:int(math.floor(m - band + 0.5))] = True
    top = best[interior].max() if interior.any() else 0.0
    errors = [difference(label + " mag", ours[:, :, 0], np.where(interior, best / top, 0) if top > 0 else 0 * best,
                         1e-5)]
    # dir of the chosen channel; where another channel's magnitude differs
    # from the largest only by rounding, its direction is as good.
    directions = direction(gx.astype(np.float64), gy.astype(np.float64))
    off = np.abs(ours[:, :, 1:2] - directions)
    agrees = np.minimum(off, 2 * np.pi - off) <= 1e-5
    near = (magnitudes >= best[:, :, None] * (1 - 1e-6)) & ((magnitudes != best[:, :, None]) |
                                                           (np.arange(gx.shape[2]) == choice))
    if not np.all(np.take_along_axis(agrees, choice, axis=2)[:, :, 0] | np.any(agrees & near, axis=2)):
        errors.append(difference(label + " dir", ours[:, :, 1], np.take_along_axis(directions, choice, axis=2)[:, :, 0],
                                 1e-5) or label + " dir: wrong channel")
    mag, sector = ours[:, :, 0], np.searchsorted(SECTORS, ours[:, :, 1], side="right")
    expected = np.zeros((n, m))
    for r in range(1, n - 1):
        for c in range(1, m - 1):
            dr, dc = ACROSS[sector[r, c]]
            if mag[r, c] >= mag[r + dr, c + dc] and mag[r, c] >= mag[r - dr, c - dc]:
                expected[r, c] = mag[r, c]
    errors.append(difference(label + " non_maximum_suppression", thin[:, :, 0], expected))
    return errors


def sobel_errors(label, image, ours, border):
    import cv2
    grey = image[:, :, 0] if image.shape[2] == 1 else (image[:, :, 0] + image[:, :, 1] + image[:, :, 2]) * f32(1 / 3)
    grey = grey.astype(np.float64)  # MakeGray's float32 sum, times 0.33333334
    magnitude = np.hypot(cv2.Sobel(grey, cv2.CV_64F, 1, 0, ksize=3), cv2.Sobel(grey, cv2.CV_64F, 0, 1, ksize=3))
    expected = np.full(grey.shape, float(border))
    expected[1:-1, 1:-1] = magnitude[1:-1, 1:-1]
    # Sums of eight float32 values up to 1020: a few units of 1.2e-4.
    return [difference(label, ours[:, :, 0], expected, 2e-3)]


def line_errors(label, image, ours, r0, c0, r1, c1):
    n, m = image.shape[:2]
    drawn = np.any(ours != image, axis=2)
    if np.any(ours[drawn] != 1):
        return [label + ": a drawn pixel is not 1 in every channel"]
    # Walk the major axis t; the minor coordinate u of the ideal segment at t
    # is num / dt, and a pixel may sit within half a pixel of it.
    steep = abs(r1 - r0) >= abs(c1 - c0)
    (t0, u0, t1, u1), size, mask = ((r0, c0, r1, c1), m, drawn) if steep else ((c0, r0, c1, r1), n, drawn.T)
    if t1 < t0:
        t0, u0, t1, u1 = t1, u1, t0, u0
    dt, du = t1 - t0, u1 - u0
    if np.any(mask[:max(0, min(t0, mask.shape[0]))]) or np.any(mask[max(0, t1 + 1):]):
        return [label + ": pixels beyond the end points"]
    for t in range(max(t0, 0), min(t1, mask.shape[0] - 1) + 1):
        if dt == 0:
            candidates = [u0]
        else:
            num = u0 * dt + (t - t0) * du
            candidates = range(-((dt - 2 * num) // (2 * dt)), (2 * num + dt) // (2 * dt) + 1)
        inside = [u for u in candidates if 0 <= u < size]
        found = list(np.nonzero(mask[t])[0])
        if len(found) > 1 or not set(found) <= set(inside) or (len(inside) == len(candidates) and not found):
            return ["%s: at %s %d pixels %s, expected one of %s" % (label, "row" if steep else "column", t, found,
                                                                     list(candidates))]
    if ndimage.label(drawn, structure=np.ones((3, 3)))[1] > 1:
        return [label + ": not 8-connected"]
    return []


def fill(image, row, column, value, boundary):
    p = image[:, :, 0]
    labels, _ = ndimage.label((p != boundary) & (p != value))
    expected = p.astype(np.float64)
    if labels[row, column]:
        expected[labels == labels[row, column]] = value
    return expected[:, :, None]


def main():
    family, folder = sys.argv[1], sys.argv[2]
    operations = {"median": ("median",), "distance_filter": ("distance",), "chamfer": ("chamfer",),
                  "hysteresis": ("hysteresis",), "edges": ("edges",), "sobel": ("sobel",),
                  "draw": ("line", "fill")}[family]
    errors, checked = [], 0
    with open(os.path.join(folder, "cases.txt")) as f:
        for name, input_name, operation, *args in (line.split() for line in f if line.strip()):
            if operation not in operations:
                continue
            checked += 1
            path = os.path.join(folder, name)
            image, ours = read_f32(os.path.join(folder, input_name + ".f32")), read_f32(path + ".f32")
            label = " ".join([name, operation, input_name] + args)
            if operation == "median":
                errors.append(difference(label, ours, median(image, int(args[0]))))
            elif operation == "distance":
                k = int(args[0])
                errors.append(difference(label, ours, distance_filter(image, k),
                                         (k * k + 4) * 2.0 ** -24 * np.abs(image).max()))
            elif operation == "chamfer":
                errors += chamfer_errors(label, image, ours)
            elif operation == "hysteresis":
                errors.append(difference(label, ours, hysteresis(image, f32(args[0]), f32(args[1]))))
            elif operation == "edges":
                errors += edges_errors(label, ours, read_f32(path + "_grad.f32"), read_f32(path + "_nms.f32"),
                                       f32(args[0]))
            elif operation == "sobel":
                errors += sobel_errors(label, image, ours, float(args[0]))
            elif operation == "line":
                errors += line_errors(label, image, ours, *(int(a) for a in args))
            else:
                errors.append(difference(label, ours, fill(image, int(args[0]), int(args[1]), f32(args[2]),
                                                           f32(args[3]))))
    errors = [e for e in errors if e] or ([] if checked else ["no %s results in %s" % (family, folder)])
    if errors:
        print("\n".join(errors), file=sys.stderr)
    print("%s: %d results checked, %d differ" % (family, checked, len(errors)))
    sys.exit(1 if errors else 0)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Compares what write_pixel_ops wrote with independent computations.

    check_pixel_ops.py bilinear|enlarge|reduce|luv FOLDER

bilinear: Rotate and both Scale forms against scipy.ndimage.map_coordinates
    (order 1) at the source positions, formed here in float32 by the same
    formulas; a position before the first or at or past the last row or
    column must give 0.
enlarge: Enlarge mode 1 against map_coordinates at (r + i/f, c + j/f) with
    the edge repeated ("nearest"); mode 0 against numpy.repeat.
reduce: block means (numpy); the factor-2 cross-shaped mean against
    scipy.ndimage.correlate with row and column -1 mirrored to +1.
luv: RGB_to_LUV against OpenCV's linear-RGB to L*u*v* conversion.
"""

import os
import sys

import numpy as np

from scipy import ndimage

from f32 import read_f32

f32 = np.float32
# Float32 sums against double: far below one unit in the last place of 255
# times the few roundings of a bilinear sum.
TOLERANCE = 1e-3


def per_channel(image, function):
    return np.stack([function(image[:, :, k].astype(np.float64)) for k in range(image.shape[2])], axis=2)


def bilinear(image, y, x):
    n, m = image.shape[:2]
    inside = (y >= 0) & (y < n - 1) & (x >= 0) & (x < m - 1)
    coords = [y.astype(np.float64), x.astype(np.float64)]
    values = per_channel(image, lambda p: ndimage.map_coordinates(p, coords, order=1, mode="constant"))
    return np.where(inside[:, :, None], values, 0.0)


def rotate(image, degrees):
    n, m = image.shape[:2]
    theta = f32(degrees) * f32(-0.017453292)
    cos, sin = f32(np.cos(np.float64(theta))), f32(np.sin(np.float64(theta)))
    dr = (np.arange(n) - n // 2).astype(f32)[:, None]
    dc = (np.arange(m) - m // 2).astype(f32)[None, :]
    return bilinear(image, (dr * cos - dc * sin) + f32(n // 2), (dc * cos + dr * sin) + f32(m // 2))


def rescale(image, rows, cols, rowfactor, colfactor):
    y, x = np.meshgrid(np.arange(rows).astype(f32) / rowfactor, np.arange(cols).astype(f32) / colfactor,
                       indexing="ij")
    return bilinear(image, y, x)


def expected(image, operation, args):
    n, m = image.shape[:2]
    if operation == "rotate":
        return rotate(image, int(args[0]))
    if operation == "scale":
        rowfactor, colfactor = f32(args[0]), f32(args[1])
        colfactor = colfactor if colfactor != 0 else rowfactor
        return rescale(image, int(f32(n) * rowfactor), int(f32(m) * colfactor), rowfactor, colfactor)
    if operation == "scale_to":
        rows, cols = int(args[0]), int(args[1])
        return rescale(image, rows, cols, f32(rows) / f32(n), f32(cols) / f32(m))
    factor, mode = int(args[0]), int(args[1])
    if operation == "enlarge" and mode != 1:
        return np.repeat(np.repeat(image, factor, axis=0), factor, axis=1)
    if operation == "enlarge":
        y, x = np.meshgrid(np.arange(n * factor) / factor, np.arange(m * factor) / factor, indexing="ij")
        return per_channel(image, lambda p: ndimage.map_coordinates(p, [y, x], order=1, mode="nearest"))
    rows, cols = n // factor, m // factor
    if factor == 2 and mode == 1:
        cross = np.array([[0, 1, 0], [1, 2, 1], [0, 1, 0]]) / 6.0
        return per_channel(image, lambda p: ndimage.correlate(p, cross, mode="mirror"))[0:2 * rows:2, 0:2 * cols:2]
    blocks = image[:rows * factor, :cols * factor].astype(np.float64)
    return blocks.reshape(rows, factor, cols, factor, image.shape[2]).mean(axis=(1, 3))


def difference(label, ours, reference, tolerance):
    if ours.shape != reference.shape:
        return "%s: shape %s, expected %s" % (label, ours.shape, reference.shape)
    error = np.abs(ours.astype(np.float64) - reference)
    worst = np.unravel_index(np.argmax(error), error.shape)
    if error[worst] > tolerance:
        return "%s: off by %g at %s: %g, expected %g" % (label, error[worst], worst, ours[worst], reference[worst])
    return None


def luv_errors(label, ours, rgb):
    import cv2
    opencv = cv2.cvtColor(np.ascontiguousarray(rgb / f32(255)), cv2.COLOR_LRGB2Luv).astype(np.float64)
    # Ours rounds L, u and v to whole numbers (0.5) and the luminance to
    # 1/255 before the cube root (up to 1.6 in L just above the linear
    # branch, 13 |u' - u'n| <= 6 times that in u and v); the white points
    # differ by up to 1.4e-4 (0.2 in u and v at L = 100). Well above the
    # linear branch the quantisation is worth 0.22 in L at most.
    bright = opencv[:, :, 0:1] >= 50
    bounds = np.where(bright, [0.8, 1.6, 1.6], [2.2, 10.0, 10.0])
    errors = [difference("%s %s" % (label, "Luv"[k]), ours[:, :, k], opencv[:, :, k], 0) for k in range(3)
              if np.any(np.abs(ours[:, :, k] - opencv[:, :, k]) > bounds[:, :, k])]
    white = np.all(rgb == 255, axis=2)
    if not white.any() or np.any(ours[white] != [100, 0, 0]):
        errors.append(label + ": white is not (100, 0, 0)")
    return errors


def main():
    family, folder = sys.argv[1], sys.argv[2]
    operations = {"bilinear": ("rotate", "scale", "scale_to"), "enlarge": ("enlarge",), "reduce": ("reduce",),
                  "luv": ("luv",)}[family]
    errors, checked = [], 0
    with open(os.path.join(folder, "cases.txt")) as f:
        for name, input_name, operation, *args in (line.split() for line in f if line.strip()):
            if operation not in operations:
                continue
            checked += 1
            image = read_f32(os.path.join(folder, input_name + ".f32"))
            ours = read_f32(os.path.join(folder, name + ".f32"))
            label = " ".join([name, operation, input_name] + args)
            if operation == "luv":
                errors += luv_errors(label, ours, image)
            else:
                errors.append(difference(label, ours, expected(image, operation, args), TOLERANCE))
    errors = [e for e in errors if e] or ([] if checked else ["no %s results in %s" % (family, folder)])
    print("\n".join(errors), file=sys.stderr)
    print("%s: %d results checked, %d differ" % (family, checked, len(errors)))
    sys.exit(1 if errors else 0)


if __name__ == "__main__":
    main()

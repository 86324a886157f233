#!/usr/bin/env python3
"""Ratios from the JSON output of bench_pixel_ops: for each operation the
best (smallest) wall time over all repetitions and files given, ours against
OpenCV and against memcpy of the picture.

Usage: pixel_ops_report.py run1.json [run2.json ...]
"""
import json
import sys
from collections import defaultdict

# Ours, its OpenCV counterpart(s).
PAIRS = [
    ("BM_Rotate", ["BM_cv_warpAffine"]),
    ("BM_Scale_up", ["BM_cv_resize_up_linear"]),
    ("BM_Scale_down", ["BM_cv_resize_down_linear"]),
    ("BM_Reduce_mean", ["BM_cv_resize_down_area"]),
    ("BM_Reduce_cross", ["BM_cv_resize_down_area"]),
    ("BM_RGB_to_LUV", ["BM_cv_cvtColor_Luv"]),
]


def best_times(paths):
    best = defaultdict(lambda: float("inf"))
    for path in paths:
        with open(path) as f:
            for b in json.load(f)["benchmarks"]:
                if b.get("run_type", "iteration") != "iteration" or b.get("error_occurred"):
                    continue
                name = b.get("run_name", b["name"]).replace("/real_time", "")
                scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b.get("time_unit", "ns")]
                best[name] = min(best[name], b["real_time"] * scale)
    return best


def main():
    best = best_times(sys.argv[1:])
    memcpy = best["BM_memcpy"]
    new_image, new_up = best["BM_new_image/percent:100"], best["BM_new_image/percent:150"]
    print("memcpy %.2f ms; new image %.2f ms (%.1fx memcpy), of the up-scaled size %.2f ms (%.1fx)\n" % (
        memcpy, new_image, new_image / memcpy, new_up, new_up / memcpy))
    print("| operation | threads | ours ms | OpenCV ms | ours / OpenCV | ours / memcpy |")
    print("|---|---|---|---|---|---|")
    for ours, peers in PAIRS:
        for threads in ("0", "1"):
            mine = best.get("%s/threads:%s" % (ours, threads))
            for peer in peers:
                theirs = best.get("%s/threads:%s" % (peer, threads))
                if mine is None or theirs is None:
                    continue
                print("| %s vs %s | %s | %.1f | %.1f | %.2f | %.1f |" % (
                    ours[3:], peer[6:], "all" if threads == "0" else "1", mine, theirs, mine / theirs,
                    mine / memcpy))


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Opens the files kalvio_write_samples wrote with one peer program and
compares every pixel with NAME.expected.

    check_written.py pillow|magick|netpbm|layout FOLDER

"layout" checks instead what peers are lenient about: PGM/PPM files hold
exactly the header and the samples; BMP files are 8-bit with a grey colour
table (grey pictures) or 24-bit (colour), with sizes and offsets that match
the file. Exits non-zero on any difference, and when the peer is not
installed.
"""

import os
import struct
import subprocess
import sys


def expected(path):
    with open(path) as f:
        rows, cols, channels = (int(v) for v in f.readline().split())
        values = [[int(v) for v in line.split()] for line in f]
    assert len(values) == rows and all(len(v) == cols * channels for v in values), path + ": malformed"
    return rows, cols, channels, values


def as_rgb(values, channels):
    return [row if channels == 3 else [v for v in row for _ in range(3)] for row in values]


# ---- each peer's view: (cols, rows, rows of r, g, b values) -------------------

def read_pillow(path):
    from PIL import Image
    with Image.open(path) as im:
        im.load()
        rgb = im.convert("RGB")
        data = list(rgb.getdata())
        w, h = rgb.size
    return w, h, [[v for p in data[r * w:(r + 1) * w] for v in p] for r in range(h)]


def read_magick(path):
    size = subprocess.run(["identify", "-format", "%w %h", path], capture_output=True, check=True).stdout
    w, h = (int(v) for v in size.split())
    data = subprocess.run(["convert", path, "-depth", "8", "rgb:-"], capture_output=True, check=True).stdout
    return w, h, [list(data[3 * w * r:3 * w * (r + 1)]) for r in range(h)]


def read_netpbm(path):
    if path.endswith(".bmp"):
        ppm = subprocess.run(["bmptopnm", path], capture_output=True, check=True).stdout
        plain = subprocess.run(["pnmtoplainpnm"], input=ppm, capture_output=True, check=True).stdout
    else:
        plain = subprocess.run(["pnmtoplainpnm", path], capture_output=True, check=True).stdout
    words = plain.decode().split()
    kind, w, h, maxval = words[0], int(words[1]), int(words[2]), int(words[3])
    assert kind in ("P2", "P3") and maxval == 255, path + ": netpbm sees " + " ".join(words[:4])
    samples = [int(v) for v in words[4:]]
    if kind == "P2":
        samples = [v for v in samples for _ in range(3)]
    return w, h, [samples[3 * w * r:3 * w * (r + 1)] for r in range(h)]


PEERS = {"pillow": read_pillow, "magick": read_magick, "netpbm": read_netpbm}


# ---- file layout ---------------------------------------------------------------

def layout_problems(path, rows, cols, channels):
    with open(path, "rb") as f:
        data = f.read()
    if path.endswith((".pgm", ".ppm")):
        magic = b"P5" if path.endswith(".pgm") else b"P6"
        header = b"%s\n%d %d\n255\n" % (magic, cols, rows)
        samples = rows * cols * (1 if magic == b"P5" else 3)
        if not data.startswith(header):
            return ["header %r, want %r" % (data[:len(header)], header)]
        if len(data) != len(header) + samples:
            return ["%d bytes, want %d" % (len(data), len(header) + samples)]
        return []
    problems = []
    sig, file_size, _, offset = struct.unpack_from("<2sIII", data, 0)
    size, w, h, planes, bits, compression, image_size = struct.unpack_from("<IiiHHII", data, 14)
    used, = struct.unpack_from("<I", data, 46)
    want_bits = 8 if channels == 1 else 24
    stride = (cols * want_bits + 31) // 32 * 4
    table = 256 if want_bits == 8 else 0
    checks = [("signature", sig, b"BM"), ("file size field", file_size, len(data)),
              ("header size", size, 40), ("width", w, cols), ("height", h, rows), ("planes", planes, 1),
              ("bit count", bits, want_bits), ("compression", compression, 0),
              ("offset", offset, 54 + 4 * table), ("file length", len(data), 54 + 4 * table + stride * rows)]
    if image_size != 0:
        checks.append(("image size field", image_size, stride * rows))
    if want_bits == 8:
        checks.append(("colours used", used if used else 256, 256))
        grey = b"".join(bytes((k, k, k, 0)) for k in range(256))
        checks.append(("grey colour table", data[54:54 + 1024] == grey, True))
    problems += ["%s %r, want %r" % (what, got, want) for what, got, want in checks if got != want]
    return problems


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in list(PEERS) + ["layout"]:
        sys.exit(__doc__)
    peer, folder = PEERS.get(sys.argv[1]), sys.argv[2]
    names = sorted(n[:-len(".expected")] for n in os.listdir(folder) if n.endswith(".expected"))
    if len(names) < 8:
        sys.exit("only %d samples in %s" % (len(names), folder))
    failed = 0
    for name in names:
        rows, cols, channels, values = expected(os.path.join(folder, name + ".expected"))
        path = next(os.path.join(folder, name + e) for e in (".pgm", ".ppm", ".bmp")
                    if os.path.exists(os.path.join(folder, name + e)))
        if peer is None:
            problems = layout_problems(path, rows, cols, channels)
        else:
            try:
                problems = compare(peer(path), rows, cols, as_rgb(values, channels))
            except subprocess.CalledProcessError as e:
                problems = ["%s failed: %s" % (e.cmd[0], e.stderr.decode(errors="replace").strip())]
            except Exception as e:  # Pillow's refusals, a peer not installed
                problems = ["%s: %s" % (type(e).__name__, e)]
        print("%-24s %s" % (os.path.basename(path), "ok" if not problems else "FAILED"))
        for p in problems:
            print("    " + p)
        failed += bool(problems)
    print("%s: %d of %d files as written" % (sys.argv[1], len(names) - failed, len(names)))
    sys.exit(1 if failed else 0)


def compare(seen, rows, cols, want):
    w, h, got = seen
    if (w, h) != (cols, rows):
        return ["size %dx%d, want %dx%d" % (w, h, cols, rows)]
    bad = [(r, i // 3, "rgb"[i % 3], want[r][i], got[r][i])
           for r in range(rows) for i in range(3 * cols) if want[r][i] != got[r][i]]
    problems = ["(%d, %d) %s: want %d, got %d" % b for b in bad[:5]]
    if len(bad) > 5:
        problems.append("... %d mismatches in all" % len(bad))
    return problems


if __name__ == "__main__":
    main()

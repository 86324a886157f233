#!/usr/bin/env python3
"""Regenerates the picture files in tests/data/peer, written by other programs.

Every NAME.pgm / NAME.ppm / NAME.bmp is made by Pillow, ImageMagick or netpbm;
header variants that none of them writes (top-down rows, 108-byte headers,
masks after a 40-byte header, unusual PGM headers) are made by editing a
peer-written file here. NAME.expected holds the pixels: a line
"rows cols channels", then one line of values per row (channels 1: grey,
3: red green blue of each pixel in turn).

Nothing is written unless the values fed to the tool come back unchanged from
Pillow, from ImageMagick (8-bit files) and from netpbm (PGM and PPM), so the
expected values are what the peers themselves decode.

Run-length compressed bitmaps: ImageMagick writes RLE8 (its only compressed
BMP; asked for RLE with 16 colours or fewer it still writes 8 bits). RLE4
files and streams with absolute runs, deltas and early ends of line are
encoded here. Pillow 9.4 drops the last index of an odd absolute RLE4 run and
misplaces pixels after a delta, so files using those are checked against
ImageMagick alone.

It also writes tests/data/corrupt: hand-made hostile files, each named after
what it breaks, that a reader must refuse.

Needs python3-pil, imagemagick and netpbm. Run: python3 make_fixtures.py [OUTDIR]
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile

from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else os.path.join(HERE, "..", "data", "peer")
CORRUPT = os.path.join(OUT, "..", "corrupt")
WORK = tempfile.mkdtemp(prefix="kalvio-fixtures-")


# ---- pixel values: rows of ints (grey) or of (r, g, b) tuples -------------

def grey(w, h):
    # (0, 0) is 10, a line feed: a reader that skips white space after the
    # maximum value loses it.
    return [[(10 + 53 * r + 29 * c + 7 * r * c) % 256 for c in range(w)] for r in range(h)]


def colour(w, h):
    # The first sample is 32, a space.
    return [[((32 + 40 * r + 17 * c) % 256, (255 - 23 * r - 31 * c) % 256, (7 + 13 * r * c + 90 * c) % 256)
             for c in range(w)] for r in range(h)]


def deep(w, h, maxval):
    # 16-bit samples, with values above 32767 when maxval allows.
    return [[(10 + 12011 * r + 5003 * c + 257 * r * c) % (maxval + 1) for c in range(w)] for r in range(h)]


def indexed(w, h, table):
    return [[table[(3 * r + c) % len(table)] for c in range(w)] for r in range(h)]


def table(n, grey_only=False):
    """n distinct colours (or greys)."""
    if grey_only:
        return [(v, v, v) for v in ((17 + 61 * i) % 256 for i in range(n))]
    return [((29 + 97 * i) % 256, (200 - 51 * i) % 256, (i * i * 7 + 3) % 256) for i in range(n)]


# 5- and 6-bit channel values whose 8-bit forms agree under truncating,
# rounding and bit-repeating expansion.
FIVE = [0, 1, 2, 5, 6, 9, 10, 11, 14, 15, 18, 19, 23, 27, 31]
SIX = [0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 42, 43, 44, 45, 46, 47, 63]


def short_colour(w, h, green_bits):
    """(values to feed, values expected) for a 16-bit bitmap; ImageMagick
    truncates when it drops bits, so it is fed the top of each level's range."""
    g = SIX if green_bits == 6 else FIVE
    levels = [[((FIVE[(r + 2 * c) % len(FIVE)], 31), (g[(5 * r + c) % len(g)], 2 ** green_bits - 1),
                (FIVE[(4 * r + 3 * c + 7) % len(FIVE)], 31)) for c in range(w)] for r in range(h)]
    fed = [[tuple(-(-v * 255 // top) for v, top in p) for p in row] for row in levels]
    expected = [[tuple(v * 255 // top for v, top in p) for p in row] for row in levels]
    return fed, expected


def is_grey(px):
    return all(isinstance(v, int) for row in px for v in row)


def flat(px):
    return [v for row in px for p in row for v in (p if isinstance(p, tuple) else (p,))]


# ---- peers ------------------------------------------------------------------

def run(*cmd):
    return subprocess.run(cmd, stdout=subprocess.PIPE, check=True).stdout


def pil_image(px):
    h, w = len(px), len(px[0])
    im = Image.new("L" if is_grey(px) else "RGB", (w, h))
    im.putdata([p for row in px for p in row])
    return im


def raw(px, name, two_bytes=False):
    """px as raw samples in a scratch file, for ImageMagick and netpbm."""
    path = os.path.join(WORK, name)
    with open(path, "wb") as f:
        f.write(struct.pack(">%dH" % len(flat(px)), *flat(px)) if two_bytes else bytes(flat(px)))
    return path


def magick(px, out, *options, alpha=None):
    """ImageMagick convert from raw samples to `out` (e.g. "BMP3:x.bmp")."""
    h, w = len(px), len(px[0])
    if alpha is None:
        src = ("gray:" if is_grey(px) else "rgb:") + raw(px, "in.raw")
    else:
        rgba = [tuple(p) + (a,) for row, arow in zip(px, alpha) for p, a in zip(row, arow)]
        src = "rgba:" + raw([rgba], "in.raw")
    run("convert", "-size", "%dx%d" % (w, h), "-depth", "8", src, *options, out)


def pillow_values(path):
    """Pixels as Pillow decodes them; 16-bit PNM samples scaled back to the file's maximum."""
    im = Image.open(path)
    im.load()
    if im.mode in ("I", "I;16", "I;16B"):
        maxval = int(open(path, "rb").read(64).split()[3])
        return [[round(im.getpixel((c, r)) * maxval / 65535) for c in range(im.width)] for r in range(im.height)]
    if im.mode in ("L", "1"):
        im = im.convert("L")
        return [[im.getpixel((c, r)) for c in range(im.width)] for r in range(im.height)]
    im = im.convert("RGB")
    return [[im.getpixel((c, r)) for c in range(im.width)] for r in range(im.height)]


def magick_values(path, w, h):
    data = run("convert", path, "-depth", "8", "rgb:-")
    assert len(data) == 3 * w * h, path
    return [[tuple(data[3 * (r * w + c):3 * (r * w + c) + 3]) for c in range(w)] for r in range(h)]


def netpbm_values(path):
    """Samples of a PNM file as netpbm reads them (plain format, exact values)."""
    text = run("pnmtoplainpnm", path).decode()
    words = [line.split("#")[0] for line in text.splitlines()]
    words = " ".join(words).split()
    w, h = int(words[1]), int(words[2])
    step = 1 if words[0] == "P2" else 3
    vals = [int(v) for v in words[4:]]
    return [[vals[(r * w + c) * step] if step == 1 else tuple(vals[(r * w + c) * 3:(r * w + c) * 3 + 3])
             for c in range(w)] for r in range(h)]


def as_rgb(px):
    return [[p if isinstance(p, tuple) else (p, p, p) for p in row] for row in px]


# ---- hand edits of peer-written BMP files -------------------------------------

def bmp_parts(data):
    offset, = struct.unpack_from("<I", data, 10)
    size, = struct.unpack_from("<I", data, 14)
    return data[14:14 + size], data[14 + size:offset], data[offset:]


def bmp_join(header, table_bytes, pixels):
    offset = 14 + len(header) + len(table_bytes)
    return (b"BM" + struct.pack("<IHHI", offset + len(pixels), 0, 0, offset)
            + header + table_bytes + pixels)


def top_down(data):
    header, table_bytes, pixels = bmp_parts(data)
    w, h = struct.unpack_from("<ii", header, 4)
    stride = len(pixels) // h
    rows = [pixels[i * stride:(i + 1) * stride] for i in range(h)]
    header = header[:8] + struct.pack("<i", -h) + header[12:]
    return bmp_join(header, table_bytes, b"".join(reversed(rows)))


def v5_to_v4(data):
    """Drops the last 16 bytes (rendering intent and profile) of a 124-byte header."""
    header, table_bytes, pixels = bmp_parts(data)
    assert len(header) == 124
    return bmp_join(struct.pack("<I", 108) + header[4:108], table_bytes, pixels)


def v5_masks_after_40(data):
    """The classic layout: a 40-byte header, compression 3, then three masks."""
    header, table_bytes, pixels = bmp_parts(data)
    assert struct.unpack_from("<I", header, 16)[0] == 3
    return bmp_join(struct.pack("<I", 40) + header[4:40], header[40:52] + table_bytes, pixels)


def v5_plain_555(data):
    """16-bit without masks (5-5-5 implied), 40-byte header, compression 0."""
    header, table_bytes, pixels = bmp_parts(data)
    assert header[40:52] == struct.pack("<III", 0x7C00, 0x3E0, 0x1F)
    return bmp_join(struct.pack("<I", 40) + header[4:16] + struct.pack("<I", 0) + header[20:40],
                    table_bytes, pixels)


# ---- run-length streams ------------------------------------------------------

def rle_row(indices, bits, absolute_step=1):
    """One row as runs of equal indices and absolute runs of the rest, then
    an end of line. Absolute runs hold a multiple of `absolute_step` indices
    (2 keeps RLE4 ones whole bytes)."""
    out, x, n = b"", 0, len(indices)
    while x < n:
        run = 1
        while x + run < n and run < 255 and indices[x + run] == indices[x]:
            run += 1
        end = x  # the stretch before the next three equal indices
        while end < n and not (end + 2 < n and indices[end] == indices[end + 1] == indices[end + 2]):
            end += 1
        length = min(end - x, 254) // absolute_step * absolute_step
        if run >= 3 or length < 3:
            out += bytes((run, indices[x] * 17 if bits == 4 else indices[x]))
            x += run
            continue
        chunk = indices[x:x + length]
        body = bytes(chunk) if bits == 8 else bytes(
            (chunk[i] << 4) | (chunk[i + 1] if i + 1 < length else 0) for i in range(0, length, 2))
        out += bytes((0, length)) + body + b"\0" * (len(body) % 2)
        x += length
    return out + b"\0\0"


def rle_bmp(w, h, bits, colours, stream):
    """An RLE8 (bits 8) or RLE4 (bits 4) bitmap, bottom-up, from its pixel stream."""
    table_bytes = b"".join(bytes((b, g, r, 0)) for r, g, b in colours)
    header = struct.pack("<IiiHHIIiiII", 40, w, h, 1, bits, 1 if bits == 8 else 2, len(stream),
                         2835, 2835, len(colours), 0)
    return bmp_join(header, table_bytes, stream)


def rle_encode(px_indices, bits, absolute_step=1):
    """Rows given top first, stored bottom first, ended by an end of bitmap."""
    return b"".join(rle_row(row, bits, absolute_step) for row in reversed(px_indices)) + b"\0\1"


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def edit(src, dst, change):
    with open(src, "rb") as f:
        data = change(f.read())
    with open(dst, "wb") as f:
        f.write(data)


# ---- fixtures -----------------------------------------------------------------

def bmp_info(path):
    with open(path, "rb") as f:
        d = f.read(54)
    size, w, h, _, bits, compression = struct.unpack_from("<IiiHHI", d, 14)
    return size, bits, compression, h


def finish(name, ext, px, bmp=None, pillow=True):
    """Checks that the peers read the file back as px, then writes NAME.expected."""
    path = os.path.join(OUT, name + "." + ext)
    if bmp is not None:
        got = bmp_info(path)
        assert all(want is None or want == have for want, have in zip(bmp, got)), (name, bmp, got)
    h, w = len(px), len(px[0])
    deep_samples = ext == "pgm" and max(flat(px)) > 255
    if pillow:
        assert as_rgb(pillow_values(path)) == as_rgb(px), name + ": Pillow reads other values"
    if not deep_samples:
        assert magick_values(path, w, h) == as_rgb(px), name + ": ImageMagick reads other values"
    if ext != "bmp":
        assert netpbm_values(path) == px, name + ": netpbm reads other values"
    channels = 1 if is_grey(px) else 3
    with open(os.path.join(OUT, name + ".expected"), "w") as f:
        f.write("%d %d %d\n" % (h, w, channels))
        for row in px:
            f.write(" ".join(str(v) for v in flat([row])) + "\n")
    print("%-32s %s" % (name + "." + ext, "%dx%d" % (w, h)))


def out(name):
    return os.path.join(OUT, name)


def hostile_bitmaps():
    """Run-length bitmaps that break one rule each, 3 x 2 unless the name
    says otherwise, written to CORRUPT."""
    four = table(4)
    top_down = rle_bmp(3, 2, 8, four, bytes([3, 1, 0, 0, 3, 2, 0, 0, 0, 1]))
    top_down = top_down[:22] + struct.pack("<i", -2) + top_down[26:]
    wrong_bits = rle_bmp(3, 2, 8, four, bytes([3, 1, 0, 0, 3, 2, 0, 0, 0, 1]))
    wrong_bits = wrong_bits[:30] + struct.pack("<I", 2) + wrong_bits[34:]
    files = {
        # A stored 3-pixel row has room for 4 indices (8 in RLE4).
        "rle8-run-past-row.bmp": rle_bmp(3, 2, 8, four, bytes([5, 1, 0, 0, 0, 1])),
        "rle8-absolute-past-row.bmp": rle_bmp(3, 2, 8, four, bytes([0, 5, 1, 2, 3, 1, 2, 0, 0, 1])),
        "rle4-run-past-row.bmp": rle_bmp(3, 2, 4, four, bytes([9, 0x12, 0, 0, 0, 1])),
        "rle8-delta-past-row.bmp": rle_bmp(3, 2, 8, four, bytes([0, 2, 5, 0, 0, 1])),
        "rle8-delta-above-top-row.bmp": rle_bmp(3, 2, 8, four, bytes([0, 2, 0, 2, 0, 1])),
        "rle8-ends-before-end-of-bitmap.bmp": rle_bmp(3, 2, 8, four, bytes([3, 1, 0, 0, 2, 2])),
        "rle8-top-down.bmp": top_down,
        "rle4-on-8-bit-pixels.bmp": wrong_bits,
        # 50000 x 50000 blank pixels (2.5 GB) claimed by a two-byte stream.
        "rle8-huge-blank.bmp": rle_bmp(50000, 50000, 8, four, bytes([0, 1])),
    }
    os.makedirs(CORRUPT, exist_ok=True)
    for name, data in files.items():
        write(os.path.join(CORRUPT, name), data)
        print("%-32s %d bytes" % (name, len(data)))


def main():
    os.makedirs(OUT, exist_ok=True)
    for f in os.listdir(OUT):
        os.remove(os.path.join(OUT, f))

    # PGM and PPM.
    g7, g13, c7, c13 = grey(7, 5), grey(13, 4), colour(7, 5), colour(13, 4)
    pil_image(g7).save(out("pgm8_pillow_7x5.pgm"))
    finish("pgm8_pillow_7x5", "pgm", g7)
    with open(out("pgm8_netpbm_13x4.pgm"), "wb") as f:
        f.write(run("rawtopgm", "13", "4", raw(g13, "g13.raw")))
    finish("pgm8_netpbm_13x4", "pgm", g13)
    magick(g7, "pgm:" + out("pgm8_comments_magick_7x5.pgm"), "-set", "comment", "made by\nImageMagick")
    finish("pgm8_comments_magick_7x5", "pgm", g7)

    d7 = deep(7, 5, 65535)
    run("convert", "-size", "7x5", "-depth", "16", "-endian", "MSB", "gray:" + raw(d7, "d7.raw", True),
        "pgm:" + out("pgm16_magick_7x5.pgm"))
    assert b"\n65535\n" in open(out("pgm16_magick_7x5.pgm"), "rb").read(20)
    finish("pgm16_magick_7x5", "pgm", d7)
    d13 = deep(13, 4, 1000)
    with open(out("pgm16_max1000_netpbm_13x4.pgm"), "wb") as f:
        f.write(run("rawtopgm", "-bpp", "2", "-maxval", "1000", "13", "4", raw(d13, "d13.raw", True)))
    finish("pgm16_max1000_netpbm_13x4", "pgm", d13)

    # Headers netpbm accepts but the usual writers never make, from a netpbm file.
    body = open(out("pgm8_netpbm_13x4.pgm"), "rb").read().split(b"\n255\n", 1)[1]
    with open(out("pgm8_header_split_13x4.pgm"), "wb") as f:
        f.write(b"P5\n# made by hand\n13\n# rows next\n4 # rows\n# maximum next\n255\n" + body)
    finish("pgm8_header_split_13x4", "pgm", g13)
    with open(out("pgm8_header_one_line_13x4.pgm"), "wb") as f:
        f.write(b"P5\n13 4 255\n" + body)
    finish("pgm8_header_one_line_13x4", "pgm", g13)

    pil_image(c7).save(out("ppm8_pillow_7x5.ppm"))
    finish("ppm8_pillow_7x5", "ppm", c7)
    with open(out("ppm8_netpbm_13x4.ppm"), "wb") as f:
        f.write(run("rawtoppm", "13", "4", raw(c13, "c13.raw")))
    finish("ppm8_netpbm_13x4", "ppm", c13)
    magick(c13, "ppm:" + out("ppm8_comments_magick_13x4.ppm"), "-set", "comment", "made by ImageMagick")
    finish("ppm8_comments_magick_13x4", "ppm", c13)

    # BMP with a colour table.
    bw = [[255 * ((r + c) % 3 == 0) for c in range(13)] for r in range(4)]
    pil_image(bw).convert("1", dither=Image.Dither.NONE).save(out("bmp1_grey_pillow_13x4.bmp"))
    finish("bmp1_grey_pillow_13x4", "bmp", bw, bmp=(40, 1, 0, 4))
    two = indexed(7, 5, table(2))
    magick(two, "BMP3:" + out("bmp1_colour_magick_7x5.bmp"), "-type", "palette", "-compress", "none")
    finish("bmp1_colour_magick_7x5", "bmp", two, bmp=(40, 1, 0, 5))
    twelve = indexed(13, 4, table(12))
    magick(twelve, "BMP3:" + out("bmp4_colour_magick_13x4.bmp"), "-type", "palette", "-compress", "none")
    finish("bmp4_colour_magick_13x4", "bmp", twelve, bmp=(40, 4, 0, 4))
    pil_image(g7).save(out("bmp8_grey_pillow_7x5.bmp"))
    finish("bmp8_grey_pillow_7x5", "bmp", g7, bmp=(40, 8, 0, 5))
    forty = indexed(13, 4, table(40))
    im = Image.new("P", (13, 4))
    im.putpalette([v for rgb in table(40) for v in rgb])
    im.putdata([(3 * r + c) % 40 for r in range(4) for c in range(13)])
    im.save(out("bmp8_colour_pillow_13x4.bmp"))
    finish("bmp8_colour_pillow_13x4", "bmp", forty, bmp=(40, 8, 0, 4))
    greys = [[p[0] for p in row] for row in indexed(7, 5, table(30, grey_only=True))]
    magick(greys, "BMP3:" + out("bmp8_greytable_magick_7x5.bmp"), "-type", "palette", "-compress", "none")
    finish("bmp8_greytable_magick_7x5", "bmp", greys, bmp=(40, 8, 0, 5))
    edit(out("bmp8_colour_pillow_13x4.bmp"), out("bmp8_colour_topdown_13x4.bmp"), top_down)
    finish("bmp8_colour_topdown_13x4", "bmp", forty, bmp=(40, 8, 0, -4))

    # Run-length compressed, 8 and 4 bits.
    magick(forty, "BMP3:" + out("bmp8_rle_magick_13x4.bmp"), "-type", "palette", "-compress", "RLE")
    finish("bmp8_rle_magick_13x4", "bmp", forty, bmp=(40, 8, 1, 4))
    twenty = table(20)
    spans = [[twenty[(5 * r + c // 3) % 20] for c in range(13)] for r in range(4)]
    magick(spans, "BMP3:" + out("bmp8_rle_spans_magick_13x4.bmp"), "-type", "palette")
    finish("bmp8_rle_spans_magick_13x4", "bmp", spans, bmp=(40, 8, 1, 4))
    sixteen = table(16)
    runs4 = [[(3 * r + c) % 12 for c in range(6)] + [(5 * r) % 12] * 7 for r in range(4)]
    write(out("bmp4_rle_13x4.bmp"), rle_bmp(13, 4, 4, sixteen, rle_encode(runs4, 4, absolute_step=2)))
    finish("bmp4_rle_13x4", "bmp", [[sixteen[i] for i in row] for row in runs4], bmp=(40, 4, 2, 4))
    # Every escape: an odd absolute run with its pad byte, an early end of
    # line, a delta over a row and a half. Skipped pixels are index 0.
    escapes8 = bytes([0, 5, 1, 2, 3, 4, 5, 0, 2, 6, 0, 0,   # bottom row
                      3, 7, 0, 0,
                      0, 2, 2, 1,                           # to column 2 two rows up
                      5, 8, 0, 0,
                      0, 3, 9, 10, 11, 0, 4, 12, 0, 0, 0, 1])
    escapes4 = bytes([0, 5, 0x12, 0x34, 0x50, 0, 2, 0x66, 0, 0,
                      3, 0x77, 0, 0,
                      0, 2, 2, 1,
                      5, 0x8F, 0, 0,
                      0, 3, 0x9A, 0xB0, 4, 0xCC, 0, 0, 0, 1])
    for bits, stream, third_row in ((8, escapes8, [0, 0, 8, 8, 8, 8, 8]), (4, escapes4, [0, 0, 8, 15, 8, 15, 8])):
        name = "bmp%d_rle_escapes_7x5" % bits
        write(out(name + ".bmp"), rle_bmp(7, 5, bits, sixteen, stream))
        indices = [[9, 10, 11, 12, 12, 12, 12], third_row, [0] * 7, [7, 7, 7, 0, 0, 0, 0], [1, 2, 3, 4, 5, 6, 6]]
        finish(name, "bmp", [[sixteen[i] for i in row] for row in indices],
               bmp=(40, bits, 1 if bits == 8 else 2, 5), pillow=False)

    # BMP with pixels of 16, 24 and 32 bits.
    pil_image(c7).save(out("bmp24_pillow_7x5.bmp"))
    finish("bmp24_pillow_7x5", "bmp", c7, bmp=(40, 24, 0, 5))
    magick(c13, "BMP3:" + out("bmp24_magick_13x4.bmp"), "-type", "truecolor")
    finish("bmp24_magick_13x4", "bmp", c13, bmp=(40, 24, 0, 4))
    edit(out("bmp24_pillow_7x5.bmp"), out("bmp24_topdown_7x5.bmp"), top_down)
    finish("bmp24_topdown_7x5", "bmp", c7, bmp=(40, 24, 0, -5))
    magick(c7, "BMP:" + out("bmp24_v5_magick_7x5.bmp"), "-type", "truecolor")
    finish("bmp24_v5_magick_7x5", "bmp", c7, bmp=(124, 24, 0, 5))
    magick(c13, "BMP:" + out("bmp24_v4_13x4.bmp"), "-type", "truecolor")
    edit(out("bmp24_v4_13x4.bmp"), out("bmp24_v4_13x4.bmp"), v5_to_v4)
    finish("bmp24_v4_13x4", "bmp", c13, bmp=(108, 24, 0, 4))

    alpha7 = [[(255 - 37 * r - 11 * c) % 256 for c in range(7)] for r in range(5)]
    rgba = Image.new("RGBA", (7, 5))
    rgba.putdata([p + (a,) for row, arow in zip(c7, alpha7) for p, a in zip(row, arow)])
    rgba.save(out("bmp32_pillow_7x5.bmp"))
    finish("bmp32_pillow_7x5", "bmp", c7, bmp=(40, 32, 0, 5))
    alpha13 = [[200 + (r + c) % 56 for c in range(13)] for r in range(4)]
    magick(c13, "BMP:" + out("bmp32_masks_magick_13x4.bmp"), "-type", "truecoloralpha", alpha=alpha13)
    finish("bmp32_masks_magick_13x4", "bmp", c13, bmp=(124, 32, 3, 4))

    (f565, s565), (f555, s555) = short_colour(13, 4, 6), short_colour(7, 5, 5)
    magick(f565, "BMP:" + out("bmp16_565_magick_13x4.bmp"), "-define", "bmp:subtype=RGB565")
    finish("bmp16_565_magick_13x4", "bmp", s565, bmp=(124, 16, 3, 4))
    magick(f555, "BMP:" + out("bmp16_555_magick_7x5.bmp"), "-define", "bmp:subtype=RGB555")
    finish("bmp16_555_magick_7x5", "bmp", s555, bmp=(124, 16, 3, 5))
    edit(out("bmp16_565_magick_13x4.bmp"), out("bmp16_565_v4_13x4.bmp"), v5_to_v4)
    finish("bmp16_565_v4_13x4", "bmp", s565, bmp=(108, 16, 3, 4))
    edit(out("bmp16_565_magick_13x4.bmp"), out("bmp16_565_info40_13x4.bmp"), v5_masks_after_40)
    finish("bmp16_565_info40_13x4", "bmp", s565, bmp=(40, 16, 3, 4))
    edit(out("bmp16_555_magick_7x5.bmp"), out("bmp16_555_plain_7x5.bmp"), v5_plain_555)
    finish("bmp16_555_plain_7x5", "bmp", s555, bmp=(40, 16, 0, 5))

    total = sum(os.path.getsize(os.path.join(OUT, f)) for f in os.listdir(OUT))
    print("%d files, %d bytes in %s" % (len(os.listdir(OUT)), total, OUT))
    hostile_bitmaps()
    shutil.rmtree(WORK)


if __name__ == "__main__":
    main()

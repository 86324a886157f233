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
expected values are what the peers themselves decode. rle*.bmp files are compressed bitmaps,
which Kalvio refuses; they have no .expected file.

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


def finish(name, ext, px, bmp=None):
    """Checks that the peers read the file back as px, then writes NAME.expected."""
    path = os.path.join(OUT, name + "." + ext)
    if bmp is not None:
        got = bmp_info(path)
        assert all(want is None or want == have for want, have in zip(bmp, got)), (name, bmp, got)
    h, w = len(px), len(px[0])
    deep_samples = ext == "pgm" and max(flat(px)) > 255
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
    magick(forty, "BMP3:" + out("rle8_magick_13x4.bmp"), "-type", "palette", "-compress", "RLE")
    assert bmp_info(out("rle8_magick_13x4.bmp"))[2] == 1

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
    shutil.rmtree(WORK)


if __name__ == "__main__":
    main()

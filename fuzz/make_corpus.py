#!/usr/bin/env python3
"""Writes the seed files of the fuzzing corpus: small valid pictures of every
kind each reader accepts, into fuzz/corpus/<reader>/.

Usage: python3 fuzz/make_corpus.py [OUTPUT_DIR]   (default: fuzz/corpus)

Seeds are rewritten in place; files that fuzzing added to the corpus (named by
their hash) are left alone.
"""
import os
import struct
import sys


def pattern(count, modulo=256, step=37):
    """`count` sample values that vary across the picture."""
    return [(i * step + i // 7) % modulo for i in range(count)]


# Netpbm ------------------------------------------------------------------

def pnm(magic, header_text, samples, maxval):
    if maxval > 255:
        body = b"".join(struct.pack(">H", v % (maxval + 1)) for v in samples)
    else:
        body = bytes(v % (maxval + 1) for v in samples)
    return magic + header_text.encode("ascii") + body


def pgm_seeds():
    return {
        "tiny_8bit.pgm": pnm(b"P5", "\n4 3\n255\n", pattern(12), 255),
        "comments.pgm": pnm(b"P5", " # made by hand\n4# width\n  3 # height\n#\n200\n",
                            pattern(12), 200),
        "one_pixel.pgm": pnm(b"P5", "\n1 1\n255\n", [128], 255),
        "maxval_1.pgm": pnm(b"P5", "\n5 2\n1\n", pattern(10), 1),
        "crlf.pgm": pnm(b"P5", "\r\n3 2\r\n255\r", pattern(6), 255),
        "16bit_65535.pgm": pnm(b"P5", "\n3 2\n65535\n",
                               [0, 1, 255, 256, 40000, 65535], 65535),
        "16bit_1000.pgm": pnm(b"P5", "\n4 4\n1000\n", pattern(16, 1001, 97), 1000),
        "wide_row.pgm": pnm(b"P5", "\n40 2\n255\n", pattern(80), 255),
    }


def ppm_seeds():
    return {
        "tiny_8bit.ppm": pnm(b"P6", "\n3 2\n255\n", pattern(18), 255),
        "comments.ppm": pnm(b"P6", "\n# colour\n2 2 # size\n255\n", pattern(12), 255),
        "one_pixel.ppm": pnm(b"P6", " 1 1 255 ", [255, 0, 64], 255),
        "16bit_65535.ppm": pnm(b"P6", "\n2 1\n65535\n", [0, 300, 65535, 1, 2, 40000], 65535),
        "maxval_15.ppm": pnm(b"P6", "\n3 3\n15\n", pattern(27, 16), 15),
    }


# BMP ---------------------------------------------------------------------

def row_size(width, bits):
    return (width * bits + 31) // 32 * 4


def pack_rows(rows, width, bits):
    """Pixel rows (lists of values, top row first as given) into padded bytes."""
    out = b""
    for values in rows:
        if bits in (1, 4):
            per_byte = 8 // bits
            raw = bytearray((width + per_byte - 1) // per_byte)
            for x, v in enumerate(values):
                shift = 8 - bits * (x % per_byte + 1)
                raw[x // per_byte] |= (v & ((1 << bits) - 1)) << shift
            raw = bytes(raw)
        elif bits == 8:
            raw = bytes(values)
        elif bits == 16:
            raw = b"".join(struct.pack("<H", v) for v in values)
        elif bits == 24:
            raw = b"".join(bytes(v) for v in values)
        else:  # 32
            raw = b"".join(struct.pack("<I", v) for v in values)
        out += raw + b"\0" * (row_size(width, bits) - len(raw))
    return out


def bmp(width, height, bits, rows, palette=None, compression=0, masks=None,
        header_size=40, top_down=False):
    """A BMP file. `rows` are given top row first; they are stored bottom-up
    unless top_down. `masks` (red, green, blue[, alpha]) go after a 40-byte
    header or into a larger one."""
    stored = rows if top_down else list(reversed(rows))
    pixels = pack_rows(stored, width, bits)
    table = b"".join(bytes((b, g, r, 0)) for (r, g, b) in (palette or []))
    info = struct.pack("<iiHHIIiiII", width, -height if top_down else height, 1, bits,
                       compression, len(pixels), 2835, 2835, len(palette or []), 0)
    extra = b""
    if header_size == 40:
        if masks:
            extra = b"".join(struct.pack("<I", m) for m in masks[:3])
    else:
        m = list(masks or (0, 0, 0)) + [0] * 4
        v4 = struct.pack("<IIII", m[0], m[1], m[2], m[3]) + b"BGRs" + b"\0" * 36 + b"\0" * 12
        info += v4
        if header_size == 124:
            info += struct.pack("<IIII", 4, 0, 0, 0)
    header = struct.pack("<I", header_size) + info
    assert len(header) == header_size, (len(header), header_size)
    offset = 14 + header_size + len(extra) + len(table)
    file_header = b"BM" + struct.pack("<IHHI", offset + len(pixels), 0, 0, offset)
    return file_header + header + extra + table + pixels


def rle_bmp(width, height, bits, stream, palette):
    """A run-length compressed bitmap, RLE8 for 8 bits and RLE4 for 4, from
    its pixel stream (bottom row first)."""
    table = b"".join(bytes((b, g, r, 0)) for (r, g, b) in palette)
    info = struct.pack("<iiHHIIiiII", width, height, 1, bits, 1 if bits == 8 else 2, len(stream),
                       2835, 2835, len(palette), 0)
    offset = 14 + 40 + len(table)
    file_header = b"BM" + struct.pack("<IHHI", offset + len(stream), 0, 0, offset)
    return file_header + struct.pack("<I", 40) + info + table + stream


def grey_palette(n):
    return [(i * 255 // max(n - 1, 1),) * 3 for i in range(n)]


def bmp_seeds():
    w, h = 5, 3
    idx = lambda n: [[(x + 2 * y) % n for x in range(w)] for y in range(h)]
    rgb = [[((40 * x) % 256, (70 * y) % 256, (x * y * 30) % 256) for x in range(w)]
           for y in range(h)]
    bgr = [[(b, g, r) for (r, g, b) in row] for row in rgb]
    rgb565 = [[((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3) for (r, g, b) in row] for row in rgb]
    rgb555 = [[((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3) for (r, g, b) in row] for row in rgb]
    xrgb = [[(r << 16) | (g << 8) | b for (r, g, b) in row] for row in rgb]
    rgba = [[(r << 24) | (g << 16) | (b << 8) | 0xFF for (r, g, b) in row] for row in rgb]
    colours16 = [((i * 16) % 256, (i * 80) % 256, (255 - i * 16) % 256) for i in range(16)]
    colours256 = [(i, (i * 7) % 256, 255 - i) for i in range(256)]
    return {
        "1bit.bmp": bmp(w, h, 1, idx(2), palette=[(0, 0, 0), (255, 255, 255)]),
        "1bit_wide.bmp": bmp(35, 2, 1, [[(x // 3) % 2 for x in range(35)]] * 2,
                             palette=[(10, 20, 30), (200, 100, 50)]),
        "4bit.bmp": bmp(w, h, 4, idx(16), palette=colours16),
        "4bit_grey.bmp": bmp(w, h, 4, idx(16), palette=grey_palette(16)),
        "8bit_grey.bmp": bmp(w, h, 8, idx(256), palette=grey_palette(256)),
        "8bit_colour.bmp": bmp(w, h, 8, idx(256), palette=colours256),
        "8bit_short_table.bmp": bmp(w, h, 8, idx(12), palette=grey_palette(12)),
        "8bit_top_down.bmp": bmp(w, h, 8, idx(256), palette=grey_palette(256), top_down=True),
        "16bit_555.bmp": bmp(w, h, 16, rgb555),
        "16bit_565_bitfields.bmp": bmp(w, h, 16, rgb565, compression=3,
                                       masks=(0xF800, 0x07E0, 0x001F)),
        "24bit.bmp": bmp(w, h, 24, bgr),
        "24bit_top_down.bmp": bmp(w, h, 24, bgr, top_down=True),
        "24bit_grey.bmp": bmp(4, 2, 24, [[(v, v, v) for v in (0, 80, 160, 255)]] * 2),
        "32bit.bmp": bmp(w, h, 32, xrgb),
        "32bit_bitfields.bmp": bmp(w, h, 32, rgba, compression=3,
                                   masks=(0xFF000000, 0x00FF0000, 0x0000FF00)),
        "32bit_v4_header.bmp": bmp(w, h, 32, rgba, compression=3, header_size=108,
                                   masks=(0xFF000000, 0x00FF0000, 0x0000FF00, 0x000000FF)),
        "24bit_v5_header.bmp": bmp(w, h, 24, bgr, header_size=124),
        "8bit_v5_header.bmp": bmp(w, h, 8, idx(256), palette=grey_palette(256), header_size=124),
        # Every escape: an odd absolute run and its pad byte, a run, end of
        # line, a delta over the middle row, end of bitmap.
        "8bit_rle.bmp": rle_bmp(w, h, 8, bytes([0, 3, 1, 2, 3, 0, 2, 4, 0, 0, 0, 2, 2, 1,
                                                3, 5, 0, 0, 0, 1]), colours16),
        "4bit_rle.bmp": rle_bmp(w, h, 4, bytes([0, 5, 0x12, 0x34, 0x50, 0, 0, 0, 0, 2, 2, 1,
                                                3, 0x67, 0, 0, 0, 1]), colours16),
    }


# qvf ---------------------------------------------------------------------

def qvf(rows, cols, datatype, color, body):
    return b"QV\n%d %d\n%d\n%d\n" % (rows, cols, datatype, color) + body


def qvf_seeds():
    r, c = 3, 4
    n = r * c
    return {
        "uint8.qvf": qvf(r, c, 4, 0, bytes(pattern(n))),
        "int16.qvf": qvf(r, c, 7, 0, b"".join(struct.pack("<h", v - 2000)
                                              for v in pattern(n, 5000, 333))),
        "int32.qvf": qvf(r, c, 5, 0, b"".join(struct.pack("<i", (v - 128) * 100000)
                                              for v in pattern(n))),
        "float.qvf": qvf(r, c, 6, 0, b"".join(struct.pack("<f", (v - 100) / 8.0)
                                              for v in pattern(n))),
        "colour.qvf": qvf(r, c, 4, 1, bytes(pattern(3 * n))),
        "scratch.qvf": qvf(2, 2, 0, 0, b""),
    }


# Medical -----------------------------------------------------------------

def medical(side, header=b"", little_endian=False):
    values = pattern(side * side, 4096, 171)
    if little_endian:
        # 12-bit words low byte first; as big-endian they leave 0..4095.
        body = b"".join(bytes((v & 0xFF, (v >> 8) | 0xF0)) for v in values)
    else:
        body = b"".join(struct.pack(">H", v) for v in values)
    return header + body


def medical_seeds():
    header = (b"ACR-NEMA scanner header " * 5)[:100]
    return {
        "16x16_512_bytes.ima": medical(16),
        "16x16_with_header_612_bytes.ima": medical(16, header),
        "8x8_128_bytes.ima": medical(8),
        "8x8_with_header_300_bytes.ima": medical(8, b"\0" * 172),
        "32x32_little_endian.ima": medical(32, little_endian=True),
    }


def readimage_seeds():
    # One picture of each kind, told apart by the first line only.
    pgm, ppm, bmps, qvfs, med = (pgm_seeds(), ppm_seeds(), bmp_seeds(), qvf_seeds(),
                                 medical_seeds())
    return {
        "image.pgm": pgm["comments.pgm"],
        "image_16bit.pgm": pgm["16bit_65535.pgm"],
        "image.ppm": ppm["tiny_8bit.ppm"],
        "image_8bit.bmp": bmps["8bit_grey.bmp"],
        "image_24bit.bmp": bmps["24bit.bmp"],
        "image_4bit.bmp": bmps["4bit.bmp"],
        "image.qvf": qvfs["int16.qvf"],
        "image_colour.qvf": qvfs["colour.qvf"],
        "image_medical.ima": med["16x16_with_header_612_bytes.ima"],
        "image_medical_other_first_line.ima": medical(8, b"P1\n"),
        "image_rle8.bmp": bmps["8bit_rle.bmp"],
        # Refused by their first bytes before any reader runs.
        "image_ascii.pgm": b"P2\n# grey\n3 2\n255\n0 128 255\n1 2 3\n",
        "image_png_signature.png": b"\x89PNG\r\n\x1a\n" + bytes(120),
    }


SEEDS = {
    "pgm": pgm_seeds,
    "ppm": ppm_seeds,
    "bmp": bmp_seeds,
    "qvf": qvf_seeds,
    "medical": medical_seeds,
    "readimage": readimage_seeds,
}


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "corpus")
    total = 0
    for reader, make in SEEDS.items():
        folder = os.path.join(out, reader)
        os.makedirs(folder, exist_ok=True)
        for name, data in make().items():
            with open(os.path.join(folder, "seed_" + name), "wb") as f:
                f.write(data)
            total += 1
    print("wrote %d seed files under %s" % (total, out))


if __name__ == "__main__":
    main()

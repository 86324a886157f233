#!/usr/bin/env python3
"""Writes the seed files of the fuzzing corpus: small valid pictures of every
kind each reader accepts, into fuzz/corpus/<reader>/. PNG, JPEG and TIFF
seeds come from Pillow (python3-pil), and from the few lines here that lay
out what Pillow does not write (16-bit colour and interlaced PNG, tiled and
separate-plane TIFF).

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


# PNG, JPEG, TIFF (Pillow, python3-pil) -----------------------------------

def pillow_bytes(image, kind, **options):
    import io
    out = io.BytesIO()
    image.save(out, kind, **options)
    return out.getvalue()


def picture(width, height, mode):
    """A small picture of `mode` whose samples vary across it."""
    from PIL import Image
    bands = {"1": 1, "L": 1, "P": 1, "LA": 2, "RGB": 3, "RGBA": 4, "CMYK": 4}[mode]
    im = Image.frombytes("L" if mode in ("1", "P") else mode, (width, height),
                         bytes(pattern(width * height * bands, 256, 53)))
    return im.convert("1") if mode == "1" else im.convert("P") if mode == "P" else im


def png_chunk(kind, data):
    import zlib
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def raw_png(width, height, depth, colour_type, samples, interlaced=False):
    """A PNG Pillow does not write (16-bit colour, Adam7): `samples` of
    `depth` bits (8 or 16) a channel, rows of width * channels values."""
    import zlib
    channels = {0: 1, 2: 3, 4: 2, 6: 4}[colour_type]
    fmt = ">%dH" if depth == 16 else "%dB"
    rows = [samples[y * width * channels:(y + 1) * width * channels] for y in range(height)]
    passes = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]
    raw = b""
    for x0, y0, dx, dy in passes if interlaced else [(0, 0, 1, 1)]:
        for y in range(y0, height, dy):
            pixels = [rows[y][x * channels:(x + 1) * channels] for x in range(x0, width, dx)]
            if pixels:
                values = [v for p in pixels for v in p]
                raw += b"\0" + struct.pack(fmt % len(values), *values)
    header = struct.pack(">IIBBBBB", width, height, depth, colour_type, 0, 0, 1 if interlaced else 0)
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header) + png_chunk(b"IDAT", zlib.compress(raw))
            + png_chunk(b"IEND", b""))


def png_seeds():
    w, h = 9, 7
    palette4 = picture(w, h, "L").point(lambda v: v // 16).convert("P")
    palette4.putpalette([(i * 16 + k * 70) % 256 for i in range(16) for k in range(3)])
    grey2 = picture(w, h, "L").point(lambda v: v // 64).convert("P")
    grey2.putpalette([v for i in range(4) for v in (i * 85,) * 3])
    return {
        "1bit.png": pillow_bytes(picture(w, h, "1"), "PNG"),
        "grey8.png": pillow_bytes(picture(w, h, "L"), "PNG"),
        "grey8_trns.png": pillow_bytes(picture(w, h, "L"), "PNG", transparency=3),
        "grey_alpha8.png": pillow_bytes(picture(w, h, "LA"), "PNG"),
        "rgb8.png": pillow_bytes(picture(w, h, "RGB"), "PNG"),
        "rgba8.png": pillow_bytes(picture(w, h, "RGBA"), "PNG"),
        "grey16.png": pillow_bytes(picture(w, h, "L").convert("I").point(lambda v: v * 257), "PNG"),
        "palette4.png": pillow_bytes(palette4, "PNG", bits=4),
        "palette2_grey.png": pillow_bytes(grey2, "PNG", bits=2),
        "palette8_trns.png": pillow_bytes(picture(w, h, "P"), "PNG", transparency=5),
        "rgb16.png": raw_png(w, h, 16, 2, pattern(w * h * 3, 65536, 4099)),
        "rgba16_interlaced.png": raw_png(w, h, 16, 6, pattern(w * h * 4, 65536, 4099), True),
        "grey_alpha16.png": raw_png(w, h, 16, 4, pattern(w * h * 2, 65536, 997)),
        "grey8_interlaced.png": raw_png(w, h, 8, 0, pattern(w * h), True),
    }


def jpeg_seeds():
    w, h = 19, 13
    exif = b"Exif\0\0II*\0\x08\0\0\0\x01\0\x12\x01\x03\0\x01\0\0\0\x06\0\0\0\0\0\0\0"
    exif_mm = b"Exif\0\0MM\0*\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01\0\x08\0\0\0\0\0\0"
    return {
        "grey.jpg": pillow_bytes(picture(w, h, "L"), "JPEG", quality=80),
        "grey_progressive.jpg": pillow_bytes(picture(w, h, "L"), "JPEG", progressive=True),
        "rgb_420.jpg": pillow_bytes(picture(w, h, "RGB"), "JPEG", subsampling=2),
        "rgb_422.jpg": pillow_bytes(picture(w, h, "RGB"), "JPEG", subsampling=1),
        "rgb_444.jpg": pillow_bytes(picture(w, h, "RGB"), "JPEG", subsampling=0, quality=95),
        "rgb_progressive.jpg": pillow_bytes(picture(w, h, "RGB"), "JPEG", progressive=True),
        "rgb_optimized.jpg": pillow_bytes(picture(w, h, "RGB"), "JPEG", optimize=True),
        "exif_orientation_6.jpg": pillow_bytes(picture(w, h, "RGB"), "JPEG", exif=exif),
        "exif_orientation_8_mm.jpg": pillow_bytes(picture(w, h, "L"), "JPEG", exif=exif_mm),
        "one_pixel.jpg": pillow_bytes(picture(1, 1, "RGB"), "JPEG"),
        "cmyk.jpg": pillow_bytes(picture(8, 8, "CMYK"), "JPEG"),
    }


def tiff_ifd(width, height, bits, spp, photometric, planar, tiles, data_offsets, counts):
    """A little-endian directory (at offset 8) of an uncompressed picture."""
    entries = [(256, 4, [width]), (257, 4, [height]), (258, 3, [bits] * spp), (259, 3, [1]),
               (262, 3, [photometric]), (277, 3, [spp]), (284, 3, [planar])]
    if tiles:
        entries += [(322, 3, [tiles]), (323, 3, [tiles]), (324, 4, data_offsets), (325, 4, counts)]
    else:
        entries += [(273, 4, data_offsets), (278, 4, [height]), (279, 4, counts)]
    entries.sort()
    extra_at = 8 + 2 + 12 * len(entries) + 4
    ifd, extra = struct.pack("<H", len(entries)), b""
    for tag, kind, values in entries:
        size = 2 if kind == 3 else 4
        packed = struct.pack("<%d%s" % (len(values), "H" if kind == 3 else "I"), *values)
        if len(packed) <= 4:
            ifd += struct.pack("<HHI", tag, kind, len(values)) + packed.ljust(4, b"\0")
        else:
            ifd += struct.pack("<HHII", tag, kind, len(values), extra_at + len(extra))
            extra += packed
        assert size * len(values) == len(packed)
    return ifd + b"\0\0\0\0", extra


def raw_tiff(width, height, bits, spp, photometric, planar=1, tiles=0):
    """Tiled or separate-plane TIFF files, which Pillow does not write."""
    sample = bits // 8
    pieces = []
    planes = spp if planar == 2 else 1
    per_pixel = 1 if planar == 2 else spp
    if tiles:
        across, down = -(-width // tiles), -(-height // tiles)
        for p in range(planes):
            for t in range(across * down):
                pieces.append(bytes(pattern(tiles * tiles * per_pixel * sample, 256, 31 + t + p)))
    else:
        for p in range(planes):
            pieces.append(bytes(pattern(width * height * per_pixel * sample, 256, 29 + p)))
    # Directory size does not depend on the offsets: lay it out once to learn it.
    ifd, extra = tiff_ifd(width, height, bits, spp, photometric, planar, tiles, [0] * len(pieces),
                          [len(p) for p in pieces])
    start = 8 + len(ifd) + len(extra)
    offsets = [start + sum(len(q) for q in pieces[:i]) for i in range(len(pieces))]
    ifd, extra = tiff_ifd(width, height, bits, spp, photometric, planar, tiles, offsets, [len(p) for p in pieces])
    return b"II*\0" + struct.pack("<I", 8) + ifd + extra + b"".join(pieces)


def tiff_seeds():
    from PIL import Image
    w, h = 11, 7
    grey16 = picture(w, h, "L").convert("I").point(lambda v: v * 257).convert("I;16")
    seeds = {}
    for method in ("raw", "tiff_lzw", "tiff_adobe_deflate", "packbits"):
        seeds["grey8_%s.tif" % method] = pillow_bytes(picture(w, h, "L"), "TIFF", compression=method)
        seeds["rgb8_%s.tif" % method] = pillow_bytes(picture(w, h, "RGB"), "TIFF", compression=method)
    second = picture(3, 2, "L")
    seeds.update({
        "grey16_lzw.tif": pillow_bytes(grey16, "TIFF", compression="tiff_lzw"),
        "grey16_big_endian.tif": pillow_bytes(grey16.convert("I;16B"), "TIFF"),
        "rgba8.tif": pillow_bytes(picture(w, h, "RGBA"), "TIFF"),
        "grey_alpha8.tif": pillow_bytes(picture(w, h, "LA"), "TIFF"),
        "two_pages.tif": pillow_bytes(picture(w, h, "RGB"), "TIFF", save_all=True, append_images=[second]),
        "1bit.tif": pillow_bytes(picture(w, h, "1"), "TIFF"),
        "min_is_white.tif": raw_tiff(w, h, 8, 1, 0),
        "grey8_tiles.tif": raw_tiff(20, 18, 8, 1, 1, tiles=16),
        "rgb16_tiles.tif": raw_tiff(20, 18, 16, 3, 2, tiles=16),
        "rgb8_planes.tif": raw_tiff(w, h, 8, 3, 2, planar=2),
        "rgba16_planes_tiles.tif": raw_tiff(17, 5, 16, 4, 2, planar=2, tiles=16),
    })
    return seeds


def readimage_seeds():
    # One picture of each kind, told apart by the first line only.
    pgm, ppm, bmps, qvfs, med = (pgm_seeds(), ppm_seeds(), bmp_seeds(), qvf_seeds(),
                                 medical_seeds())
    pngs, jpegs, tiffs = png_seeds(), jpeg_seeds(), tiff_seeds()
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
        # Pictures other programs write, also told apart by their first bytes.
        "image_palette.png": pngs["palette4.png"],
        "image_rgb16.png": pngs["rgb16.png"],
        "image_exif.jpg": jpegs["exif_orientation_6.jpg"],
        "image_grey16_big_endian.tif": tiffs["grey16_big_endian.tif"],
        "image_rgb16_tiles.tif": tiffs["rgb16_tiles.tif"],
    }


SEEDS = {
    "pgm": pgm_seeds,
    "ppm": ppm_seeds,
    "bmp": bmp_seeds,
    "qvf": qvf_seeds,
    "medical": medical_seeds,
    "readimage": readimage_seeds,
    "png": png_seeds,
    "jpeg": jpeg_seeds,
    "tiff": tiff_seeds,
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

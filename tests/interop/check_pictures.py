#!/usr/bin/env python3
"""PNG, JPEG and TIFF through picture_tool against Pillow and ImageMagick.

    check_pictures.py png|jpeg|tiff|write PICTURE_TOOL FOLDER

png, jpeg, tiff: Pillow and ImageMagick write every variant (bit depths,
    colour types, palettes, transparency, interlacing; baseline, progressive,
    subsamplings, Exif orientations 1 to 9 in both byte orders; TIFF
    compressions, strips, tiles, planes, pages, byte orders); each must read
    as Pillow decodes it (JPEG turned by ImageOps.exif_transpose, within 2
    levels), alpha dropped, grey for grey files and palettes of greys, sample
    type 7 for 16 bits. Pillow cuts 16-bit colour to 8 bits: those must hold
    the samples written, Pillow's in their high byte. Some files are refused.
write: WriteImage's PNG files read in Pillow (16-bit colour: ImageMagick) as
    the samples truncated toward zero and clamped.
"""

import os
import shutil
import struct
import subprocess
import sys

import numpy as np
from PIL import Image, ImageOps

from f32 import read_f32


def run(*args):
    p = subprocess.run([str(a) for a in args], capture_output=True)
    report = p.stderr.decode(errors="replace")
    assert p.returncode == 0 and "Sanitizer" not in report and "runtime error" not in report, \
        "%s: exit %d\n%s" % (" ".join(map(str, args[:3])), p.returncode, report[-3000:])
    return p.stdout


def photo(h, w, c, top=255, seed=0):
    """A smooth picture with some noise, 0 to `top`, h x w x c."""
    y, x = np.mgrid[0:h, 0:w]
    rng = np.random.default_rng(seed)
    f = [(np.sin(x / (3 + k) + y / 5) + np.cos(y / (4 + 2 * k) - x / 7)) * 0.21 + 0.5 + rng.random((h, w)) * 0.07
         for k in range(c)]
    a = np.clip(np.round(np.stack(f, -1) * top), 0, top).astype(np.uint16 if top > 255 else np.uint8)
    a[0, 0], a[-1, -1] = 0, top
    return a


def magick(a, out, *options):
    """ImageMagick from a PGM, PPM or PAM (with alpha) of the samples."""
    h, w, c = a.shape
    top = 65535 if a.dtype == np.uint16 else 255
    head = b"P7\nWIDTH %d\nHEIGHT %d\nDEPTH %d\nMAXVAL %d\nTUPLTYPE %s\nENDHDR\n" % (
        w, h, c, top, b"GRAYSCALE_ALPHA" if c == 2 else b"RGB_ALPHA") if c in (2, 4) else \
        b"P%d\n%d %d\n%d\n" % (5 if c == 1 else 6, w, h, top)
    with open(out + ".pam", "wb") as f:
        f.write(head + a.astype(">u2" if top > 255 else "u1").tobytes())
    run("convert", out + ".pam", *options, out)
    os.remove(out + ".pam")


def pillow(a, out, mode=None, **options):
    Image.fromarray(a[..., 0] if a.shape[2] == 1 else a, mode).save(out, **options)


def pillow_values(path, exif):
    """Pillow's samples (h x w x c, alpha dropped), grey, 16 bits."""
    im = Image.open(path)
    im = ImageOps.exif_transpose(im) if exif else im
    if im.mode == "I" or im.mode.startswith("I;16"):
        return np.array(im).astype(np.int64)[..., None], True, True
    p = im.getpalette() if im.mode == "P" else None
    grey = im.mode in ("1", "L", "LA") or (p is not None and p[0::3] == p[1::3] == p[2::3])
    rgb = np.array(im.convert("RGB")).astype(np.int64)
    return (rgb[..., :1] if grey else rgb), grey, False


def check(tool, folder, family, cases):
    """cases: {file name: None (Pillow's values), the 16-bit samples
    written, or the text of the refusal}."""
    errors, tolerance = [], 2 if family == "jpeg" else 0
    lines = run(tool, "read", folder + "/read", *[os.path.join(folder, n) for n in cases]).decode().splitlines()
    for line, (name, want) in zip(lines, cases.items()):
        head, _, messages = line.partition(" |")
        messages = messages.strip()
        ok, color, datatype, fmt = map(int, head.split()[1:])
        if isinstance(want, str):
            if ok or not messages.startswith(want) or not messages.endswith("CImage: Can't read data"):
                errors.append("%s: expected a refusal with '%s', got %d: %s" % (name, want, ok, messages))
            continue
        if not ok or messages:
            errors.append("%s: not read: %s" % (name, messages))
            continue
        got = read_f32(os.path.join(folder, "read", name + ".f32"))
        expected, grey, deep = pillow_values(os.path.join(folder, name), family == "jpeg")
        if want is not None:  # Pillow's 8 bits are the high byte of the samples written
            if not np.array_equal(expected[..., :want.shape[2]], want.astype(np.int64) >> 8):
                errors.append("%s: the fixture is not what Pillow reads" % name)
            expected, grey, deep = want.astype(np.int64), want.shape[2] == 1, True
        fields = (0 if grey else 1, 7 if deep else 4, {"png": 10, "jpeg": 11, "tiff": 12}[family])
        if (color, datatype, fmt) != fields or got.shape != expected.shape:
            errors.append("%s: colour, type, format %s, shape %s; expected %s, %s" % (
                name, (color, datatype, fmt), got.shape, fields, expected.shape))
        elif np.abs(got - expected).max() > tolerance:
            at = tuple(np.argwhere(np.abs(got - expected) > tolerance)[0])
            errors.append("%s: %g at %s, expected %d" % (name, got[at], at, expected[at]))
    return errors + (["%d lines for %d files" % (len(lines), len(cases))] if len(lines) != len(cases) else [])


def png(path):
    g8, g16, rgb, rgb16 = photo(23, 37, 1, seed=1), photo(19, 29, 1, 65535, 2), photo(21, 33, 3, seed=3), \
        photo(17, 26, 3, 65535, 4)
    ga16, rgba16 = photo(13, 11, 2, 65535, 7), photo(12, 14, 4, 65535, 8)
    pillow(g8 > 127, path("pillow_1bit.png"), "1")
    pillow(g8, path("pillow_grey8_trns.png"), transparency=0)
    pillow(photo(23, 37, 2, seed=5), path("pillow_grey_alpha8.png"), "LA")
    pillow(rgb, path("pillow_rgb8_trns.png"), transparency=(0, 0, 0))
    pillow(photo(21, 33, 4, seed=6), path("pillow_rgba8.png"), optimize=True)
    pillow(g16, path("pillow_grey16.png"))
    cases = dict.fromkeys(["pillow_1bit.png", "pillow_grey8_trns.png", "pillow_grey_alpha8.png",
                           "pillow_rgb8_trns.png", "pillow_rgba8.png", "pillow_grey16.png"])
    for bits, grey in ((1, 0), (2, 0), (4, 0), (8, 0), (4, 1), (4, 2)):
        im = Image.fromarray((g8[..., 0] % (1 << bits)).astype(np.uint8), "P")
        im.putpalette([i * 17 if grey else (i * 37 + k * 90) % 256 for i in range(1 << bits) for k in range(3)])
        if grey == 2:  # one entry a step away from grey: a colour picture, with transparency
            im.putpalette([v + (i == 27) for i, v in enumerate(im.getpalette())])
        name = "pillow_palette%d%s.png" % (bits, ("", "_grey", "_one_colour")[grey])
        im.save(path(name), bits=bits, **({"transparency": 3} if grey == 2 else {}))
        cases[name] = None
    for bits in (1, 2, 4):
        magick(g8 >> (8 - bits) << (8 - bits), path("magick_grey%d.png" % bits),
               "-define", "png:bit-depth=%d" % bits, "-define", "png:color-type=0")
    magick(g16, path("magick_grey16_interlaced.png"), "-interlace", "PNG")
    magick(rgb, path("magick_rgb8_interlaced.png"), "-interlace", "PNG")
    magick(rgb, path("magick_palette_interlaced.png"), "-interlace", "PNG", "-colors", "50", "-type", "Palette")
    cases.update(dict.fromkeys(["magick_grey1.png", "magick_grey2.png", "magick_grey4.png",
                                "magick_grey16_interlaced.png", "magick_rgb8_interlaced.png",
                                "magick_palette_interlaced.png"]))
    deep = ("-define", "png:bit-depth=16")
    magick(rgb16, path("magick_rgb16.png"), *deep)
    magick(rgb16, path("magick_rgb16_interlaced.png"), *deep, "-interlace", "PNG")
    magick(ga16, path("magick_grey_alpha16.png"), *deep, "-define", "png:color-type=4")
    magick(rgba16, path("magick_rgba16.png"), *deep, "-define", "png:color-type=6")
    cases.update({"magick_rgb16.png": rgb16, "magick_rgb16_interlaced.png": rgb16,
                  "magick_grey_alpha16.png": ga16[..., :1], "magick_rgba16.png": rgba16[..., :3]})
    return cases


def exif_block(orientation, big, make):
    """Exif with a first directory of the orientation, after a Make tag."""
    e = ">" if big else "<"
    tags = [struct.pack(e + "HHI4s", 0x010F, 2, 4, b"Kal\0")] if make else []
    tags.append(struct.pack(e + "HHIHH", 0x0112, 3, 1, orientation, 0))
    return b"Exif\0\0" + (b"MM\0*" if big else b"II*\0") + struct.pack(e + "IH", 8, len(tags)) + b"".join(tags) \
        + bytes(4)


def jpeg(path):
    g, rgb = photo(23, 37, 1, seed=11), photo(29, 17, 3, seed=12)
    pillow(g, path("pillow_grey.jpg"), quality=90)
    pillow(g, path("pillow_grey_progressive.jpg"), progressive=True)
    for sub in (0, 1, 2):
        pillow(rgb, path("pillow_rgb_sub%d.jpg" % sub), subsampling=sub, quality=85)
    pillow(rgb, path("pillow_rgb_progressive.jpg"), progressive=True, optimize=True)
    pillow(photo(1, 1, 3), path("pillow_one_pixel.jpg"))
    magick(rgb, path("magick_rgb.jpg"), "-quality", "80")
    magick(rgb, path("magick_rgb_progressive.jpg"), "-interlace", "JPEG", "-sampling-factor", "2x1")
    magick(g, path("magick_grey.jpg"))
    cases = dict.fromkeys(n for n in sorted(os.listdir(os.path.dirname(path("x")))) if n.endswith(".jpg"))
    for o in range(1, 10):
        for big in (0, 1):
            pillow(rgb, path("exif%d_%s.jpg" % (o, "mm" if big else "ii")), quality=95,
                   exif=exif_block(o, big, o % 2))
        pillow(g, path("exif%d_grey.jpg" % o), progressive=True, exif=exif_block(o, False, False))
        cases.update(dict.fromkeys(["exif%d_ii.jpg" % o, "exif%d_mm.jpg" % o, "exif%d_grey.jpg" % o]))
    data, xmp = open(path("exif6_ii.jpg"), "rb").read(), b"http://ns.adobe.com/xap/1.0/\0<x:xmpmeta/>"
    open(path("exif6_behind_xmp.jpg"), "wb").write(data[:2] + b"\xFF\xE1" + struct.pack(">H", len(xmp) + 2) + xmp
                                                   + data[2:])
    progressive = open(path("pillow_rgb_progressive.jpg"), "rb").read()
    end = progressive.rfind(b"\xFF\xD9")
    scan = progressive[progressive.rfind(b"\xFF\xDA"):end]  # repeated: warnings, no errors, but slow
    open(path("600_scans.jpg"), "wb").write(progressive[:end] + scan * 600 + progressive[end:])
    Image.fromarray(rgb).convert("CMYK").save(path("cmyk.jpg"))
    open(path("truncated.jpg"), "wb").write(data[:-200])
    cases.update({"exif6_behind_xmp.jpg": None,
                  "cmyk.jpg": "read_jpeg_image: Only grey and colour pictures are supported",
                  "600_scans.jpg": "read_jpeg_image: Can't read file (more than 500 scans)",
                  "truncated.jpg": "read_jpeg_image: Can't read file (Premature end of JPEG file)"})
    return cases


def tiff(path):
    g8, g16 = photo(23, 37, 1, seed=21), photo(19, 29, 1, 65535, 22)
    rgb, rgb16 = photo(21, 33, 3, seed=23), photo(17, 26, 3, 65535, 24)
    for method in ("raw", "tiff_lzw", "tiff_adobe_deflate", "packbits"):
        pillow(g8, path("pillow_grey8_%s.tif" % method), compression=method)
        pillow(rgb, path("pillow_rgb8_%s.tif" % method), compression=method)
        pillow(g16, path("pillow_grey16_%s.tif" % method), compression=method)
    Image.fromarray(g16[..., 0]).convert("I;16B").save(path("pillow_grey16_big_endian.tif"))
    pillow(photo(21, 33, 4, seed=26), path("pillow_rgba8_lzw.tif"), compression="tiff_lzw")
    pillow(photo(13, 9, 2, seed=25), path("pillow_grey_alpha8.tif"), "LA")
    Image.fromarray(rgb).save(path("pillow_pages.tif"), save_all=True, append_images=[Image.fromarray(g8[..., 0])])
    tiles = ("-define", "tiff:tile-geometry=16x16")
    magick(g8, path("magick_grey8_tiles_lzw.tif"), *tiles, "-compress", "LZW")
    magick(rgb, path("magick_rgb8_tiles.tif"), *tiles, "-compress", "None")
    magick(g16, path("magick_grey16_tiles_deflate.tif"), *tiles, "-compress", "Zip")
    magick(rgb, path("magick_rgb8_planes_lzw.tif"), "-interlace", "plane", "-compress", "LZW")
    magick(rgb, path("magick_rgb8_strips_packbits.tif"), "-define", "tiff:rows-per-strip=3", "-compress", "RLE")
    magick(g8, path("magick_min_is_white.tif"), "-define", "tiff:photometric=min-is-white")
    cases = dict.fromkeys(n for n in sorted(os.listdir(os.path.dirname(path("x")))) if n.endswith(".tif"))
    for name, options in {"none": ("-compress", "None"), "lzw_predictor": ("-compress", "LZW", "-define",
                          "tiff:predictor=2"), "deflate": ("-compress", "Zip"), "packbits": ("-compress", "RLE"),
                          "big_endian": ("-endian", "MSB", "-compress", "LZW"), "tiles": tiles,
                          "planes": ("-interlace", "plane", "-compress", "LZW")}.items():
        magick(rgb16, path("magick_rgb16_%s.tif" % name), *options)
        cases["magick_rgb16_%s.tif" % name] = rgb16
    pillow(g8 > 100, path("pillow_1bit.tif"), "1")
    pillow(rgb, path("pillow_jpeg.tif"), compression="jpeg")
    cases.update({"pillow_1bit.tif": "read_tiff_image: Only 8- and 16-bit unsigned samples are supported",
                  "pillow_jpeg.tif": "read_tiff_image: Unsupported compression"})
    return cases


def write(tool, folder):
    errors, lines = [], run(tool, "write", folder).decode().splitlines()
    for line in lines:
        head, _, messages = line.partition(" |")
        name, ok, color, datatype, _ = head.split()
        path, depth, kind = os.path.join(folder, name + ".png"), 16 if datatype in ("5", "7") else 8, int(color) * 2
        data = open(path, "rb").read() if ok == "1" else b""
        if messages or data[:8] != b"\x89PNG\r\n\x1a\n" or data[24:26] != bytes((depth, kind)):
            errors.append("%s: not written as a %d-bit PNG of colour type %d: %s" % (name, depth, kind, messages))
            continue
        source = np.nan_to_num(read_f32(os.path.join(folder, name + ".f32")).astype(np.float64), nan=0.0)
        expected = np.clip(np.trunc(source), 0, (1 << depth) - 1).astype(np.int64)
        im = Image.open(path)
        got = np.array(im.convert("RGB") if kind else im).astype(np.int64).reshape(expected.shape)
        if depth == 16 and kind:  # Pillow has the high bytes, ImageMagick all
            ppm = run("convert", path, "-depth", "16", "ppm:-")
            errors += [] if np.array_equal(got, expected >> 8) else ["%s: Pillow's high bytes differ" % name]
            got = np.frombuffer(ppm[-expected.size * 2:], ">u2").reshape(expected.shape)
        if not np.array_equal(got, expected):
            errors.append("%s: read back as %s, expected %s" % (name, got.ravel()[:6], expected.ravel()[:6]))
    return errors + ([] if len(lines) == 5 else ["expected 5 cases, got %d" % len(lines)])


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in ("png", "jpeg", "tiff", "write"):
        print(__doc__)
        return 2
    family, tool, folder = sys.argv[1:]
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    if family == "write":
        errors = write(tool, folder)
    else:
        cases = {"png": png, "jpeg": jpeg, "tiff": tiff}[family](lambda name: os.path.join(folder, name))
        errors = check(tool, folder, family, cases)
        print("%d %s files" % (len(cases), family))
    for e in errors:
        print("FAIL", e)
    print("%s: %s" % (family, "%d failures" % len(errors) if errors else "all checks passed"))
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())

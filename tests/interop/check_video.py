#!/usr/bin/env python3
"""Movies through write_video against ffmpeg, ffprobe, OpenCV and numpy.

    check_video.py read|write|yuv|hostile WRITE_VIDEO FOLDER

read: AVI files ffmpeg makes (raw bgr24 and pal8, ffv1 with key frames
    apart, utvideo, odd sizes, a movie whose first frame is grey) give the
    frame count and the pixels of `ffmpeg -f rawvideo -pix_fmt rgb24`, read
    in order, shuffled and stepped across both ends; grey movies as
    (r + g + b) * 0.33333334f.
write: the AVI files CVideo writes read the same in ffprobe, ffmpeg and
    OpenCV, and hold the RIFF layout walked here.
yuv: VideoFromYUV's frames against its conversion redone in numpy.
hostile: truncated, mutated and foreign RIFF files are refused or read as
    far as they hold, with no sanitizer report.
"""

import json
import os
import struct
import subprocess
import sys

import numpy as np


def run(*args, **kw):
    p = subprocess.run([str(a) for a in args], capture_output=True, **kw)
    report = p.stderr.decode(errors="replace")
    assert p.returncode == 0 and "Sanitizer" not in report and "runtime error" not in report, \
        "%s: exit %d\n%s" % (" ".join(map(str, args)), p.returncode, report[-3000:])
    return p.stdout


def pattern(n, h, w, seed):
    y, x, k = np.meshgrid(np.arange(h), np.arange(w), np.arange(n), indexing="ij")
    f = np.stack([x * 7 + y * 3 + k * 29, x * y + k * 11, (x ^ y) * 5 + k * 40], -1).transpose(2, 0, 1, 3)
    return ((f + np.random.default_rng(seed).integers(0, 4, f.shape)) % 256).astype(np.uint8)


def ffmpeg_make(path, frames, codec):
    run("ffmpeg", "-v", "error", "-y", "-f", "rawvideo", "-pix_fmt", "rgb24", "-s", "%dx%d" % frames.shape[2:0:-1],
        "-r", "5", "-i", "-", *codec.split(), path, input=frames.tobytes())


def ffmpeg_decode(path, h, w):
    raw = run("ffmpeg", "-v", "error", "-i", path, "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "rgb24",
              "-")
    return np.frombuffer(raw, np.uint8).reshape(-1, h, w, 3)


def load(path):
    """write_video's dump: (header fields or None, [(result, current, frame)])."""
    line, data = open(path, "rb").read().split(b"\n", 1)
    if line == b"null":
        return None, []
    info = dict(zip(("opened", "n", "h", "w", "color", "kind", "datatype"), map(int, line.split())))
    size, records = info["h"] * info["w"] * (12 if info["color"] else 4), []
    while data:
        ok, current = struct.unpack("<bi", data[:5])
        records.append((ok, current, np.frombuffer(data[5:5 + size * ok], "<f4").reshape(info["h"], info["w"], -1)))
        data = data[5 + size * ok:]
    return info, records


def as_read(rgb, color):
    rgb = rgb.astype(np.float32)
    return rgb if color else ((rgb[..., 0] + rgb[..., 1] + rgb[..., 2]) * np.float32(0.33333334))[..., None]


def read(program, folder):
    errors = []
    for seed, (name, w, h, n, codec) in enumerate([
            ("bgr24", 37, 23, 7, "-c:v rawvideo -pix_fmt bgr24"), ("pal8", 37, 23, 6, "-c:v rawvideo -pix_fmt pal8"),
            ("ffv1", 31, 17, 13, "-c:v ffv1 -pix_fmt bgr0 -g 4"), ("utvideo", 20, 11, 5, "-c:v utvideo -pix_fmt gbrp"),
            ("grey", 21, 15, 6, "-c:v rawvideo -pix_fmt bgr24"), ("tiny", 1, 1, 3, "-c:v rawvideo -pix_fmt bgr24"),
            ("uncounted", 9, 5, 4, "-c:v rawvideo -pix_fmt bgr24")]):
        movie, frames = os.path.join(folder, name + ".avi"), pattern(n, h, w, seed)
        if name == "grey":
            frames[0] = frames[0, :, :, :1]  # later frames in colour
        ffmpeg_make(movie, frames, codec)
        if name == "uncounted":  # no frame count in the headers, no index: frames are counted
            data = bytearray(open(movie, "rb").read())
            for tag, at in ((b"avih", 24), (b"strh", 40), (b"dmlh", 8), (b"idx1", 0)):
                data[data.index(tag) + at:data.index(tag) + at + 4] = bytes(4) if at else b"JUNK"
            open(movie, "wb").write(data)
        want = ffmpeg_decode(movie, h, w)
        color = int(not np.all(want[0] == want[0, :, :, :1]))
        steps = list(np.random.default_rng(seed).permutation(n)) + [n - 1, 0, n - 1, n, -1, "p", "p", 0, "p"]
        steps += ["n"] * (n + 2)
        run(program, "read", movie, movie + ".dump", ",".join(map(str, steps)))
        info, records = load(movie + ".dump")
        expect = dict(opened=1, n=len(want), h=h, w=w, color=color, kind=5, datatype=4)
        if info != expect:
            errors.append("%s: opened as %s, expected %s" % (name, info, expect))
            continue
        index = 0
        for step, (ok, current, frame) in zip([0] + steps, records):
            good = step not in (n, -1)  # out of range: refused, nothing changes
            if good:
                index = (index + 1) % n if step == "n" else (index - 1) % n if step == "p" else step
            if ok != good or current != index:
                errors.append("%s: step %s gave %d, current %d; expected %d, %d" % (
                    name, step, ok, current, good, index))
            elif ok and not np.array_equal(frame, as_read(want[index], color)):
                errors.append("%s: frame %d (step %s) differs from ffmpeg's" % (name, index, step))
        print("%s: %dx%d, %d frames, colour %d, %d steps" % (name, w, h, info["n"], color, len(steps)))
    return errors


def chunks(data, start, end):
    while start + 8 <= end:
        tag, size = data[start:start + 4], struct.unpack("<I", data[start + 4:start + 8])[0]
        yield tag + (data[start + 8:start + 12] if tag == b"LIST" else b""), start, data[start + 8:start + 8 + size]
        start += 8 + size + (size & 1)


def riff_problems(path, frames):
    n, h, w, _ = frames.shape
    data = open(path, "rb").read()
    if data[:4] != b"RIFF" or data[8:12] != b"AVI " or struct.unpack("<I", data[4:8])[0] != len(data) - 8:
        return ["not a RIFF AVI form of the file's length"]
    top = {tag: (pos, body) for tag, pos, body in chunks(data, 12, len(data))}
    if not {b"LISThdrl", b"LISTmovi", b"idx1"} <= top.keys():
        return ["top chunks %s" % list(top)]
    hdrl = {tag: body for tag, _, body in chunks(top[b"LISThdrl"][1], 4, len(top[b"LISThdrl"][1]))}
    strl = hdrl.get(b"LISTstrl", b"")
    strl = {tag: body for tag, _, body in chunks(strl, 4, len(strl))}
    avih, strh, strf = hdrl.get(b"avih", bytes(40)), strl.get(b"strh", bytes(36)), strl.get(b"strf", b"")
    problems = []
    if struct.unpack("<I12xI12xII", avih[:40]) != (200000, n, w, h):
        problems.append("avih: microseconds a frame, frames, width, height %s" % (
            struct.unpack("<I12xI12xII", avih[:40]),))
    if strh[:4] != b"vids" or struct.unpack("<II4xI", strh[20:36]) != (1, 5, n):
        problems.append("strh: %r, scale, rate, length %s" % (strh[:4], struct.unpack("<II4xI", strh[20:36])))
    if len(strf) != 40 or strf[:20] != struct.pack("<IiiHHI", 40, w, h, 1, 24, 0):
        problems.append("strf: %r" % strf)
    row, (movi_pos, movi) = (3 * w + 3) & ~3, top[b"LISTmovi"]
    images = [(pos, body) for tag, pos, body in chunks(data, movi_pos + 12, movi_pos + 8 + len(movi)) if tag == b"00db"]
    if [len(b) for _, b in images] != [row * h] * n:
        problems.append("frame chunks of %s bytes, expected %d of %d" % ([len(b) for _, b in images], n, row * h))
    elif any(np.frombuffer(b, np.uint8).reshape(h, row)[:, :3 * w].tobytes() != frames[i, ::-1, :, ::-1].tobytes()
             for i, (_, b) in enumerate(images)):
        problems.append("frame chunks hold other pixels than the bottom-up BGR rows written")
    idx1 = top[b"idx1"][1]
    entries = [struct.unpack("<4sIII", idx1[i:i + 16]) for i in range(0, len(idx1), 16)]
    for i, (tag, flags, offset, size) in enumerate(entries):
        # Offsets count from the 'movi' tag, or from the file's start.
        if (tag, flags, size) != (b"00db", 0x10, row * h) or i >= len(images) or \
                images[i][0] not in (movi_pos + 8 + offset, offset):
            problems.append("idx1 entry %d: %s" % (i, (tag, flags, offset, size)))
    return problems + (["idx1 has %d entries for %d frames" % (len(entries), n)] if len(entries) != n else [])


def write(program, folder):
    import cv2
    errors = []
    for seed, (w, h, n) in enumerate([(37, 23, 6), (13, 7, 4), (1, 1, 2)]):
        # Colour frames with fractions, then a grey one with negatives, values
        # past 255 and NaN: bytes are the truncation's low 8 bits, NaN 0.
        colour = pattern(n - 1, h, w, seed).astype(np.float32) + np.float32(0.75)
        grey = np.random.default_rng(seed).uniform(-300, 600, (h, w, 1)).astype(np.float32)
        grey.flat[::5] = np.nan
        source, movie = os.path.join(folder, "in.f32"), os.path.join(folder, "written_%dx%d.avi" % (w, h))
        with open(source, "wb") as f:
            for picture in list(colour) + [grey]:
                f.write(b"%d %d %d\n" % picture.shape + picture.astype("<f4").tobytes())
        grey = np.where(np.isnan(grey), 0, np.trunc(np.nan_to_num(grey))).astype(np.int64) & 255
        frames = np.concatenate([colour.astype(np.uint8), np.repeat(grey, 3, 2)[None].astype(np.uint8)])
        run(program, "write", source, movie)
        probe = run("ffprobe", "-v", "error", "-count_frames", "-show_streams", "-of", "json", movie)
        streams = json.loads(probe)["streams"]
        got = [(s["codec_name"], s["pix_fmt"], s["width"], s["height"], s["nb_frames"], s["nb_read_frames"],
                s["r_frame_rate"]) for s in streams]
        if got != [("rawvideo", "bgr24", w, h, str(n), str(n), "5/1")]:
            errors.append("%s: ffprobe sees %s" % (movie, got))
        elif not np.array_equal(ffmpeg_decode(movie, h, w), frames):
            errors.append("%s: ffmpeg decodes other pixels" % movie)
        capture, seen = cv2.VideoCapture(movie), []
        while (frame := capture.read())[0]:
            seen.append(frame[1][:, :, ::-1])
        if len(seen) != n or not np.array_equal(np.array(seen), frames):
            errors.append("%s: OpenCV reads %d frames%s" % (
                movie, len(seen), ", other pixels" if len(seen) == n else ""))
        errors += ["%s: %s" % (movie, p) for p in riff_problems(movie, frames)]
        print("%s: %d frames" % (movie, n))
    return errors


def yuv_expected(planes, rows, cols, chroma, half):
    y, cb, cr = planes
    r, c = np.indices((rows // 2, cols // 2) if half else (rows, cols), dtype=np.float64)
    if half:
        y, pr, pc = y[::2, ::2][:rows // 2, :cols // 2], (r if chroma == 0 else 2 * r), c
    else:
        pr, pc = (r / 2 if chroma == 0 else r), c / 2
    r0, c0 = pr.astype(int), pc.astype(int)
    fr, fc = pr - r0, pc - c0

    def sample(p):
        r1, c1, p = np.minimum(r0 + 1, p.shape[0] - 1), np.minimum(c0 + 1, p.shape[1] - 1), p.astype(np.float64)
        return (p[r0, c0] * (1 - fc) + p[r0, c1] * fc) * (1 - fr) + (p[r1, c0] * (1 - fc) + p[r1, c1] * fc) * fr - 128

    yy, u, v = 298.082 * (y.astype(np.float64) - 16), sample(cb), sample(cr)
    rgb = np.stack([yy + 408.583 * v, yy - 100.291 * u - 208.12 * v, yy + 516.411 * u], -1) * 0.00390625
    return np.clip(rgb.astype(np.float32), 0, 255).astype(np.uint8)


def yuv(program, folder):
    errors, out = [], os.path.join(folder, "yuv.dump")
    path, short = os.path.join(folder, "in.yuv"), os.path.join(folder, "short.yuv")
    for rows, cols, n in [(9, 13, 3), (8, 12, 3), (1, 1, 2), (1081, 1001, 1)]:
        for chroma in (0, 1):
            rng = np.random.default_rng(rows + chroma)
            plane = ((rows + 1) // 2 if chroma == 0 else rows, (cols + 1) // 2)
            frames = [[rng.integers(0, 256, s, dtype=np.uint8) for s in ((rows, cols), plane, plane)] for _ in range(n)]
            # White and black last (a grey first frame would make a grey movie).
            for k, level in ((n - 2, 235), (n - 1, 16)):
                if k > 0:
                    frames[k] = [np.full(p.shape, v, np.uint8) for p, v in zip(frames[k], (level, 128, 128))]
            data = b"".join(p.tobytes() for f in frames for p in f)
            open(path, "wb").write(data)
            open(short, "wb").write(data[:-1])
            for half in (0, 1):
                label = "%dx%d chroma %d half %d" % (rows, cols, chroma, half)
                run(program, "yuv", path, rows, cols, n, chroma, half, out)
                (info, records), want = load(out), [yuv_expected(f, rows, cols, chroma, half) for f in frames]
                h, w = want[0].shape[:2]
                if info != (dict(opened=1, n=n, h=h, w=w, color=1, kind=5, datatype=4) if h and w else None) or \
                        [r[0] for r in records] != [1] * (n if h and w else 0):
                    errors.append("%s: %s, %d frames read" % (label, info, len(records)))
                    continue
                for k, (_, _, frame) in enumerate(records):
                    bad = np.argwhere(frame != want[k])
                    if bad.size:
                        errors.append("%s: frame %d, %d samples differ, first %s: %s, expected %s" % (
                            label, k, len(bad), bad[0], frame[tuple(bad[0][:2])], want[k][tuple(bad[0][:2])]))
                black, white = records[-1:] if n > 1 else [], records[-2:-1] if n > 2 else []
                if not (all(np.all(r[2] == 0) for r in black) and all(np.all(r[2] >= 254) for r in white)):
                    errors.append("%s: Y 16 is not black or Y 235 not white" % label)
            # A file one byte short of the frames asked, and a chroma code past 4:2:2.
            for name, code in ((short, chroma), (path, 2)):
                run(program, "yuv", name, rows, cols, n, code, 0, out)
                if load(out)[0] is not None:
                    errors.append("%dx%d: %s with chroma %d accepted" % (rows, cols, name, code))
            print("%dx%d chroma %d: %d frames" % (rows, cols, chroma, n))
    return errors


def hostile(program, folder):
    errors, (w, h, n), sources = [], (37, 23, 6), {}
    frames, wav = pattern(n, h, w, 7), os.path.join(folder, "tone.wav")
    for name in ("rawvideo -pix_fmt bgr24", "ffv1 -pix_fmt bgr0"):
        ffmpeg_make(os.path.join(folder, "source.avi"), frames, "-c:v " + name)
        sources[name.split()[0]] = open(os.path.join(folder, "source.avi"), "rb").read()
    raw, ffv1 = sources["rawvideo"], sources["ffv1"]
    movi = raw.index(b"movi")
    ends = [pos + 8 + len(b) for tag, pos, b in chunks(raw, movi + 4, len(raw)) if tag[2:] in (b"db", b"dc")]
    run("ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "sine=duration=0.2", wav)
    cases = {"wav": (open(wav, "rb").read(), 0), "riff_only": (b"RIFF", 0)}
    cuts = (12, 40, 100, movi - 4, movi + 8, ends[1] + 100, len(raw) - 20)
    cases.update(("raw_cut_%d" % cut, (raw[:cut], cut)) for cut in cuts)
    cases.update(("ffv1_cut_%d" % cut, (ffv1[:cut], 0)) for cut in (len(ffv1) // 2, len(ffv1) - 30))
    rng = np.random.default_rng(7)
    for k in range(12):
        cases["noise_%d" % k] = (b"RIFF" + rng.integers(0, 256, rng.integers(0, 3000), np.uint8).tobytes(), 0)
        mutated = np.frombuffer(raw, np.uint8).copy()
        mutated[rng.integers(0, movi + 64, 1 + k)] = rng.integers(0, 256, 1 + k)
        cases["mutated_%d" % k] = (mutated.tobytes(), 0)
    for name, (data, cut) in cases.items():
        path = os.path.join(folder, name + ".avi")
        open(path, "wb").write(data)
        try:
            run(program, "read", path, path + ".dump", ",".join(map(str, list(range(n + 2)) + [n - 1, 2, 0, "p", "n"])))
        except AssertionError as e:
            errors.append("%s: %s" % (name, e))
            continue
        info, records = load(path + ".dump")
        # A raw movie cut inside its frames still gives each frame wholly before the cut.
        for i in [i for i in range(n) if cut >= ends[i]]:
            if not (info["opened"] and records[i + 1][0] and np.array_equal(records[i + 1][2], as_read(frames[i], 1))):
                errors.append("%s: frame %d, wholly in the file, not read" % (name, i))
        print("%s: opened %d, %d of %d reads succeeded" % (
            name, info["opened"], sum(r[0] for r in records), len(records)))
    return errors


def main():
    family, program, folder = sys.argv[1:4]
    os.makedirs(folder, exist_ok=True)
    errors = {"read": read, "write": write, "yuv": yuv, "hostile": hostile}[family](program, folder)
    for error in errors:
        print(error)
    print("%s: %d failures" % (family, len(errors)))
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())

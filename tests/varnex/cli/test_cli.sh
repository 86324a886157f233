#!/usr/bin/env bash
# varnex-segment from the outside: refused inputs end with status 2 and one
# line on standard error naming what was wrong; no output ever replaces an
# input or the other output; a sample case gives a result picture and marks.
# Usage: test_cli.sh PATH/TO/varnex-segment EXAMPLES_FOLDER
set -u
tool=$1
examples=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
# A run that blocks on a FIFO or reads without end must fail here, not hang
# the suite or exhaust memory: runs are timed out, and under the sanitizers
# their memory is capped.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}max_allocation_size_mb=512:hard_rss_limit_mb=2048"

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# expect_refused NAME TEXT ARGS...: status 2, exactly one stderr line, and
# that line contains TEXT.
expect_refused() {
    local name=$1 text=$2
    shift 2
    timeout 30 "$tool" "$@" >"$work/out" 2>"$work/err"
    local status=$?
    local lines
    lines=$(wc -l <"$work/err")
    if [ "$status" -ne 2 ]; then
        fail "$name: status $status, expected 2"
    elif [ "$lines" -ne 1 ]; then
        fail "$name: $lines lines on stderr, expected 1:"
        cat "$work/err" >&2
    elif ! grep -qF -- "$text" "$work/err"; then
        fail "$name: stderr does not name '$text': $(cat "$work/err")"
    fi
}

# A 4 x 3 grey picture and region maps of the same and of another size.
printf 'P5\n4 3\n255\n\000\000\200\200\000\000\200\200\000\000\200\200' >"$work/pic.pgm"
printf 'P6\n4 3\n255\n' >"$work/pic_regions.ppm"
for _ in 1 2 3; do printf '\001\002\003\001\002\003\011\011\011\011\011\011' >>"$work/pic_regions.ppm"; done
printf 'P6\n3 3\n255\n' >"$work/small.ppm"
for _ in 1 2 3 4 5 6 7 8 9; do printf '\001\002\003' >>"$work/small.ppm"; done
printf '0 0 1\n3 2 2\n' >"$work/seeds.txt"
cp "$work/pic.pgm" "$work/pic.orig"
cp "$work/pic_regions.ppm" "$work/regions.orig"
maps=(--regions "$work/pic_regions.ppm")

expect_refused "missing picture" "$work/none.pgm" "$work/none.pgm"
expect_refused "missing region map" "$work/nothing.bmp" "$work/pic.pgm" --regions "$work/nothing.bmp"
expect_refused "region size 0" "--region-size" "$work/pic.pgm" --region-size 0
expect_refused "region size 12x" "'12x'" "$work/pic.pgm" --region-size 12x
expect_refused "region map saved onto the picture" "refusing to overwrite the picture" \
    "$work/pic.pgm" --save-regions "$work/./pic.pgm"
expect_refused "region map saved onto the output" "--output and --save-regions name the same file" \
    "$work/pic.pgm" --output "$work/o.bmp" --save-regions "$work/sub/../o.bmp"
expect_refused "size mismatch" "$work/small.ppm" "$work/pic.pgm" --regions "$work/small.ppm"
printf '0 0 1\n1 2\n' >"$work/short.txt"
expect_refused "short seed line" "$work/short.txt" "$work/pic.pgm" "${maps[@]}" --seeds "$work/short.txt"
printf '0 0 1 7\n' >"$work/long.txt"
expect_refused "long seed line" "$work/long.txt" "$work/pic.pgm" "${maps[@]}" --seeds "$work/long.txt"
printf '0 0 3\n' >"$work/kind.txt"
expect_refused "seed kind 3" "$work/kind.txt" "$work/pic.pgm" "${maps[@]}" --seeds "$work/kind.txt"
expect_refused "missing seed file" "$work/noseeds.txt" "$work/pic.pgm" "${maps[@]}" --seeds "$work/noseeds.txt"
expect_refused "negative parameter" "--parameter" "$work/pic.pgm" "${maps[@]}" --parameter -1
expect_refused "parameter abc" "'abc'" "$work/pic.pgm" "${maps[@]}" --parameter abc
expect_refused "parameter nan" "--parameter" "$work/pic.pgm" "${maps[@]}" --parameter nan
expect_refused "unknown option" "--frobnicate" "$work/pic.pgm" --frobnicate
expect_refused "option without value" "--output" "$work/pic.pgm" --output
expect_refused "output onto the picture" "$work/pic.pgm" "$work/pic.pgm" "${maps[@]}" --output "$work/pic.pgm"
expect_refused "output onto the picture, other spelling" "pic.pgm" \
    "$work/pic.pgm" "${maps[@]}" --output "$work/./pic.pgm"
expect_refused "output onto the region map" "pic_regions.ppm" \
    "$work/pic.pgm" "${maps[@]}" --output "$work/pic_regions.ppm"

# Outputs against every input and each other, by any spelling of the path,
# through a link to the file or to its folder, and for files not yet there.
mkdir "$work/sub"
ln -s "$work" "$work/link"
ln -s same.json "$work/dangling"
cp "$work/seeds.txt" "$work/seeds.orig"
seeded=("$work/pic.pgm" "${maps[@]}" --seeds "$work/seeds.txt")
expect_refused "output onto the seeds" "refusing to overwrite the seeds" "${seeded[@]}" --output "$work/seeds.txt"
expect_refused "marks onto the seeds, dir/.." "refusing to overwrite the seeds" \
    "${seeded[@]}" --marks "$work/sub/../seeds.txt"
expect_refused "output and marks one new file" "--output and --marks name the same file" \
    "${seeded[@]}" --output "$work/sub/../both" --marks "$work/./both"
expect_refused "output is a dangling link to the marks" "--output and --marks name the same file" \
    "${seeded[@]}" --output "$work/dangling" --marks "$work/same.json"
cd "$work/sub" || exit 1
expect_refused "relative output, absolute marks" "--output and --marks name the same file" \
    ../pic.pgm --regions ../pic_regions.ppm --output ../out.bmp --marks "$work/link/out.bmp"
expect_refused "relative picture, marks through a link" "refusing to overwrite the picture" \
    ../pic.pgm --regions ../pic_regions.ppm --marks "$work/link/sub/../pic.pgm"
cd - >/dev/null || exit 1
expect_refused "marks onto the region map in a linked folder" "refusing to overwrite the region map" \
    "${seeded[@]}" --marks "$work/link/pic_regions.ppm"
expect_refused "marks onto the picture" "refusing to overwrite the picture" "${seeded[@]}" --marks "$work/pic.pgm"
cmp -s "$work/pic.pgm" "$work/pic.orig" || fail "the picture was changed"
cmp -s "$work/pic_regions.ppm" "$work/regions.orig" || fail "the region map was changed"
cmp -s "$work/seeds.txt" "$work/seeds.orig" || fail "the seeds were changed"
for f in pic_res.bmp both out.bmp same.json; do
    [ -e "$work/$f" ] && fail "a refused run wrote $f"
done
# Later checks need the inputs intact even when a check above failed.
cp "$work/pic.orig" "$work/pic.pgm"
cp "$work/regions.orig" "$work/pic_regions.ppm"
cp "$work/seeds.orig" "$work/seeds.txt"

# Inputs must be regular files, checked before anything opens them: a FIFO
# would block, a device never ends, a folder reads as an empty file.
mkfifo "$work/fifo"
expect_refused "FIFO picture" "not a regular file" "$work/fifo" "${maps[@]}"
expect_refused "FIFO region map" "not a regular file" "$work/pic.pgm" --regions "$work/fifo"
expect_refused "FIFO seeds" "not a regular file" "$work/pic.pgm" "${maps[@]}" --seeds "$work/fifo"
expect_refused "device seeds" "not a regular file" "$work/pic.pgm" "${maps[@]}" --seeds /dev/zero
expect_refused "folder seeds" "is a folder" "$work/pic.pgm" "${maps[@]}" --seeds "$work/sub"
expect_refused "folder picture" "is a folder" "$work/sub" "${maps[@]}"
expect_refused "missing picture says so" "no such file" "$work/none.pgm"

# Seed lines hold at most 256 characters; the count of lines is not bounded.
printf '0 0 1 #%249s\n' '' >"$work/line256.txt"
timeout 30 "$tool" "$work/pic.pgm" "${maps[@]}" --seeds "$work/line256.txt" >"$work/out" 2>"$work/err" ||
    fail "a 256-character seed line: $(cat "$work/err")"
printf '0 0 1\n# fine\n3 2 2 #%250s\n' '' >"$work/line257.txt"
expect_refused "a 257-character seed line" "line 3: longer than 256 characters" \
    "$work/pic.pgm" "${maps[@]}" --seeds "$work/line257.txt"
head -c 1000000 /dev/zero | tr '\0' 7 >"$work/endless.txt"
expect_refused "a megabyte seed line" "line 1: longer than 256 characters" \
    "$work/pic.pgm" "${maps[@]}" --seeds "$work/endless.txt"
awk 'BEGIN { for (i = 0; i < 500000; i++) print "0 0 1\n3 2 2" }' >"$work/many.txt"
if timeout 300 "$tool" "$work/pic.pgm" "${maps[@]}" --seeds "$work/many.txt" >"$work/out" 2>"$work/err"; then
    grep -qF "seeds: 500000 object, 500000 background" "$work/out" || fail "a million seed lines: $(cat "$work/out")"
else
    fail "a million seed lines: status $?: $(cat "$work/err")"
fi

# A seed file is told a picture by its content, not its name; pictures the
# library cannot read are reported as such, not as a bad text line.
printf '\377\330\377\340\000\020JFIF' >"$work/s.jpg"
printf 'II*\000\010\000\000\000' >"$work/s.tif"
printf 'MM\000*\000\000\000\010' >"$work/s2.tif"
printf 'GIF89a\004\000\003\000' >"$work/s.gif"
printf 'BM\066\000' >"$work/s.txt"
printf '\001\002\003 0 0 1\n' >"$work/control.txt"
for f in "$work/s.jpg" "$work/s.tif" "$work/s2.tif" "$work/s.gif" \
    "$work/s.txt" "$work/control.txt"; do
    expect_refused "seed picture $(basename "$f")" "cannot read the seeds picture: " \
        "$work/pic.pgm" "${maps[@]}" --seeds "$f"
done
{ printf 'P6\n4 3\n255\n\377\000\000'; head -c 30 /dev/zero; printf '\000\377\000'; } >"$work/seeds.dat"
if timeout 30 "$tool" "$work/pic.pgm" "${maps[@]}" --seeds "$work/seeds.dat" >"$work/out" 2>"$work/err"; then
    grep -qF "seeds: 1 object, 1 background" "$work/out" || fail "seed picture: $(cat "$work/out")"
else
    fail "seed picture: status $?: $(cat "$work/err")"
fi

for option in --help --version; do
    "$tool" "$option" >"$work/out" 2>"$work/err" || fail "$option: status $?"
    [ -s "$work/out" ] || fail "$option: nothing on stdout"
    [ -s "$work/err" ] && fail "$option: output on stderr"
done

# The small picture: both seeded regions keep their side.
if "$tool" "$work/pic.pgm" "${maps[@]}" --seeds "$work/seeds.txt" --marks "$work/pic.json" >"$work/out" 2>"$work/err"; then
    grep -qF '"marks": [1, -1]' "$work/pic.json" || fail "small case marks: $(cat "$work/pic.json")"
    [ "$(head -c 2 "$work/pic_res.bmp")" = BM ] || fail "small case: no BMP at pic_res.bmp"
else
    fail "small case: status $?: $(cat "$work/err")"
fi
cmp -s "$work/pic.pgm" "$work/pic.orig" || fail "the picture was changed by a run"

# Without a region map one is made from the picture, and nothing but the
# result is written beside it; --save-regions keeps the map, which read back
# gives the same regions.
cp "$examples/coffee.ppm" "$work/coffee.ppm"
convert "$examples/coffee.ppm" -quality 92 "$work/coffee.jpg"
if "$tool" "$work/coffee.jpg" --seeds "$examples/coffee_seeds.txt" --save-regions "$work/made.bmp" \
    --region-size 80 --marks "$work/made.json" >"$work/out" 2>"$work/err"; then
    made=$(sed -n 's/^regions: made, \([0-9]*\) regions$/\1/p' "$work/out")
    [ -n "$made" ] && [ "$made" -gt 1000 ] && [ "$made" -lt 2500 ] || fail "made map: $(cat "$work/out")"
    [ -e "$work/coffee_regions.bmp" ] && fail "made map: written beside the picture"
    "$tool" "$work/coffee.ppm" --seeds "$examples/coffee_seeds.txt" --regions "$work/made.bmp" \
        --marks "$work/read.json" >"$work/out" 2>"$work/err" || fail "saved map: $(cat "$work/err")"
    grep -qF "regions: read from $work/made.bmp" "$work/out" || fail "saved map: $(cat "$work/out")"
    [ "$(sed -n 's/.*"regions": \([0-9]*\).*/\1/p' "$work/read.json")" = "$made" ] ||
        fail "saved map: $(head -c 80 "$work/read.json") for $made regions made"
    grep -q '"marks": \[.*1' "$work/made.json" || fail "made map: no object region"
else
    fail "made map: status $?: $(cat "$work/err")"
fi
"$tool" "$work/coffee.ppm" --make-regions --region-size 400 --regions "$work/made.bmp" >"$work/out" 2>&1 ||
    fail "--make-regions: $(cat "$work/out")"
grep -qF "regions: made," "$work/out" || fail "--make-regions read the file: $(cat "$work/out")"

# A BMP picture is kept as bytes: its result and marks are those of the
# same picture read as floats from a PPM file. A BMP picture cut short is
# refused with the reader's own message.
for ext in bmp ppm; do
    "$tool" "$examples/coffee.$ext" --regions "$examples/coffee_regions.bmp" --seeds "$examples/coffee_seeds.txt" \
        --output "$work/coffee_from_$ext.bmp" --marks "$work/coffee_from_$ext.json" >/dev/null 2>"$work/err" ||
        fail "coffee.$ext: status $?: $(cat "$work/err")"
done
cmp -s "$work/coffee_from_bmp.bmp" "$work/coffee_from_ppm.bmp" || fail "a BMP picture's result differs from its PPM twin's"
cmp -s "$work/coffee_from_bmp.json" "$work/coffee_from_ppm.json" || fail "a BMP picture's marks differ from its PPM twin's"
head -c 5000 "$examples/coffee.bmp" >"$work/cut.bmp"
expect_refused "a BMP picture cut short" "truncated bitmap" \
    "$work/cut.bmp" --regions "$examples/coffee_regions.bmp" --output "$work/cut_res.bmp"

# A sample case with the default region map, seeds and output beside it.
for f in brain_pd.bmp brain_pd_regions.bmp brain_pd_seeds.txt; do cp "$examples/$f" "$work/$f"; done
expect_refused "output onto the default seeds" "refusing to overwrite the seeds" \
    "$work/brain_pd.bmp" --output "$work/brain_pd_seeds.txt"
cmp -s "$work/brain_pd_seeds.txt" "$examples/brain_pd_seeds.txt" || fail "sample: the seeds were changed"
cp "$examples/brain_pd_seeds.txt" "$work/brain_pd_seeds.txt"
if "$tool" "$work/brain_pd.bmp" --parameter 10 --marks "$work/brain.json" >"$work/out" 2>"$work/err"; then
    [ -s "$work/err" ] && fail "sample: output on stderr: $(cat "$work/err")"
    [ "$(head -c 2 "$work/brain_pd_res.bmp")" = BM ] || fail "sample: no BMP at brain_pd_res.bmp"
    json=$(cat "$work/brain.json")
    regions=$(sed -n 's/.*"regions": \([0-9]*\).*/\1/p' <<<"$json")
    cuts=$(sed -n 's/.*"cuts": \([0-9]*\).*/\1/p' <<<"$json")
    marks=$(sed -n 's/.*"marks": \[\(.*\)\].*/\1/p' <<<"$json" | tr -d ' ')
    [ "$regions" = 320 ] || fail "sample: regions '$regions', expected 320"
    [ -n "$cuts" ] && [ "$cuts" -gt 1 ] || fail "sample: cuts '$cuts'"
    count=$(tr ',' '\n' <<<"$marks" | grep -c .)
    [ "$count" = "$regions" ] || fail "sample: $count marks for $regions regions"
    tr ',' '\n' <<<"$marks" | grep -qvxE -- '-1|0|1' && fail "sample: a mark outside {1, -1, 0}"
    tr ',' '\n' <<<"$marks" | grep -qx 1 || fail "sample: no object region"
    tr ',' '\n' <<<"$marks" | grep -qx -- -1 || fail "sample: no background region"
else
    fail "sample: status $?: $(cat "$work/err")"
fi
cmp -s "$work/brain_pd.bmp" "$examples/brain_pd.bmp" || fail "sample: the picture was changed"
cmp -s "$work/brain_pd_regions.bmp" "$examples/brain_pd_regions.bmp" || fail "sample: the region map was changed"

# Refinement: the seeds split over --seeds and two --refine files give the
# result and marks of one run with all of them, and one report line each.
head -n 20 "$examples/brain_pd_seeds.txt" >"$work/part1.txt"
sed -n '21,40p' "$examples/brain_pd_seeds.txt" >"$work/part2.txt"
tail -n +41 "$examples/brain_pd_seeds.txt" >"$work/part3.txt"
"$tool" "$work/brain_pd.bmp" --seeds "$work/part1.txt" --refine "$work/part2.txt" --refine "$work/part3.txt" \
    --output "$work/refined.bmp" --marks "$work/refined.json" >"$work/out" 2>"$work/err" ||
    fail "refine: status $?: $(cat "$work/err")"
[ "$(grep -c '^refine [12]: +[0-9]* seeds, cuts [0-9.]* s$' "$work/out")" = 2 ] ||
    fail "refine: report lines: $(cat "$work/out")"
"$tool" "$work/brain_pd.bmp" --output "$work/whole.bmp" --marks "$work/whole.json" >/dev/null 2>&1
cmp -s "$work/refined.bmp" "$work/whole.bmp" || fail "refine: the result differs from one run with all seeds"
[ "$(sed 's/"cuts": [0-9]*, //' "$work/refined.json")" = "$(sed 's/"cuts": [0-9]*, //' "$work/whole.json")" ] ||
    fail "refine: the marks differ from one run with all seeds"
expect_refused "refine onto the output" "refusing to overwrite the refinement seeds" \
    "$work/brain_pd.bmp" --refine "$work/part2.txt" --output "$work/part2.txt"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "all checks passed"

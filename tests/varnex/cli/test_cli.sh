#!/usr/bin/env bash
# varnex-segment from the outside: refused inputs end with status 2 and one
# line on standard error naming what was wrong; the picture and its region
# map are never overwritten; a sample case gives a result picture and marks.
# Usage: test_cli.sh PATH/TO/varnex-segment EXAMPLES_FOLDER
set -u
tool=$1
examples=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# expect_refused NAME TEXT ARGS...: status 2, exactly one stderr line, and
# that line contains TEXT.
expect_refused() {
    local name=$1 text=$2
    shift 2
    "$tool" "$@" >"$work/out" 2>"$work/err"
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
expect_refused "default region map missing" "$work/pic_regions.bmp" "$work/pic.pgm"
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
cmp -s "$work/pic.pgm" "$work/pic.orig" || fail "the picture was changed"
cmp -s "$work/pic_regions.ppm" "$work/regions.orig" || fail "the region map was changed"
[ -e "$work/pic_res.bmp" ] && fail "a refused run left a result"

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

# A sample case with the default region map, seeds and output beside it.
for f in brain_pd.bmp brain_pd_regions.bmp brain_pd_seeds.txt; do cp "$examples/$f" "$work/$f"; done
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

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "all checks passed"

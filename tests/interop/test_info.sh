#!/usr/bin/env bash
# kalvio-info over good and refused pictures: one line per file, on standard
# output for a picture it read, on standard error for one it refused, with
# every message shown for that file on its line.
# Usage: test_info.sh PATH/TO/kalvio-info tests/data
set -u
tool=$1
data=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

good=$data/peer/bmp8_rle_magick_13x4.bmp
head -c 100 "$good" >"$work/truncated.bmp"
printf '\211PNG\r\n\032\n' >"$work/picture.png"
head -c 32768 /dev/zero >>"$work/picture.png"
printf 'not a picture\n' >"$work/notes.txt"

"$tool" "$good" "$work/truncated.bmp" "$data/corrupt/rle8-run-past-row.bmp" "$work/picture.png" \
    "$work/notes.txt" "$work/missing.pgm" >"$work/out" 2>"$work/err"
status=$?

[ "$status" -eq 2 ] || fail "status $status, expected 2"
[ "$(wc -l <"$work/out")" -eq 1 ] || fail "expected one line on stdout: $(cat "$work/out")"
grep -qF "$good: BMP, 13 x 4, colour" "$work/out" || fail "good file not reported: $(cat "$work/out")"
[ "$(wc -l <"$work/err")" -eq 5 ] || fail "expected one stderr line per refused file:"$'\n'"$(cat "$work/err")"

# expect_line FILE TEXT: the stderr line of FILE holds TEXT.
expect_line() {
    grep -F -- "$1: " "$work/err" | grep -qF -- "$2" || fail "$1: no line with '$2'"
}
expect_line "$work/truncated.bmp" "Read error 2: truncated bitmap; CImage: Can't read data"
expect_line "$data/corrupt/rle8-run-past-row.bmp" "Invalid bitmap file; CImage: Can't read data"
expect_line "$work/picture.png" "read_png_image: Can't read file"
expect_line "$work/notes.txt" "CImage: Unrecognised file format"
expect_line "$work/missing.pgm" "CImage: Can't open file"

[ "$failures" -eq 0 ] && echo "kalvio-info: all checks passed"
exit $((failures > 0))

#!/usr/bin/env bash
# Renders screenshots of Varnex's main states on the bundled sample pictures
# (opened, seeds painted, segmented, result over the picture, zoom 3) into
# build/screenshots/.
# Usage: screenshots.sh [xvfb]   (xvfb: a real X server with window borders)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target varnex-screenshots
out="$root/build/screenshots"
mkdir -p "$out"
run() {
  if [ "${1:-}" = xvfb ]; then
    xvfb-run -a -s "-screen 0 1280x900x24" "${@:2}"
  else
    QT_QPA_PLATFORM=offscreen "${@:2}"
  fi
}
for sample in coffee.ppm coins.pgm brain_pd.bmp; do
  base="${sample%%.*}"
  run "${1:-}" build/bin/varnex-screenshots "examples/$sample" "examples/${base}_seeds.txt" "$out/$base"
done

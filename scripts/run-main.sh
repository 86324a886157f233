#!/usr/bin/env bash
# Sets up, builds and runs the main job on the bundled sample picture, copied
# with its region map and seeds to build/main-output/ (where the program also
# saves its results):
# - with a display (DISPLAY or WAYLAND_DISPLAY set): Varnex, the desktop
#   program, opened on the picture;
# - without one: the headless segmentation of the picture with its seeds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default -DKALVIO_BUILD_TESTS=OFF >/dev/null
out=build/main-output
mkdir -p "$out"
cp examples/coffee.ppm examples/coffee_regions.bmp examples/coffee_seeds.txt "$out/"
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  cmake --build --preset default --target varnex
  exec ./build/bin/varnex "$out/coffee.ppm"
fi
cmake --build --preset default --target varnex-segment
./build/bin/varnex-segment "$out/coffee.ppm" --marks "$out/coffee_marks.json"

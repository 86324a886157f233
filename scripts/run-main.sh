#!/usr/bin/env bash
# Sets up, builds, and runs the main job: the segmentation of the bundled
# sample picture with its region map and seeds. The result goes to
# build/main-output/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default -DKALVIO_BUILD_TESTS=OFF >/dev/null
cmake --build --preset default --target varnex-segment
mkdir -p build/main-output
./build/bin/varnex-segment examples/coffee.ppm \
  --output build/main-output/coffee_res.bmp --marks build/main-output/coffee_marks.json

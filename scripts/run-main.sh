#!/usr/bin/env bash
# Sets up, builds, and runs the main job on the bundled sample pictures.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default -DKALVIO_BUILD_TESTS=OFF >/dev/null
cmake --build --preset default
./build/bin/kalvio-info examples/coins.pgm examples/coffee.ppm examples/coffee.bmp \
  examples/brain_pd.bmp examples/*_regions.bmp

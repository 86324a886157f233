#!/usr/bin/env bash
# Builds the library with KALVIO_PORTABLE_KERNELS=ON in a folder of its own,
# with the Gaussian filter tests only, checks that the x86 kernels are not
# compiled at all, and runs those tests against the portable kernels.
# Usage: portable_kernels.sh SOURCE_DIR BUILD_DIR [CMAKE_ARGS...]
set -euo pipefail
source=$1 build=$2
shift 2

cmake -S "$source" -B "$build" "$@" -DKALVIO_PORTABLE_KERNELS=ON \
      -DKALVIO_BUILD_TESTS=ON -DKALVIO_BUILD_BENCH=OFF -DKALVIO_BUILD_FUZZ=OFF \
      -DVARNEX_BUILD_APP=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
cmake --build "$build" --target kalvio_gaussian_tests

if grep -q 'gaussian_x86' "$build/compile_commands.json"; then
    echo "portable_kernels.sh: the x86 kernels are part of a portable build" >&2
    exit 1
fi
"$build/bin/kalvio_gaussian_tests"

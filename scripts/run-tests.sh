#!/usr/bin/env bash
# Sets up, builds every test under AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs them all with CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset asan >/dev/null
cmake --build --preset asan
ctest --preset asan -j "$(nproc)" --no-label-summary

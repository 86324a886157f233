#!/usr/bin/env bash
# Sets up, builds the max-flow benchmark (Release, -O2) in build-bench/ and
# runs it.
# Usage: scripts/run-bench.sh [benchmark-name-regex] [more flags]
#   e.g. scripts/run-bench.sh 'grid4_1MP' --benchmark_min_time=1
#        scripts/run-bench.sh . --full_sweep --lemon_max_nodes=5000000
# Results: printed; as JSON in build-bench/bench_maxflow.json (or $BENCH_OUT)
# and as Markdown tables next to it (.md).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh bench  # with the peers: Boost Graph, LEMON
cmake -S . -B build-bench -G Ninja \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DCMAKE_CXX_COMPILER=g++ \
  -DKALVIO_BUILD_BENCH=ON -DKALVIO_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench --target bench_maxflow
filter="${1:-.}"
shift || true
out="${BENCH_OUT:-build-bench/bench_maxflow.json}"
build-bench/bin/bench_maxflow \
  --benchmark_filter="$filter" \
  --benchmark_min_time=0.2 \
  --benchmark_counters_tabular=true \
  --benchmark_out="$out" --benchmark_out_format=json \
  "$@"
python3 bench/report.py "$out" > "${out%.json}.md"
echo "Tables: ${out%.json}.md"

#!/usr/bin/env bash
# Sets up, builds the max-flow benchmark (Release, -O2) in build-bench/ and
# runs it.
# Usage: scripts/run-bench.sh [benchmark-name-regex] [more flags]
#   e.g. scripts/run-bench.sh 'grid4_1MP' --benchmark_min_time=1
#        scripts/run-bench.sh . --full_sweep --lemon_max_nodes=5000000
# Results: printed; as JSON in build-bench/bench_maxflow.json and as Markdown
# tables in build-bench/bench_maxflow.md.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build-bench -G Ninja \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DCMAKE_CXX_COMPILER=g++ \
  -DKALVIO_BUILD_BENCH=ON -DKALVIO_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench --target bench_maxflow
filter="${1:-.}"
shift || true
build-bench/bin/bench_maxflow \
  --benchmark_filter="$filter" \
  --benchmark_min_time=0.2 \
  --benchmark_counters_tabular=true \
  --benchmark_out=build-bench/bench_maxflow.json --benchmark_out_format=json \
  "$@"
python3 bench/report.py build-bench/bench_maxflow.json > build-bench/bench_maxflow.md
echo "Tables: build-bench/bench_maxflow.md"

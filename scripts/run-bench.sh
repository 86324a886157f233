#!/usr/bin/env bash
# Sets up (with the peers the benchmarks compare against), builds the
# benchmarks in Release (-O2) in build-bench/ and runs one of them.
# Usage: scripts/run-bench.sh [maxflow|gaussian|segment] [name-regex] [benchmark flags]
#   e.g. scripts/run-bench.sh maxflow 'grid4_1MP' --benchmark_min_time=0.5
# Results: printed, and as JSON in build-bench/bench_<name>.json (for maxflow
# also as Markdown tables made by bench/report.py).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh bench
which="${1:-maxflow}"
shift || true
case "$which" in
  maxflow|gaussian|segment) ;;
  *) echo "unknown benchmark '$which' (maxflow, gaussian or segment)" >&2; exit 2 ;;
esac
cmake -S . -B build-bench -G Ninja \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DCMAKE_CXX_COMPILER=g++ \
  -DKALVIO_BUILD_BENCH=ON -DKALVIO_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench --target "bench_$which"
filter="${1:-.}"
shift || true
out="${BENCH_OUT:-build-bench/bench_$which.json}"
build-bench/bin/bench_"$which" \
  --benchmark_filter="$filter" \
  --benchmark_min_time=0.2 \
  --benchmark_counters_tabular=true \
  --benchmark_out="$out" --benchmark_out_format=json \
  "$@"
if [ "$which" = maxflow ]; then
  python3 bench/report.py "$out" > "${out%.json}.md"
  echo "Tables: ${out%.json}.md"
fi

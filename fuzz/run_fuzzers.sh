#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang in build-fuzz/ and runs each one
# for a bounded time. Inputs that fail (crash, sanitizer report, leak,
# timeout, out of memory) are saved to fuzz/crashes/<reader>/; afterwards the
# corpus fuzz/corpus/<reader>/ is minimised over itself and this run's new
# inputs, keeping the seed files.
#
# Usage: bash fuzz/run_fuzzers.sh [SECONDS] [READER...]
#   SECONDS  time per harness, default 60
#   READER   pgm ppm bmp qvf medical readimage png jpeg tiff (default: all of them)
# Environment:
#   FUZZ_JOBS=N   harnesses run at the same time (default 1)
#   FUZZ_MERGE=0  leave fuzz/corpus/ as it is
#   FUZZ_KEEP_GOING=1  go on after a failing input (libFuzzer's fork mode),
#                 so that one known fault does not end the whole run
# Exits 1 when any harness found a failing input.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
[ $# -gt 0 ] && shift
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: bash fuzz/run_fuzzers.sh [SECONDS] [READER...]" >&2
  exit 2
fi
all=(pgm ppm bmp qvf medical readimage png jpeg tiff)
readers=("$@")
[ ${#readers[@]} -eq 0 ] && readers=("${all[@]}")
for r in "${readers[@]}"; do
  [[ " ${all[*]} " == *" $r "* ]] || { echo "unknown reader: $r (one of: ${all[*]})" >&2; exit 2; }
done
jobs=${FUZZ_JOBS:-1}

# Longest input tried: the header formats need little, the others room for
# a picture of some size.
max_len() {
  case $1 in
    pgm | ppm | qvf) echo 16384 ;;
    *) echo 65536 ;;
  esac
}

# clang and its libFuzzer runtime. Only this script needs them (CI replays
# the corpus with g++), so they are not in scripts/setup.sh.
bash scripts/setup.sh
missing=()
for p in clang libclang-rt-14-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

build=build-fuzz
# clang 14 nests brackets 256 deep by default, less than the sorting networks
# of the median filters (kalvio/ops/filters.cpp) unfold to, and refuses the
# AVX2 vectors kalvio/ops/ridges.cpp hands between inlined functions unless
# AVX2 is on for the whole build: the machine fuzzing needs AVX2.
cmake -S . -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1 -fbracket-depth=1024 -mavx2 -mfma" \
  -DCMAKE_CXX_COMPILER=clang++ -DKALVIO_SANITIZE=ON -DKALVIO_BUILD_FUZZ=ON \
  -DKALVIO_BUILD_TESTS=OFF -DKALVIO_BUILD_BENCH=OFF -DVARNEX_BUILD_APP=OFF >/dev/null
targets=()
for r in "${readers[@]}"; do targets+=("fuzz_$r"); done
cmake --build "$build" --target "${targets[@]}"

export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# One allocation above the memory limit is a finding at once, before the
# allocator spends seconds clearing it.
export ASAN_OPTIONS=${ASAN_OPTIONS:-max_allocation_size_mb=2048:allocator_may_return_null=0}
logs=$build/logs
mkdir -p "$logs"

# Runs one harness; leaves "<executions> <seconds> <new failing inputs>" in
# $logs/<reader>.result.
run_one() {
  local reader=$1
  local bin=$build/bin/fuzz_$reader work=$build/work/$reader crashes=fuzz/crashes/$reader
  local corpus=fuzz/corpus/$reader log=$logs/$reader.log
  mkdir -p "$work" "$crashes" "$corpus"
  local before start status=0 mode=()
  [ "${FUZZ_KEEP_GOING:-0}" != 0 ] && mode=(-fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1)
  before=$(find "$crashes" -type f | sort)
  start=$SECONDS
  # New inputs go to the first folder, the work folder; the committed corpus
  # is only read.
  "$bin" "${mode[@]}" -max_total_time="$seconds" -max_len="$(max_len "$reader")" \
    -rss_limit_mb=2048 -timeout=5 -print_final_stats=1 -artifact_prefix="$crashes/" \
    "$work" "$corpus" >"$log" 2>&1 || status=$?
  local elapsed=$((SECONDS - start))
  # Executions: libFuzzer's final statistics, else its last status line (the
  # only count fork mode prints).
  local runs
  runs=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$log" | tail -n 1)
  [ -n "$runs" ] || runs=$(sed -n 's/^#\([0-9]*\).*/\1/p' "$log" | tail -n 1)
  local found
  found=$(comm -13 <(echo "$before") <(find "$crashes" -type f | sort) | grep -c . || true)
  if [ "$status" -ne 0 ] && [ "$found" -eq 0 ]; then found=1; fi
  rmdir "$crashes" 2>/dev/null || true

  if [ "${FUZZ_MERGE:-1}" != 0 ]; then
    # Minimise: the seeds, then whatever else adds coverage to them.
    local fresh=$build/merge/$reader
    rm -rf "$fresh" && mkdir -p "$fresh"
    find "$corpus" -maxdepth 1 -type f -name 'seed_*' -exec cp {} "$fresh/" \;
    if "$bin" -merge=1 -max_len="$(max_len "$reader")" -rss_limit_mb=2048 -timeout=5 \
      "$fresh" "$corpus" "$work" >"$logs/$reader.merge.log" 2>&1; then
      find "$corpus" -maxdepth 1 -type f -delete
      cp "$fresh"/* "$corpus/"
    else
      echo "$reader: merge failed, corpus left as it was (see $logs/$reader.merge.log)" >&2
    fi
  fi
  echo "${runs:-0} $elapsed $found" >"$logs/$reader.result"
}

for r in "${readers[@]}"; do
  rm -f "$logs/$r.result"
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  echo "fuzzing $r for ${seconds}s (log: $logs/$r.log)"
  run_one "$r" &
done
wait

failed=0
printf '\n%-10s %12s %8s  %s\n' harness executions seconds result
for r in "${readers[@]}"; do
  read -r runs elapsed found <"$logs/$r.result" || { runs=? elapsed=? found=1; }
  if [ "$found" = 0 ]; then
    result="no crash"
  else
    result="FOUND $found failing input(s) in fuzz/crashes/$r/ (see $logs/$r.log)"
    failed=1
  fi
  printf '%-10s %12s %8s  %s\n' "$r" "$runs" "$elapsed" "$result"
done
echo "corpus: $(( $(du -sb fuzz/corpus | cut -f1) / 1024 )) KiB in $(find fuzz/corpus -type f | wc -l) files"
exit $failed

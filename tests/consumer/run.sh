#!/usr/bin/env bash
# Installs the built library into a scratch prefix, then builds and runs a
# client against it twice: through find_package(Kalvio) and through pkg-config.
# Usage: run.sh BUILD_DIR WORK_DIR CONSUMER_SOURCE_DIR [EXTRA_FLAGS]
set -euo pipefail
build=$1 work=$2 source=$3
flags=${4:-}
flags=${flags//;/ }

rm -rf "$work"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

echo "== find_package(Kalvio)"
cmake -S "$source" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_CXX_FLAGS="$flags" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/consumer"

echo "== pkg-config kalvio"
pcdir=$(dirname "$(find "$prefix" -name kalvio.pc | head -n 1)")
read -r -a pc_flags <<<"$(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs kalvio)"
read -r -a extra <<<"$flags"
g++ -std=c++20 "${extra[@]}" "$source/main.cpp" -o "$work/consumer-pc" "${pc_flags[@]}"
LD_LIBRARY_PATH=$(PKG_CONFIG_PATH=$pcdir pkg-config --variable=libdir kalvio) "$work/consumer-pc"

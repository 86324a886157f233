#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# Usage: setup.sh [bench]   (bench: also the peers the benchmarks compare with)
set -euo pipefail

packages=(
  g++ cmake ninja-build pkgconf make
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  python3 python3-pil imagemagick netpbm
  python3-numpy python3-scipy python3-opencv
  qt6-base-dev libeigen3-dev
  libavformat-dev libavcodec-dev libswscale-dev libavutil-dev ffmpeg
  libpng-dev libjpeg62-turbo-dev libtiff-dev
)
if [ "${1:-}" = bench ]; then
  packages+=(libboost-graph-dev liblemon-dev libopencv-dev python3-skimage)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "Run as root or install: ${missing[*]}" >&2; exit 1; }
  sudo=sudo
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"

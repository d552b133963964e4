#!/usr/bin/env bash
# Installs every Debian package Orvane Studio needs to build, test, run and benchmark.
# Packages already present are skipped, so running it again is cheap.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git ccache
  qt6-base-dev qt6-base-dev-tools qt6-image-formats-plugins libqt6svg6
  libgl-dev libegl-dev libxkbcommon-dev libqt6opengl6-dev
  libopencv-dev libopencv-contrib-dev libyaml-cpp-dev libcurl4-openssl-dev
  libtorch-dev libonnx-dev libgloo-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang
  xvfb xauth imagemagick
  fonts-dejavu-core fonts-noto-color-emoji fonts-liberation2 fonts-symbola
  python3-opencv python3-torch python3-numpy
  nodejs
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
else
  echo "install-deps: installing ${missing[*]}"
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# ONNX Runtime for Node checks exported ONNX models in the tests. Some nodejs builds bring npm
# along; Debian's splits it out.
if ! command -v npm >/dev/null 2>&1; then
  $SUDO apt-get install -y -q --no-install-recommends npm
fi
"$(dirname "$0")/install-onnxruntime.sh" ||
  echo "install-deps: onnxruntime-node not installed; the tests that use it will skip" >&2

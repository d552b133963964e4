#!/usr/bin/env bash
# Installs every Debian package Orvane Studio needs to build, test, run and benchmark.
# Packages already present are skipped, so running it again is cheap.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git ccache
  qt6-base-dev qt6-base-dev-tools qt6-charts-dev qt6-image-formats-plugins libqt6svg6
  libgl-dev libegl-dev libxkbcommon-dev libqt6opengl6-dev
  libopencv-dev libyaml-cpp-dev
  libtorch-dev libonnx-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth imagemagick
  fonts-dejavu-core fonts-noto-color-emoji fonts-liberation2 fonts-symbola
  python3-opencv python3-torch python3-numpy
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"

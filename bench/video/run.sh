#!/usr/bin/env bash
# Video benchmarks: propagation (CSRT and KCF), tracking (ByteTrack and a plain IoU tracker, with
# the shapes checkpoint of tests/data) and throughput (video against images).
#   bench/video/run.sh BUILD_DIR   (configured with -DORVANE_BUILD_BENCH=ON)
set -euo pipefail
build=${1:-build}
root=$(cd "$(dirname "$0")/../.." && pwd)
cmake --build "$build" -j2 --target video_bench
bench="$build/bench/video/video_bench"
[ -x "$bench" ] || bench="$build/bin/video_bench"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$bench" propagation csrt
"$bench" propagation kcf
"$bench" tracking "$root/tests/data/weights/yolov8n-shapes.pt" 192
"$bench" throughput "$work"

#!/bin/bash
# Variants per second of our enricher against the same pipeline in OpenCV's Python binding, on
# the same image, in the same run; prints both rates and the ratio (ours / peer; above 1 means
# ours is faster). The comparison itself is compare.py; this builds what it needs.
#
# usage: bench/enricher/run.sh [IMAGE] [BUILD_DIR] [COUNT]
#   IMAGE      picture to enrich (default: a synthetic 1920 x 1080 JPEG)
#   BUILD_DIR  a build configured with -DORVANE_BUILD_BENCH=ON (default: build-bench)
#   COUNT      variants in the end-to-end batch (default: 50)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${2:-$root/build-bench}
if [ ! -x "$build/bin/bench_enricher" ] || [ ! -x "$build/bin/orvane" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DORVANE_BUILD_BENCH=ON >/dev/null
  cmake --build "$build" -j2 --target bench_enricher orvane
fi
# Debian's python3-opencv lives in the system interpreter, whatever else is on PATH.
exec /usr/bin/python3 "$here/compare.py" --build "$build" --count "${3:-50}" ${1:+--image "$1"}

#!/bin/sh
# Sliced prediction benchmark: makes the shapes sets (96-px tiles to train on, 1600-px images
# with 150 small shapes each to predict), trains yolov8n on the tiles, and prints box mAP50
# native / sliced / plain and the timing split of a sliced image.
#   bench/slicing/run.sh BUILD_DIR [WORK_DIR] [EPOCHS]
set -eu
build=${1:?build folder (configured with -DORVANE_BUILD_BENCH=ON)}
work=${2:-/tmp/orvane_slicing_bench}
epochs=${3:-40}
mkdir -p "$work"
[ -f "$work/large/data.yaml" ] || "$build/bin/slicing_bench" make "$work"
model="$work/runs/tiles/weights/best.pt"
if [ ! -f "$model" ]; then
  "$build/bin/slicing_bench" train "$work" "$epochs"
fi
"$build/bin/slicing_bench" measure "$model" "$work" 96

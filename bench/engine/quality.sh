#!/usr/bin/env bash
# Trains the same small set with several seeds and prints the final validation of each run and
# the mean and spread, so quality is judged on more than one (noisy) run.
# usage: bench/engine/quality.sh BUILD_DIR DATA_YAML [seeds=5] [model=yolov8n.yaml] [epochs=60]
#        [imgsz=128] [batch=8]
set -euo pipefail
build="${1:?build dir}"; data="${2:?data.yaml}"
seeds="${3:-5}"; model="${4:-yolov8n.yaml}"; epochs="${5:-60}"; imgsz="${6:-128}"; batch="${7:-8}"
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
rows="$work/rows"
for seed in $(seq 0 $((seeds - 1))); do
  log="$work/seed$seed.log"
  "$build/bin/orvane" train model="$model" data="$data" epochs="$epochs" imgsz="$imgsz" \
    batch="$batch" seed="$seed" plots=false project="$work" name="s$seed" > "$log" 2>&1
  # The "all" row of the final validation (of best.pt): P R mAP50 mAP50-95 (then the mask four).
  row=$(grep -A1 "Class" "$log" | tail -1 | awk '{$1=$1; sub(/^all [0-9]+ [0-9]+ /, ""); print}')
  secs=$(tail -1 "$work/s$seed/results.csv" | awk -F, '{printf "%.3f", $2 / $1}')
  echo "seed $seed: $row  ($secs s per epoch)"
  echo "$row" >> "$rows"
done
awk '{ for (i = 1; i <= NF; i++) { s[i] += $i; q[i] += $i * $i } n++; m = NF }
     END { printf "mean:  "; for (i = 1; i <= m; i++) printf " %.3f", s[i] / n;
           printf "\nsd:    "; for (i = 1; i <= m; i++) printf " %.3f", sqrt((q[i] - s[i] * s[i] / n) / (n > 1 ? n - 1 : 1));
           print "\n(columns: box P R mAP50 mAP50-95, then mask P R mAP50 mAP50-95 for segmentation)" }' "$rows"

#!/usr/bin/env bash
# End-to-end prediction of one 640-px photo (read, letterbox, forward, NMS, masks, plot):
# ours from the checkpoint, the same network and post-processing in PyTorch + OpenCV (Python),
# and ours from the exports (OpenCV DNN, LibTorch JIT), plus ONNX Runtime's forward pass alone.
# Prints best-of-N milliseconds and the ratio peer / ours (above 1: we are faster).
# usage: bench/inference/run.sh BUILD_DIR [IMAGE] [runs]   (build with -DORVANE_BUILD_BENCH=ON)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:?build dir}"
image="${2:-/work/shared/data/datasets/coco8/images/val/000000000042.jpg}"
runs="${3:-15}"
bench="$build/bin/inference_bench"
ort="$here/../../tools/ort/node_modules/onnxruntime-node"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$bench" prepare "$dir" "$image" > /dev/null
ms() { awk '{print $2}'; }
printf "%-12s %-26s %10s %6s %8s\n" model pipeline ms dets "vs peer"
for m in yolov8n yolov8n-seg; do
  read -r _ peer_ms peer_n < <(/usr/bin/python3 "$here/peer.py" "$dir/$m" "$image" "$runs")
  printf "%-12s %-26s %10s %6s %8s\n" "$m" "python3-torch + cv2 (peer)" "$peer_ms" "$peer_n" "1.00"
  for f in best.pt best.torchscript best.onnx; do
    read -r _ t n < <("$bench" e2e "$dir/$m/$f" "$image" "$runs")
    label="ours $f"
    [ "$f" = best.onnx ] && label="ours best.onnx (OpenCV DNN)"
    printf "%-12s %-26s %10s %6s %8s\n" "$m" "$label" "$t" "$n" \
      "$(awk -v p="$peer_ms" -v o="$t" 'BEGIN{printf "%.2f", p/o}')"
  done
  if command -v node >/dev/null && [ -d "$ort" ]; then
    t=$(node "$here/ort_bench.js" "$ort" "$dir/$m/best.onnx" "$runs" | ms)
    printf "%-12s %-26s %10s %6s\n" "$m" "ONNX Runtime forward only" "$t" "-"
  fi
done

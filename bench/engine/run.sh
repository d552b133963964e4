#!/usr/bin/env bash
# Runs engine_bench and its PyTorch peer (Debian's python3-torch, same threads) alternately and
# prints each figure with the ratio peer / ours (above 1: we are faster).
# usage: bench/engine/run.sh BUILD_DIR [rounds] [shapes data.yaml for the epoch timing]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:?build dir}"
rounds="${2:-3}"
ours=$(mktemp); peer=$(mktemp)
for _ in $(seq "$rounds"); do
  "$build/bin/engine_bench" all >> "$ours"
  /usr/bin/python3 "$here/peer.py" all >> "$peer"
done
best() { grep "^$1 " "$2" | awk '{print $2}' | sort -g | { if [ "$3" = max ]; then tail -1; else head -1; fi; }; }
printf "%-22s %12s %12s %8s\n" figure ours pytorch ratio
for key in gemm_blas_gflops gemm_onednn_gflops train_step_s inference_ms; do
  mode=min; case $key in gemm*) mode=max;; esac
  o=$(best $key "$ours" $mode); p=$(best $key "$peer" $mode)
  r=$(awk -v o="$o" -v p="$p" -v m="$mode" 'BEGIN{ if (m=="max") printf "%.2f", o/p; else printf "%.2f", p/o }')
  printf "%-22s %12s %12s %8s\n" "$key" "$o" "$p" "$r"
done
peak=$(best gemm_onednn_gflops "$ours" max)
for key in train_step_gflops_per_s inference_gflops_per_s; do
  v=$(best $key "$ours" max)
  printf "%-22s %12s  = %s%% of the measured GEMM peak (%s GFLOP/s)\n" "$key" "$v" \
    "$(awk -v v="$v" -v p="$peak" 'BEGIN{printf "%.0f", 100*v/p}')" "$peak"
done
if [ $# -ge 3 ]; then
  echo "epoch timing on $3 (60 epochs, imgsz 128, batch 8):"
  "$build/bin/engine_bench" epoch "$3" 60 128 8 | tail -2
fi
rm -f "$ours" "$peer"

#!/usr/bin/env bash
# Epoch time of yolov8n on the shapes set: one process with 2 compute threads (and, for
# reference, 1 thread) against 2 ranks (nproc=2) with 1 thread each, with the gradients
# all-reduced while the backward pass runs and (ORVANE_DIST_OVERLAP=0) once after it. Prints per configuration the median epoch time of
# training (validation, saving and charts left out: rank 0 alone does them, as one process
# does), the ratio to one process, and where rank 0's time goes: compute (forward, loss,
# backward, optimizer, EMA), all-reduce (waiting in the gradient all-reduce, the BatchNorm
# broadcast and the per-batch stop check: transfer plus waiting for the other rank), data.
# Then allreduce_bench: the all-reduce of a step's gradients alone over loopback.
# usage: bench/distributed/run.sh BUILD_DIR [epochs=4]   (BUILD_DIR configured with
#   -DORVANE_BUILD_BENCH=ON; allreduce_bench and orvane built)
# The set: make_shapes_dataset.py --ntrain 200 --nval 40 --size 96 --seed 1; imgsz 96, global
# batch 8 (4 per rank), workers 2, seed 0. SHAPES_TOOL names make_shapes_dataset.py when it is
# not in ../shared/tools beside the repository.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:?build dir}"
epochs="${2:-4}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tool="${SHAPES_TOOL:-$here/../../../shared/tools/make_shapes_dataset.py}"
/usr/bin/python3 "$tool" --out "$work/data" --ntrain 200 --nval 40 --size 96 --seed 1 > /dev/null
common=(model=yolov8n.yaml data="$work/data/shapes-det/data.yaml" epochs="$epochs" imgsz=96 batch=8
        workers=2 seed=0 plots=false profile=true project="$work/runs")
run() {  # name, env assignments..., -- train args...
  local name=$1; shift
  local envs=()
  while [ "$1" != "--" ]; do envs+=("$1"); shift; done
  shift
  local load; load=$(cut -d' ' -f1 /proc/loadavg)
  env "${envs[@]}" "$build/bin/orvane" train "${common[@]}" name="$name" "$@" > "$work/$name.log" 2>&1
  echo "$name $load" >> "$work/loads"
}
run single -- threads=2
run single_1thread -- threads=1
run ddp ORVANE_DIST_OVERLAP=1 -- nproc=2
run ddp_flat ORVANE_DIST_OVERLAP=0 -- nproc=2
/usr/bin/python3 - "$work" <<'PY'
import csv, statistics, sys
work = sys.argv[1]
loads = dict(line.split() for line in open(f"{work}/loads"))
not_training = ("val_", "save", "charts")
compute = ("forward", "loss_", "assigner", "backward", "optimizer", "ema")
base = None
for name in ("single", "single_1thread", "ddp", "ddp_flat"):
    rows = list(csv.reader(open(f"{work}/runs/{name}/profile.csv")))
    head, body = rows[0], [list(map(float, r)) for r in rows[1:]]
    rest = body[1:] or body  # the first epoch warms up
    def median(pred):
        return statistics.median(sum(r[i] for i, h in enumerate(head) if i > 2 and pred(h)) for r in rest)
    train = median(lambda h: not h.startswith(not_training))
    comp = median(lambda h: h.startswith(compute))
    ar = median(lambda h: h == "allreduce")
    data = median(lambda h: h == "data")
    batches = int(rest[0][1])
    if base is None:
        base = train
    print(f"{name:14s} epoch {train:6.2f} s ({batches} batches/rank, load {loads[name]}), "
          f"x{base / train:4.2f} of one process; rank 0: compute {comp:5.2f} s, "
          f"all-reduce+wait {ar:5.2f} s ({1000 * ar / batches:5.1f} ms/batch), data {data:4.2f} s, "
          f"compute/batch {1000 * comp / batches:5.1f} ms")
PY
"$build/bin/allreduce_bench" 10

#!/usr/bin/env bash
# Whole training runs of `orvane train` on the shapes set, detection and segmentation, timed and
# profiled (profile=true), beside the reference engine's figures measured on this kind of machine
# (the Python YOLO library, 2 threads, plots off; it cannot be installed here, so its figures are
# constants). Prints per run: wall seconds, training iterations per second, and the median stage
# profile of an epoch; then the medians over the rounds and the ratios to the reference.
# usage: bench/engine/train_run.sh BUILD_DIR [rounds=3] [tasks="detect segment"] [extra train args]
# The set: make_shapes_dataset.py --ntrain 200 --nval 40 --size 96 --seed 1; the runs: yolov8n /
# yolov8n-seg from scratch, 20 epochs, imgsz 96, batch 8, workers 2, seed 0, 2 threads.
# The machine is shared: the script prints the load average beside every run. SHAPES_TOOL names
# make_shapes_dataset.py when it is not in ../shared/tools beside the repository.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:?build dir}"
rounds="${2:-3}"
tasks="${3:-detect segment}"
shift $(($# < 3 ? $# : 3))
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tool="${SHAPES_TOOL:-$here/../../../shared/tools/make_shapes_dataset.py}"
/usr/bin/python3 "$tool" --out "$work/data" --ntrain 200 --nval 40 --size 96 --seed 1 > /dev/null
for round in $(seq "$rounds"); do
  for task in $tasks; do
    if [ "$task" = segment ]; then model=yolov8n-seg.yaml; set_=shapes-seg; else model=yolov8n.yaml; set_=shapes-det; fi
    load=$(cut -d' ' -f1 /proc/loadavg)
    start=$(date +%s.%N)
    "$build/bin/orvane" train model="$model" data="$work/data/$set_/data.yaml" epochs=20 imgsz=96 \
      batch=8 workers=2 seed=0 threads=2 project="$work/runs" name="$task$round" profile=true "$@" \
      > "$work/$task$round.log" 2>&1
    end=$(date +%s.%N)
    echo "$task $round $(awk -v a="$start" -v b="$end" 'BEGIN{printf "%.1f", b-a}') $load" >> "$work/walls"
    cp "$work/runs/$task$round/profile.csv" "$work/$task$round.profile.csv"
    grep -A1 " Class " "$work/$task$round.log" | tail -1 | awk '{$1=$1; print}' > "$work/$task$round.val"
  done
done
/usr/bin/python3 - "$work" "$rounds" "$tasks" <<'EOF'
import csv, statistics, sys
work, rounds, tasks = sys.argv[1], int(sys.argv[2]), sys.argv[3].split()
# The reference engine on the same set and machine type: whole run seconds, training it/s.
reference = {"detect": (55.0, 15.0), "segment": (93.3, 7.5)}
validation = ("val_", "save", "charts", "other")
walls = {}
for line in open(f"{work}/walls"):
    task, rnd, wall, load = line.split()
    walls[(task, int(rnd))] = (float(wall), load)
for task in tasks:
    runs, its, profiles = [], [], []
    for r in range(1, rounds + 1):
        rows = list(csv.reader(open(f"{work}/{task}{r}.profile.csv")))
        head, body = rows[0], [list(map(float, x)) for x in rows[1:]]
        train_cols = [i for i, h in enumerate(head) if i > 2 and not h.startswith(validation)]
        # The first epoch draws the batch pictures and warms up; the rest are alike.
        rest = body[1:] or body
        it = statistics.median(row[1] / sum(row[i] for i in train_cols) for row in rest)
        wall, load = walls[(task, r)]
        runs.append(wall); its.append(it)
        val = open(f"{work}/{task}{r}.val").read().split()
        print(f"{task} run {r}: {wall:.1f} s, {it:.2f} it/s (load {load}); all-row: {' '.join(val[3:])}")
        profiles.append({h: statistics.median(row[i] for row in rest) for i, h in enumerate(head) if i > 2})
    ref_wall, ref_it = reference[task]
    wall, it = statistics.median(runs), statistics.median(its)
    print(f"{task}: whole run {wall:.1f} s (reference {ref_wall} s, ours/reference {wall / ref_wall:.2f}); "
          f"iterations {it:.2f} it/s (reference ~{ref_it}, time ours/reference {ref_it / it:.2f})")
    stages = {h: statistics.median(p.get(h, 0.0) for p in profiles) for h in profiles[0]}
    total = sum(stages.values())
    print(f"  median epoch profile ({total:.2f} s):")
    for h, v in sorted(stages.items(), key=lambda kv: -kv[1]):
        if v > 0.001:
            print(f"    {h:18s} {v:7.3f} s {100 * v / total:5.1f} %")
EOF

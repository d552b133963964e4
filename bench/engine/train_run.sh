#!/usr/bin/env bash
# Whole training runs of `orvane train` on the shapes set, detection and segmentation, timed and
# profiled (profile=true), beside the reference engine's figures measured on this kind of machine
# (the Python YOLO library on Debian's python3-torch, the same LibTorch, oneDNN and BLAS that we
# link; 2 threads, workers=2; it cannot be installed here, so its figures are constants). Prints
# per run: wall seconds, training iterations per second, epoch 3's forward+backward against epoch
# 1's (a helper thread that fans out slows every epoch after the first validation), and the final
# validation; then the medians over the rounds, the ratios to the reference and the median stage
# profile of a late epoch beside epoch 1's.
# usage: bench/engine/train_run.sh BUILD_DIR [rounds=3] [tasks="detect segment"] [extra train args]
#        bench/engine/train_run.sh BUILD_DIR quick [seeds="1 2 3"] [extra train args]
# The quick mode is a release check rather than a timing: one run of each task on the sets of
# several generator seeds (a fault that shows on one set only, such as a sample the loader
# cannot prepare, is seen before a release); it prints each run's wall time, exit status and
# final validation and fails when any run fails.
# The set: make_shapes_dataset.py --ntrain 200 --nval 40 --size 96 --seed 1; the runs: yolov8n /
# yolov8n-seg from scratch, 20 epochs, imgsz 96, batch 8, workers 2, seed 0, 2 threads.
# The machine is shared: the script prints the load average beside every run. SHAPES_TOOL names
# make_shapes_dataset.py when it is not in ../shared/tools beside the repository.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:?build dir}"
if [ "${2:-}" = quick ]; then
  seeds="${3:-1 2 3}"
  shift $(($# < 3 ? $# : 3))
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  tool="${SHAPES_TOOL:-$here/../../../shared/tools/make_shapes_dataset.py}"
  failed=0
  for seed in $seeds; do
    /usr/bin/python3 "$tool" --out "$work/data$seed" --ntrain 200 --nval 40 --size 96 \
      --seed "$seed" > /dev/null
    for task in detect segment; do
      if [ "$task" = segment ]; then model=yolov8n-seg.yaml; set_=shapes-seg; else model=yolov8n.yaml; set_=shapes-det; fi
      start=$(date +%s.%N)
      status=0
      "$build/bin/orvane" train model="$model" data="$work/data$seed/$set_/data.yaml" epochs=20 \
        imgsz=96 batch=8 workers=2 seed=0 threads=2 project="$work/runs" name="$task$seed" "$@" \
        > "$work/$task$seed.log" 2>&1 || status=$?
      wall=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN{printf "%.1f", b-a}')
      if [ "$status" -ne 0 ]; then
        failed=1
        echo "seed $seed $task: FAILED (exit $status) after $wall s: $(tail -1 "$work/$task$seed.log")"
      else
        echo "seed $seed $task: $wall s; all-row: $(grep -A1 " Class " "$work/$task$seed.log" | tail -1 | awk '{$1=$1; print}')"
      fi
    done
  done
  exit "$failed"
fi
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
# The reference engine on the same set and machine type, measured beside ours: whole run seconds,
# training it/s (middle of its range), box mAP50-95, mask mAP50-95.
reference = {"detect": (28.7, 22.85, 0.513, None), "segment": (52.4, 12.0, 0.637, 0.431)}
validation = ("val_", "save", "charts", "other")
walls = {}
for line in open(f"{work}/walls"):
    task, rnd, wall, load = line.split()
    walls[(task, int(rnd))] = (float(wall), load)
for task in tasks:
    runs, its, profiles, firsts = [], [], [], []
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
        firsts.append({h: body[0][i] for i, h in enumerate(head) if i > 2})
        if len(body) >= 3:
            fb = lambda row: sum(row[i] for i, h in enumerate(head) if h in ("forward", "backward"))
            print(f"  forward+backward: epoch 3 {fb(body[2]):.2f} s, epoch 1 {fb(body[0]):.2f} s "
                  f"(ratio {fb(body[2]) / fb(body[0]):.2f})")
    ref_wall, ref_it, ref_box, ref_mask = reference[task]
    wall, it = statistics.median(runs), statistics.median(its)
    print(f"{task}: whole run {wall:.1f} s (reference {ref_wall} s, ours/reference {wall / ref_wall:.2f}); "
          f"iterations {it:.2f} it/s (reference ~{ref_it}, ours/reference {it / ref_it:.2f}x)")
    print(f"  reference quality: box mAP50-95 {ref_box}" + (f", mask {ref_mask}" if ref_mask else ""))
    stages = {h: statistics.median(p.get(h, 0.0) for p in profiles) for h in profiles[0]}
    first = {h: statistics.median(p.get(h, 0.0) for p in firsts) for h in firsts[0]}
    total, total1 = sum(stages.values()), sum(first.values())
    print(f"  median late-epoch profile ({total:.2f} s) beside epoch 1 ({total1:.2f} s):")
    for h, v in sorted(stages.items(), key=lambda kv: -kv[1]):
        if v > 0.001 or first.get(h, 0) > 0.001:
            print(f"    {h:18s} {v:7.3f} s {100 * v / total:5.1f} %   epoch 1 {first.get(h, 0.0):7.3f} s")
EOF

#!/usr/bin/env bash
# What carrying YOLO labels adds to a split: times `orvane split ... labels=true` against the
# pixel-only split of the same folder with the same grid and overlap, and prints the ratio (the
# label work should add well under 10 %). Not a test and not run by CI.
#
#   bench/splitter/bench_split_labels.sh DATASET_SPLIT_DIR [ORVANE] [ROWS] [COLS] [OVERLAP] [RUNS]
#
# DATASET_SPLIT_DIR: a YOLO split folder with images/ and labels/ (for example a dataset's
# train/); its images and label files are staged side by side, as the splitter reads them.
# ORVANE: the orvane executable (default build/bin/orvane). Grid 3 x 3 with 20 % overlap by
# default; RUNS repetitions, taken in turn (plain, labelled, plain, ...), the median of each kept.
set -euo pipefail

split_dir="${1:?usage: bench_split_labels.sh DATASET_SPLIT_DIR [ORVANE] [ROWS] [COLS] [OVERLAP] [RUNS]}"
root="$(cd "$(dirname "$0")/../.." && pwd)"
orvane="${2:-$root/build/bin/orvane}"
rows="${3:-3}"
cols="${4:-3}"
overlap="${5:-20}"
runs="${6:-5}"
[ -x "$orvane" ] || { echo "orvane not found at $orvane (build it first)" >&2; exit 1; }
[ -d "$split_dir/images" ] && [ -d "$split_dir/labels" ] ||
  { echo "$split_dir needs images/ and labels/" >&2; exit 1; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/in"
cp "$split_dir"/images/* "$work/in/"
cp "$split_dir"/labels/*.txt "$work/in/"
images=$(find "$work/in" -maxdepth 1 -type f ! -name '*.txt' | wc -l)

now() { date +%s.%N; }
split_once() {  # $1: labels true|false; prints the wall seconds
  rm -rf "$work/out"
  local t0 t1
  t0=$(now)
  "$orvane" split source="$work/in" output="$work/out" parts=$((rows * cols)) rows="$rows" \
    cols="$cols" overlap="$overlap" labels="$1" >/dev/null 2>&1
  t1=$(now)
  awk "BEGIN { printf \"%.3f\n\", $t1 - $t0 }"
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

plain=()
labelled=()
split_once false >/dev/null  # warm the page cache
for _ in $(seq "$runs"); do
  plain+=("$(split_once false)")
  labelled+=("$(split_once true)")
done
label_files=$(find "$work/out" -name '*.txt' ! -name classes.txt | wc -l)
p=$(printf '%s\n' "${plain[@]}" | median)
l=$(printf '%s\n' "${labelled[@]}" | median)
printf '%d images, grid %dx%d, overlap %s %%, %d label files; median of %d runs\n' \
  "$images" "$rows" "$cols" "$overlap" "$label_files" "$runs"
printf 'pixels only %8.3f s\nwith labels %8.3f s\nratio       %8.3f\n' "$p" "$l" \
  "$(awk "BEGIN { printf \"%.3f\", $l / $p }")"

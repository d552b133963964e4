#!/usr/bin/env bash
# Times `orvane split` against ImageMagick's `convert -crop` cutting the same photos into the same
# grid, and prints the ratio (below 1 means orvane is faster). Not a test and not run by CI.
#
#   bench/splitter/bench_split.sh PHOTOS_DIR [ORVANE] [ROWS] [COLS] [RUNS]
#
# PHOTOS_DIR: a folder of .jpg .jpeg .png .bmp .webp images (only its top level is used).
# ORVANE: the orvane executable (default build/bin/orvane). ROWS x COLS: the grid (default 2 x 2).
# RUNS: repetitions; the best time of each tool is compared (default 3).
#
# Both tools decode every image, cut it into ROWS x COLS tiles and encode each tile in the source's
# format, one output folder each. ImageMagick runs once per image (as a script over a folder
# would); EXIF orientation is applied by both (-auto-orient) and JPEG quality is 95 for both, the
# OpenCV default. Other encoder defaults differ (PNG compression level, WEBP lossless in OpenCV),
# so the ratio is the cost of the whole job as each tool does it by default; it is printed per
# format and for the whole folder.
set -euo pipefail

photos="${1:?usage: bench_split.sh PHOTOS_DIR [ORVANE] [ROWS] [COLS] [RUNS]}"
root="$(cd "$(dirname "$0")/../.." && pwd)"
orvane="${2:-$root/build/bin/orvane}"
rows="${3:-2}"
cols="${4:-2}"
runs="${5:-3}"
convert_bin="${CONVERT:-convert}"
command -v "$convert_bin" >/dev/null || { echo "ImageMagick convert not found" >&2; exit 1; }
[ -x "$orvane" ] || { echo "orvane not found at $orvane (build it first)" >&2; exit 1; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.3f\", $1 }"; }

# Copies the folder's images of one format that ImageMagick can read into $work/in.
stage() {
  rm -rf "$work/in" && mkdir -p "$work/in"
  shopt -s nullglob nocaseglob
  local f
  for ext in "$@"; do
    for f in "$photos"/*."$ext"; do
      if "$convert_bin" "$f[0]" -ping info: >/dev/null 2>&1; then cp "$f" "$work/in/"; fi
    done
  done
  shopt -u nocaseglob nullglob
  find "$work/in" -maxdepth 1 -type f | wc -l
}

megapixels() {
  local f
  for f in "$work/in"/*; do "$convert_bin" "$f[0]" -format '%w %h\n' info: 2>/dev/null; done |
    awk '{ s += $1 * $2 } END { printf "%.1f", s / 1e6 }'
}

run_orvane() {
  rm -rf "$work/out_orvane"
  "$orvane" split source="$work/in" output="$work/out_orvane" parts=$((rows * cols)) rows="$rows" \
    cols="$cols" subfolders=true >/dev/null 2>&1
}

run_convert() {
  rm -rf "$work/out_im" && mkdir -p "$work/out_im"
  local f name
  for f in "$work/in"/*; do
    name="$(basename "$f")"
    "$convert_bin" "$f" -auto-orient -quality 95 -crop "${cols}x${rows}@" +repage \
      "$work/out_im/${name%.*}_part_%d.${name##*.}" 2>/dev/null
  done
}

best() {  # best wall time of $runs runs of the function named $1
  local best_time="" t0 t1 t
  for _ in $(seq "$runs"); do
    t0=$(now); "$1"; t1=$(now)
    t=$(calc "$t1 - $t0")
    if [ -z "$best_time" ] || [ "$(calc "$t < $best_time")" = "1.000" ]; then best_time=$t; fi
  done
  echo "$best_time"
}

printf 'grid %dx%d, best of %d runs; ratio = orvane / convert (below 1: orvane faster)\n' \
  "$rows" "$cols" "$runs"
printf '%-6s %7s %8s %12s %12s %7s\n' format images MP orvane_s convert_s ratio
total_o=0
total_c=0
for group in "jpg jpeg" "png" "bmp" "webp" "jpg jpeg png bmp webp"; do
  n=$(stage $group)
  [ "$n" -gt 0 ] || continue
  label=${group%% *}
  [ "$group" = "jpg jpeg png bmp webp" ] && label=all
  mp=$(megapixels)
  t_o=$(best run_orvane)
  t_c=$(best run_convert)
  tiles_o=$(find "$work/out_orvane" -type f | wc -l)
  tiles_c=$(find "$work/out_im" -type f | wc -l)
  [ "$tiles_o" = "$tiles_c" ] || echo "note: $label tiles differ: orvane $tiles_o, convert $tiles_c" >&2
  printf '%-6s %7d %8s %12s %12s %7s\n' "$label" "$n" "$mp" "$t_o" "$t_c" "$(calc "$t_o / $t_c")"
done

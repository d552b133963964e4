#!/usr/bin/env bash
# Times `orvane resize` against ImageMagick's `convert` doing the same work on the same photos, and
# prints the ratio (below 1 means orvane is faster). Not a test and not run by CI.
#
#   bench/resizer/bench_resize.sh PHOTOS_DIR [ORVANE] [RUNS]
#
# PHOTOS_DIR: a folder of .jpg .jpeg .png .bmp .webp images (only its top level is used; files
# ImageMagick cannot read are left out). ORVANE: the orvane executable (default build/bin/orvane).
# RUNS: repetitions; the best time of each tool is compared (default 3).
#
# Two jobs, each over every photo, every output a JPEG 10 cm wide at 300 DPI (1181 px, aspect
# kept, EXIF orientation applied, the resolution recorded in the file):
#   print:  quality 95 (orvane's default without a budget; -quality 95 for ImageMagick);
#   budget: at most 200 KB per file (orvane's quality search; -define jpeg:extent=200KB).
# Both resample with Lanczos (ImageMagick: -filter Lanczos -resize). ImageMagick runs once per
# image, as a script over a folder would, with its own OpenMP threads; orvane runs once for the
# folder with one worker per core.
set -euo pipefail

photos="${1:?usage: bench_resize.sh PHOTOS_DIR [ORVANE] [RUNS]}"
root="$(cd "$(dirname "$0")/../.." && pwd)"
orvane="${2:-$root/build/bin/orvane}"
runs="${3:-3}"
convert_bin="${CONVERT:-convert}"
command -v "$convert_bin" >/dev/null || { echo "ImageMagick convert not found" >&2; exit 1; }
[ -x "$orvane" ] || { echo "orvane not found at $orvane (build it first)" >&2; exit 1; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/in"
shopt -s nullglob nocaseglob
for f in "$photos"/*.{jpg,jpeg,png,bmp,webp}; do
  if "$convert_bin" "$f[0]" -ping info: >/dev/null 2>&1 &&
     "$convert_bin" "$f[0]" -resize 8x8 null: >/dev/null 2>&1; then
    cp "$f" "$work/in/"
  fi
done
shopt -u nocaseglob nullglob
count=$(find "$work/in" -maxdepth 1 -type f | wc -l)
[ "$count" -gt 0 ] || { echo "no readable images in $photos" >&2; exit 1; }
mp=$(for f in "$work/in"/*; do "$convert_bin" "$f[0]" -format '%w %h\n' info: 2>/dev/null; done |
  awk '{ s += $1 * $2 } END { printf "%.1f", s / 1e6 }')

now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.3f\", $1 }"; }

run_orvane() {  # $1 = print | budget
  rm -rf "$work/out_orvane"
  local budget=false
  [ "$1" = budget ] && budget=true
  "$orvane" resize source="$work/in" output="$work/out_orvane" width=10 unit=cm dpi=300 \
    format=jpeg budget="$budget" budget_kb=200 >/dev/null 2>&1
}

run_magick() {  # $1 = print | budget
  rm -rf "$work/out_magick" && mkdir -p "$work/out_magick"
  local quality=(-quality 95)
  [ "$1" = budget ] && quality=(-define jpeg:extent=200KB)
  local f name
  for f in "$work/in"/*; do
    name="$(basename "${f%.*}")"
    "$convert_bin" "$f[0]" -auto-orient -filter Lanczos -resize 1181x -units PixelsPerInch \
      -density 300 "${quality[@]}" "$work/out_magick/${name}_scaled.jpg" 2>/dev/null
  done
}

best_time() {  # $1 = function, $2 = job
  local best="" t0 t1 dt
  for _ in $(seq "$runs"); do
    t0=$(now); "$1" "$2"; t1=$(now)
    dt=$(calc "$t1 - $t0")
    if [ -z "$best" ] || awk "BEGIN { exit !($dt < $best) }"; then best=$dt; fi
  done
  echo "$best"
}

echo "photos: $count files, $mp megapixels, from $photos; best of $runs runs"
for job in print budget; do
  t_orvane=$(best_time run_orvane "$job")
  out_orvane=$(find "$work/out_orvane" -type f | wc -l)
  kb_orvane=$(du -sk "$work/out_orvane" | cut -f1)
  t_magick=$(best_time run_magick "$job")
  out_magick=$(find "$work/out_magick" -type f | wc -l)
  kb_magick=$(du -sk "$work/out_magick" | cut -f1)
  printf '%-7s orvane %7.2f s (%d files, %d KB)   ImageMagick %7.2f s (%d files, %d KB)   ratio orvane/ImageMagick %.3f\n' \
    "$job" "$t_orvane" "$out_orvane" "$kb_orvane" "$t_magick" "$out_magick" "$kb_magick" \
    "$(calc "$t_orvane / $t_magick")"
done

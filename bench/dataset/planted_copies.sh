#!/usr/bin/env bash
# planted_copies.sh DATASET_DIR WORK_DIR [ORVANE]
#
# Copies a split dataset (a data.yaml with train and val folders) to WORK_DIR, checks the
# originals for pairs first, then plants 20 copies across the splits (train images into val and
# val images into train: 5 re-encoded at JPEG quality 70, 5 halved, 5 cropped by 2 % on every side,
# 5 brightened by +10) and checks again. Prints how many planted copies were found, the pairs
# among the originals, and the hashing time (cold and from the cache). ImageMagick makes the copies.
set -euo pipefail
src=$1 work=$2 orvane=${3:-orvane}
rm -rf "$work" && mkdir -p "$work" && cp -r "$src"/. "$work"/
yaml="$work/data.yaml"
export XDG_CACHE_HOME="$work/.cache"
train=$(sed -n 's/^train: *//p' "$yaml" | tr -d "'\"") val=$(sed -n 's/^val: *//p' "$yaml" | tr -d "'\"")
train="$work/${train#./}" val="$work/${val#./}"

echo "== originals"
"$orvane" dataset duplicates data="$yaml" > "$work/originals.txt" 2> "$work/originals.err"
tail -1 "$work/originals.err"
echo "pairs among the originals: $(wc -l < "$work/originals.txt")"

mapfile -t train_images < <(ls "$train" | sort | head -10)
mapfile -t val_images < <(ls "$val" | sort | head -10)
plant() {  # plant FROM_DIR NAME TO_DIR INDEX
  local from=$1/$2 to=$3 i=$4 base=${2%.*}
  case $((i % 4)) in
    0) convert "$from" -quality 70 "$to/planted_q70_$base.jpg" ;;
    1) convert "$from" -resize 50% "$to/planted_half_$base.png" ;;
    2) convert "$from" -gravity center -crop 96%x96%+0+0 +repage "$to/planted_crop_$base.jpg" ;;
    3) convert "$from" -evaluate add 3.92% "$to/planted_bright_$base.jpg" ;;
  esac
}
for i in $(seq 0 9); do plant "$train" "${train_images[$i]}" "$val" "$i"; done
for i in $(seq 0 9); do plant "$val" "${val_images[$i]}" "$train" "$i"; done

echo "== with 20 planted copies (cold: the new files are hashed)"
"$orvane" dataset duplicates data="$yaml" > "$work/planted.txt" 2> "$work/planted.err"
tail -1 "$work/planted.err"
found=$(grep -c planted_ "$work/planted.txt" || true)
echo "pairs naming a planted copy: $found of 20"
echo "planted copies missed:"
for f in "$train"/planted_* "$val"/planted_*; do grep -qF "$f" "$work/planted.txt" || echo "  $f"; done
echo "pairs without a planted copy: $(grep -vc planted_ "$work/planted.txt" || true)"
rm -rf "$XDG_CACHE_HOME"
echo "== cold, every file"
"$orvane" dataset duplicates data="$yaml" 2>&1 >/dev/null | tail -1
echo "== warm, from the cache"
"$orvane" dataset duplicates data="$yaml" 2>&1 >/dev/null | tail -1

#!/usr/bin/env bash
# Makes the README's pictures: builds the studio and its picture tour if needed, then starts the
# real window on a virtual display (Xvfb) at a fixed size in the dark theme, drives every tab with
# data the tour draws itself, trains a tiny model, and writes one PNG per tab into docs/images/.
# Re-running gives the same pictures. Needs no network and no data outside the repository.
#
#   ./scripts/screenshots.sh            (ORVANE_BUILD_DIR picks another build folder)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${ORVANE_BUILD_DIR:-$root/build}"
jobs="${ORVANE_JOBS:-$(nproc)}"

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
# The tour trains through the studio's own child process, so `orvane` must be built beside it.
cmake --build "$build" -j "$jobs" --target studio-tour orvane

if ! command -v xvfb-run >/dev/null 2>&1; then
  echo "screenshots: xvfb-run is missing; ./scripts/install-deps.sh installs it" >&2
  exit 1
fi

work="$build/screenshots-work"
out="$root/docs/images"
mkdir -p "$out"
# One screen of a fixed size and depth, so every run lays the window out the same way. Qt's own
# scale factors are pinned for the same reason.
env -u QT_SCALE_FACTOR -u QT_SCREEN_SCALE_FACTORS QT_QPA_PLATFORM=xcb QT_AUTO_SCREEN_SCALE_FACTOR=0 \
  xvfb-run -a -s "-screen 0 1400x900x24 -dpi 96" \
  "$build/bin/studio-tour" "$work" "$out" "$root/tests/data/weights/yolov8n-shapes.pt"

# The Video section's picture: the annotator after propagating a frame's boxes along a drawn video
# (the video tour's other steps are written beside it in the work folder, for looking at).
env -u QT_SCALE_FACTOR -u QT_SCREEN_SCALE_FACTORS QT_QPA_PLATFORM=xcb QT_AUTO_SCREEN_SCALE_FACTOR=0 \
  xvfb-run -a -s "-screen 0 1400x900x24 -dpi 96" \
  "$build/bin/studio-tour" video "$work-video" "$work-video-shots" "$root/tests/data/weights/yolov8n-shapes.pt"
cp "$work-video-shots/video.png" "$out/video.png"

# A page with a large photo on it can pass the README's 200 KB per picture; those are reduced to
# 256 colours without dithering (ImageMagick picks the palette from the picture itself, so panels
# and text keep their colours; no date chunks, so the file is the same on every run).
for png in "$out"/*.png; do
  if [ "$(stat -c %s "$png")" -gt 204800 ]; then
    convert "$png" -strip +dither -colors 256 -define png:compression-level=9 \
      -define png:exclude-chunks=date,time "PNG8:$png.tmp"
    mv "$png.tmp" "$png"
  fi
done

echo "screenshots: pictures in $out:"
ls -l "$out"/*.png

#!/bin/sh
# Grabs the window's form from a virtual X screen into docs/form.png.
#   scripts/screenshot-form.sh [build dir] [output png] [page index]
# Builds the form_shot target in the build dir (default: build) if needed, runs it under xvfb-run
# (packages xvfb and xauth) on a 96 dpi screen, so the fonts are sized as on a usual desktop.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build"}
out=${2:-"$root/docs/form.png"}
page=${3:-}

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DPELMORA_BUILD_BENCH=OFF
fi
cmake --build "$build" --target form_shot -j2

mkdir -p "$(dirname "$out")"
# The platform theme of a desktop session would change the look; the grab shows the plain form.
# In a sanitizer build, Qt's platform allocations kept until exit are no concern of a screen grab.
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0} env -u QT_QPA_PLATFORM -u QT_QPA_PLATFORMTHEME -u QT_STYLE_OVERRIDE QT_SCALE_FACTOR=1 \
  xvfb-run --auto-servernum --server-args="-screen 0 800x600x24 -dpi 96" \
  "$build/tools/gen/shots/form_shot" "$out" $page

#!/usr/bin/env bash
# Saves a PNG of every window of the monitor as a technician's session leaves it: the end-to-end
# session test walks it with real X clicks and typing (xdotool) under Xvfb against the virtual
# device, and saves each window's picture after the clicks, for a person to look at.
#
#   scripts/screenshots.sh [BUILD_DIR] [OUT_DIR]     (defaults: build/dev, BUILD_DIR/screenshots)
#   QT_SCALE_FACTOR=1.5 scripts/screenshots.sh ...   (the windows at 144 DPI)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$root" && realpath -m "${1:-build/dev}")
out=$(realpath -m "${2:-$build/screenshots}")
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
fi
cmake --build "$build" --target technician_session_e2e norvix-sim norvixosp.exe

mkdir -p "$out"
xvfb-run -a -s "-screen 0 1600x1200x24" \
  env NVX_SESSION_PICTURES="$out" QT_QPA_PLATFORM=xcb "$build/tests/app/technician_session_e2e"
ls "$out"/*.png

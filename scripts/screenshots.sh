#!/usr/bin/env bash
# Saves a PNG of every window of the monitor, drawn under Xvfb with COM 1 open on a virtual
# device, for a person to look at.
#
#   scripts/screenshots.sh [BUILD_DIR] [OUT_DIR]     (defaults: build/dev, BUILD_DIR/screenshots)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$root" && realpath -m "${1:-build/dev}")
out=$(realpath -m "${2:-$build/screenshots}")
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
fi
cmake --build "$build" --target norvix-monitor-screenshots norvix-sim norvixosp.exe

work=$(mktemp -d)
sim=
cleanup() {
  if [ -n "$sim" ] && kill -0 "$sim" 2>/dev/null; then
    kill -TERM "$sim"
    wait "$sim" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
# The start directory as a user has it: programmer adapter and part descriptions.
cp "$build/src/progtool/norvixosp.exe" "$root"/devices/*.xml "$work/"
"$build/src/sim/norvix-sim" --device solreg --link "$work/com1" >"$work/sim.log" 2>&1 &
sim=$!
for _ in $(seq 100); do [ -L "$work/com1" ] && break; sleep 0.05; done
[ -L "$work/com1" ] || { cat "$work/sim.log" >&2; echo "screenshots: no virtual device" >&2; exit 1; }

mkdir -p "$out"
cd "$work"
xvfb-run -a -s "-screen 0 1280x1024x24" \
  "$build/src/app/norvix-monitor-screenshots" "$out" "$root/tests/fixtures/eeprom/small_image.hex" /C 1

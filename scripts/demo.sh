#!/usr/bin/env bash
# Installs what is missing, builds the release preset, prepares a work directory and starts the
# monitor there on a virtual device linked as COM 1, so "Open COM" talks to it at once.
#
#   scripts/demo.sh [monitor switches...]      e.g. scripts/demo.sh /T
#   scripts/demo.sh --avr [monitor switches...]
#
# --avr: the simulated chip instead (norvix-avrsim: our firmware and bootloader on an ATmega
# run by simavr), as an operating panel with a blue display; its flash and EEPROM stay in the
# work directory between runs, and the work directory holds an update build to program.
# NVX_WORK_DIR: the work directory (default ./work in the checkout).
# NVX_DEMO_DEVICE: the virtual device's type by its stem (default solreg; norvix-sim --list).
# NVX_DEMO_CHIP: with --avr, atmega644p (default) or atmega1284p.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

avr=0
if [ "${1:-}" = "--avr" ]; then
  avr=1
  shift
fi

scripts/setup.sh
cmake --preset release >/dev/null
# Only the programs the demo runs: a newcomer waits for them, not for the tests.
targets=(norvix-monitor norvix-sim norvixosp.exe nvx)
if [ "$avr" = 1 ]; then targets+=(norvix-avrsim avr_images); fi
cmake --build --preset release --target "${targets[@]}"

build=$root/build/release
work=${NVX_WORK_DIR:-$root/work}
device=${NVX_DEMO_DEVICE:-solreg}

# The start directory holds the settings file, the read-me, the programmer adapter and the part
# descriptions it reads.
mkdir -p "$work"
cp -f "$build/ReadMe.txt" "$work/ReadMe.txt"
cp -f devices/*.xml "$work/"
if [ -x "$build/src/progtool/norvixosp.exe" ]; then
  cp -f "$build/src/progtool/norvixosp.exe" "$work/"
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display (\$DISPLAY and \$WAYLAND_DISPLAY are empty), so the monitor's windows cannot open;" \
       "use the headless commands instead: $build/src/cli/nvx ports|kernel|texts|update|eeprom|report|convert" \
       "(nvx COMMAND --help), with a virtual device from $build/src/sim/norvix-sim --link $work/com1" \
       "or the simulated chip from $build/avr/norvix-avrsim (docs/virtual-device.md)."
  exit 0
fi

# A link left behind by an earlier run that did not end cleanly points nowhere.
if [ -L "$work/com1" ]; then rm -f "$work/com1"; fi
if [ "$avr" = 1 ]; then
  chip=${NVX_DEMO_CHIP:-atmega644p}
  case "$chip" in
    atmega644p) device=solgrabed64 boot_start=0xF000 ;;
    atmega1284p) device=solgrabed128 boot_start=0x1F000 ;;
    *) echo "demo: NVX_DEMO_CHIP is atmega644p or atmega1284p, not $chip" >&2; exit 2 ;;
  esac
  images=$build/avr
  cp -f "$images/firmware-$chip-26-11.hex" "$work/SolGrb_$chip-26-11.hex"
  "$build/avr/norvix-avrsim" --mcu "$chip" --boot-start "$boot_start" \
    --flash "$work/$chip-flash.bin" --eeprom "$work/$chip-eeprom.bin" --link "$work/com1" \
    --image "$images/bootloader-$chip.hex" --image "$images/firmware-$chip-26-10.hex" \
    >"$work/norvix-avrsim.log" 2>&1 &
  set -- /D "$device" "$@"
else
  "$build/src/sim/norvix-sim" --device "$device" --link "$work/com1" >"$work/norvix-sim.log" 2>&1 &
fi
sim=$!
stop_sim() {
  if kill -0 "$sim" 2>/dev/null; then
    kill -TERM "$sim" 2>/dev/null || true
    wait "$sim" 2>/dev/null || true
  fi
}
trap stop_sim EXIT INT TERM

for _ in $(seq 100); do
  [ -L "$work/com1" ] && break
  if ! kill -0 "$sim" 2>/dev/null; then
    echo "demo: the virtual device did not start; see $work/norvix-*sim.log" >&2
    exit 1
  fi
  sleep 0.05
done
[ -L "$work/com1" ] || { echo "demo: the virtual device made no link $work/com1" >&2; exit 1; }

echo "Virtual $device device on COM 1 ($(readlink "$work/com1")); work directory $work"
cd "$work"
status=0
"$build/src/app/norvix-monitor" /C 1 "$@" || status=$?
exit "$status"

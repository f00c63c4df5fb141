#!/usr/bin/env bash
# Wall time of a 64 KB firmware update of the virtual device by `nvx update --wait 1` against the
# least it can take: the procedure's fixed waits (5 x StepWait on the 10 ms tick) plus avrdude
# alone writing the same image to the same device, waiting in its bootloader; and avrdude alone
# against the least the device allows: the image's bytes on the line, written and read back (10
# bits a byte), and the chip's times (each page erased and written). Each side runs REPETITIONS
# times; the ratios are taken from the medians. The device keeps a real wire's time unless
# SIM_OPTIONS says --instant.
#   bench/update_vs_avrdude.sh [BUILD_DIR] [REPETITIONS]
# BUILD_DIR needs the targets nvx, norvix-sim and norvixosp.exe.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
build=$(realpath "${1:-build/release}")
reps=${2:-3}
device=solgrabed128     # catalogue row: bootloader at 38400 baud, automatic start
chip=atmega1284p        # 64 KB fit its application area (an ATmega644P keeps 8 KB of 64 for its boot section)
file=SolGrb_fw.hex      # begins with the device key
image_bytes=65536
step_wait_ms=1000       # --wait 1: StepWait = 100 ticks of 10 ms
fixed_waits=5           # boot port open, port mode, run programmer, boot exit, port reopen

nvx=$build/src/cli/nvx
sim=$build/src/sim/norvix-sim
adapter=$build/src/progtool/norvixosp.exe
for exe in "$nvx" "$sim" "$adapter"; do
  [ -x "$exe" ] || { echo "no $exe: build nvx, norvix-sim and norvixosp.exe in $build" >&2; exit 1; }
done
command -v avrdude >/dev/null || { echo "avrdude not found" >&2; exit 1; }
part=$(sed -n 's:.*<avrdudePart>\(.*\)</avrdudePart>.*:\1:p' "devices/$chip.xml")
baud=38400
page_bytes=$(sed -n 's:.*<flashPageSize>\(.*\)</flashPageSize>.*:\1:p' "devices/$chip.xml")
page_erase_us=$(sed -n 's:.*<pageEraseUs>\(.*\)</pageEraseUs>.*:\1:p' "devices/$chip.xml")
page_write_us=$(sed -n 's:.*<pageWriteUs>\(.*\)</pageWriteUs>.*:\1:p' "devices/$chip.xml")
flash_bytes=$(sed -n 's:.*<flashSize>\(.*\)</flashSize>.*:\1:p' "devices/$chip.xml")
read -r -a sim_options <<<"${SIM_OPTIONS:-}"

work=$(mktemp -d /tmp/nvx_update_bench.XXXXXX)
sim_pid=
cleanup() {
  set +e  # a killed child makes wait fail; the rest must still run
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# The start directory as the monitor's work directory holds it.
ln -s "$adapter" "$work/norvixosp.exe"
cp devices/*.xml "$work/"
python3 - "$work/$file" "$image_bytes" <<'PY'
import random, sys
path, size = sys.argv[1], int(sys.argv[2])
data = random.Random(644).randbytes(size)
def record(address, kind, payload):
    body = bytes([len(payload), address >> 8 & 0xFF, address & 0xFF, kind]) + payload
    return ":" + (body + bytes([-sum(body) & 0xFF])).hex().upper() + "\r\n"
lines = []
for a in range(0, size, 16):
    if a % 0x10000 == 0:
        lines.append(record(0, 4, bytes([0, a >> 16])))
    lines.append(record(a & 0xFFFF, 0, data[a:a + 16]))
lines.append(":00000001FF\r\n")
open(path, "w", newline="").write("".join(lines))
PY

# Starts the device linked as com1; waits for the terminal's path (printed once the link is there).
start_device() {
  rm -f "$work/com1" "$work/flash.out"
  coproc SIM { exec "$sim" --device "$device" --link "$work/com1" --devices "$src/devices" \
                 --flash-out "$work/flash.out" "${sim_options[@]}" "$@"; }
  sim_pid=$SIM_PID
  local pty
  read -r -t 10 pty <&"${SIM[0]}" || { echo "norvix-sim did not start" >&2; exit 1; }
  case $pty in /dev/*) ;; *) echo "norvix-sim: $pty" >&2; exit 1 ;; esac
}

# Ends the device (it writes flash.out on the way out) and checks that it holds the image.
stop_device_and_check() {
  kill -TERM "$sim_pid"
  wait "$sim_pid" || true
  sim_pid=
  python3 - "$work/$file" "$work/flash.out" <<'PY'
import sys
def load(path):
    mem, upper = {}, 0
    for line in open(path):
        line = line.strip()
        if not line.startswith(":"):
            continue
        b = bytes.fromhex(line[1:])
        n, addr, kind = b[0], b[1] << 8 | b[2], b[3]
        if kind == 4:
            upper = (b[4] << 8 | b[5]) << 16
        elif kind == 0:
            for i in range(n):
                mem[upper + addr + i] = b[4 + i]
    return {a: v for a, v in mem.items() if v != 0xFF}
want, got = load(sys.argv[1]), load(sys.argv[2])
if want != got:
    sys.exit("the device's flash differs from the image")
PY
}

elapsed_ms() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.0f", (b - a) * 1000 }'; }
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

update_ms=() avrdude_ms=()
for ((i = 1; i <= reps; i++)); do
  start_device
  t0=$EPOCHREALTIME
  (cd "$work" && "$nvx" update --port 1 --wait 1 --device "$device" "$file" >"$work/update.log" 2>&1) ||
    { cat "$work/update.log" >&2; echo "nvx update failed" >&2; exit 1; }
  t1=$EPOCHREALTIME
  grep -q "I> Update finished" "$work/update.log" || { cat "$work/update.log" >&2; exit 1; }
  stop_device_and_check
  update_ms+=("$(elapsed_ms "$t0" "$t1")")

  # avrdude alone, as the adapter runs it, against the device waiting in its bootloader. The
  # line is set to the bootloader's speed first, as the procedure's port-mode step does.
  start_device --bootloader
  stty -F "$work/com1" "$baud" raw -echo
  t0=$EPOCHREALTIME
  (cd "$work" && avrdude -c avr109 -P "$work/com1" -b "$baud" -p "$part" -e \
     -U "flash:w:$file:i" >"$work/avrdude.log" 2>&1) ||
    { cat "$work/avrdude.log" >&2; echo "avrdude failed" >&2; exit 1; }
  t1=$EPOCHREALTIME
  stop_device_and_check
  avrdude_ms+=("$(elapsed_ms "$t0" "$t1")")
  echo "run $i: nvx update ${update_ms[-1]} ms, avrdude alone ${avrdude_ms[-1]} ms"
done

u=$(median "${update_ms[@]}")
a=$(median "${avrdude_ms[@]}")
waits=$((fixed_waits * step_wait_ms))
awk -v u="$u" -v a="$a" -v w="$waits" -v n="$reps" -v bytes="$image_bytes" -v baud="$baud" \
    -v page="$page_bytes" -v erase_us="$page_erase_us" -v write_us="$page_write_us" \
    -v flash="$flash_bytes" -v instant="${SIM_OPTIONS:-}" 'BEGIN {
  wire = bytes * 2 * 10 * 1000 / baud
  chip = instant ~ /--instant/ ? 0 : (flash / page * erase_us + bytes / page * write_us) / 1000
  printf "medians of %d: nvx update %d ms; fixed waits %d ms + avrdude alone %d ms = %d ms\n", n, u, w, a, w + a
  printf "update: ratio %.3f (%+.1f %%, %d ms above the least)\n", u / (w + a), (u / (w + a) - 1) * 100, u - w - a
  printf "wire %d ms (%d bytes written and read at %d baud) + chip %d ms = %d ms\n", wire, bytes, baud, chip, wire + chip
  printf "avrdude alone: ratio %.3f to the wire and the chip\n", a / (wire + chip)
  printf "whole update: ratio %.3f to fixed waits + wire + chip\n", u / (w + wire + chip)
}'

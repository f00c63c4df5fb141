#!/usr/bin/env bash
# CPU share of wall time of nvx while it waits for a device or for the programmer: `nvx texts
# read`, `nvx kernel version application` and `nvx update` against norvix-sim. Each command runs
# REPETITIONS times; the script prints per run the wall time, nvx's own CPU and their ratio, then
# the medians. CPU is the run time of the nvx process alone, read once it has exited and before it
# is reaped (so the programmer and avrdude are not counted): from /proc/PID/schedstat in
# nanoseconds, and as utime+stime of /proc/PID/stat (clock ticks) for a cross-check.
#   bench/nvx_wait_cpu.sh [BUILD_DIR] [REPETITIONS]
# BUILD_DIR needs the targets nvx, norvix-sim and norvixosp.exe.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
build=$(realpath "${1:-build/release}")
reps=${2:-3}

nvx=$build/src/cli/nvx
sim=$build/src/sim/norvix-sim
adapter=$build/src/progtool/norvixosp.exe
for exe in "$nvx" "$sim" "$adapter"; do
  [ -x "$exe" ] || { echo "no $exe: build nvx, norvix-sim and norvixosp.exe in $build" >&2; exit 1; }
done
command -v avrdude >/dev/null || { echo "avrdude not found" >&2; exit 1; }

work=$(mktemp -d /tmp/nvx_wait_cpu.XXXXXX)
sim_pid=
cleanup() {
  set +e  # a killed child makes wait fail; the rest must still run
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# The start directory as the monitor's work directory holds it, with a small firmware image
# (4 KB of the ATmega644P's flash) for the update.
ln -s "$adapter" "$work/norvixosp.exe"
cp devices/*.xml "$work/"
python3 - "$work/SolGrb_fw.hex" 4096 <<'PY'
import random, sys
path, size = sys.argv[1], int(sys.argv[2])
data = random.Random(644).randbytes(size)
def record(address, kind, payload):
    body = bytes([len(payload), address >> 8 & 0xFF, address & 0xFF, kind]) + payload
    return ":" + (body + bytes([-sum(body) & 0xFF])).hex().upper() + "\r\n"
lines = [record(a, 0, data[a:a + 16]) for a in range(0, size, 16)] + [":00000001FF\r\n"]
open(path, "w", newline="").write("".join(lines))
PY

# Runs a command in the work directory and prints "<wall s> <own CPU s> <utime+stime s> <exit
# status>": the process is waited for without being reaped (WNOWAIT), so its /proc entry still
# holds its own times; those of the children it waited for are in other fields and left out.
cat >"$work/own_cpu.py" <<'PY'
import os, subprocess, sys, time
hz = os.sysconf("SC_CLK_TCK")
t0 = time.monotonic()
child = subprocess.Popen(sys.argv[2:], cwd=sys.argv[1], stdout=open(sys.argv[1] + "/run.log", "w"),
                         stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
os.waitid(os.P_PID, child.pid, os.WEXITED | os.WNOWAIT)
wall = time.monotonic() - t0
run_ns = int(open(f"/proc/{child.pid}/schedstat").read().split()[0])
fields = open(f"/proc/{child.pid}/stat").read().rsplit(")", 1)[1].split()
ticks = (int(fields[11]) + int(fields[12])) / hz  # utime, stime of the process alone
status = child.wait()
print(f"{wall:.3f} {run_ns / 1e9:.4f} {ticks:.2f} {status}")
PY

start_device() {
  rm -f "$work/com1"
  coproc SIM { exec "$sim" --link "$work/com1" --devices "$src/devices" "$@" 2>"$work/sim.err"; }
  sim_pid=$SIM_PID
  local pty
  read -r -t 10 pty <&"${SIM[0]}" || { echo "norvix-sim did not start" >&2; exit 1; }
  case $pty in /dev/*) ;; *) echo "norvix-sim: $pty" >&2; exit 1 ;; esac
}
stop_device() {
  kill -TERM "$sim_pid"
  wait "$sim_pid" || true
  sim_pid=
}

median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# measure NAME FINISH_LINE DEVICE_OPTIONS... -- NVX_ARGS...
measure() {
  local name=$1 finish=$2
  shift 2
  local device=()
  while [ "$1" != -- ]; do device+=("$1"); shift; done
  shift
  local shares=() walls=() cpus=() wall cpu ticks status share
  for ((i = 1; i <= reps; i++)); do
    start_device "${device[@]}"
    read -r wall cpu ticks status < <(python3 "$work/own_cpu.py" "$work" "$nvx" "$@")
    stop_device
    [ "$status" = 0 ] && grep -q "$finish" "$work/run.log" ||
      { cat "$work/run.log" >&2; echo "$name: exit status $status, no \"$finish\"" >&2; exit 1; }
    share=$(awk -v w="$wall" -v c="$cpu" 'BEGIN { printf "%.2f", c / w * 100 }')
    walls+=("$wall") cpus+=("$cpu") shares+=("$share")
    echo "$name, run $i: wall ${wall} s, CPU ${cpu} s (utime+stime ${ticks} s), ${share} %"
  done
  echo "$name: medians of $reps: wall $(median "${walls[@]}") s, CPU $(median "${cpus[@]}") s, CPU share $(median "${shares[@]}") % (target <= 2 %)"
}

# --port 1 spelt out, so that the script also measures builds in which it was required.
measure "nvx texts read" "I> Reading text finished" --device solbed -- texts --port 1 read
measure "nvx kernel version application" "Application:" --device solreg -- \
  kernel --port 1 version application
measure "nvx update" "I> Update finished" --device solgrabed64 -- \
  update --port 1 --wait 1 --device solgrabed64 SolGrb_fw.hex

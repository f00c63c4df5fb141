#!/usr/bin/env bash
# Wall time of one `nvx update` serving four virtual devices at once (--port 1,2,3,4) against the
# same update of one device alone, with one 64 KB firmware; each device's flash must equal the
# file afterwards. Each side runs REPETITIONS times; the ratio is taken from the medians.
# CPU is bash's user + system time of the run, every child process included.
#   bench/update_parallel.sh [BUILD_DIR] [REPETITIONS]
# BUILD_DIR needs the targets nvx, norvix-sim and norvixosp.exe.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
build=$(realpath "${1:-build/release}")
reps=${2:-3}
device=solgrabed128     # catalogue row: atmega1284p (64 KB fit its application area), 38400 baud, automatic start
file=SolGrb_fw.hex      # begins with the device key
image_bytes=65536
ports=(1 2 3 4)

nvx=$build/src/cli/nvx
sim=$build/src/sim/norvix-sim
adapter=$build/src/progtool/norvixosp.exe
for exe in "$nvx" "$sim" "$adapter"; do
  [ -x "$exe" ] || { echo "no $exe: build nvx, norvix-sim and norvixosp.exe in $build" >&2; exit 1; }
done

work=$(mktemp -d /tmp/nvx_parallel_bench.XXXXXX)
declare -A sim_pid=()
cleanup() {
  set +e  # a killed child makes wait fail; the rest must still run
  for p in "${!sim_pid[@]}"; do
    kill "${sim_pid[$p]}" 2>/dev/null
    wait "${sim_pid[$p]}" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT

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

# Starts the device linked as com<port>; waits for the terminal's path (printed once the link
# is there).
start_device() {
  local port=$1 fifo=$work/sim$1.out
  rm -f "$work/com$port" "$work/flash$port.out" "$fifo"
  mkfifo "$fifo"
  "$sim" --device "$device" --link "$work/com$port" --devices "$src/devices" \
    --flash-out "$work/flash$port.out" >"$fifo" 2>>"$work/sim.log" &
  sim_pid[$port]=$!
  local pty
  exec {fd}<"$fifo"
  read -r -t 10 pty <&"$fd" || { echo "norvix-sim did not start" >&2; exit 1; }
  exec {fd}<&-
  case $pty in /dev/*) ;; *) echo "norvix-sim: $pty" >&2; exit 1 ;; esac
}

# Ends the device (it writes its flash on the way out) and checks that it holds the image.
stop_device_and_check() {
  local port=$1
  kill -TERM "${sim_pid[$port]}"
  wait "${sim_pid[$port]}" || true
  unset "sim_pid[$port]"
  python3 - "$work/$file" "$work/flash$port.out" <<'PY'
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
    sys.exit("the flash of " + sys.argv[2] + " differs from the image")
PY
}

median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Times `nvx update` on the given ports (comma list); sets run_ms and run_cpu_ms.
timed_update() {
  local list=$1 t0 t1 before after
  times >"$work/times"  # the builtin in this shell: its second line is what the children used
  before=$(sed -n 2p "$work/times")
  t0=$EPOCHREALTIME
  (cd "$work" && "$nvx" update --port "$list" --wait 1 --device "$device" "$file" \
     >"$work/update.log" 2>&1) ||
    { cat "$work/update.log" >&2; echo "nvx update failed" >&2; exit 1; }
  t1=$EPOCHREALTIME
  times >"$work/times"
  after=$(sed -n 2p "$work/times")
  run_ms=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.0f", (b - a) * 1000 }')
  run_cpu_ms=$(python3 - "$before" "$after" <<'PY'
import re, sys
def ms(line):
    total = 0.0
    for m, s in re.findall(r"(\d+)m([\d.]+)s", line):
        total += int(m) * 60 + float(s)
    return total * 1000
print(round(ms(sys.argv[2]) - ms(sys.argv[1])))
PY
)
}

one_ms=() four_ms=() one_cpu=() four_cpu=()
for ((i = 1; i <= reps; i++)); do
  start_device 1
  timed_update 1
  grep -q "I> Update finished" "$work/update.log" || { cat "$work/update.log" >&2; exit 1; }
  stop_device_and_check 1
  one_ms+=("$run_ms") one_cpu+=("$run_cpu_ms")

  for p in "${ports[@]}"; do start_device "$p"; done
  timed_update "$(IFS=,; echo "${ports[*]}")"
  [ "$(grep -c '^COM[0-9]* *finished' "$work/update.log")" -eq "${#ports[@]}" ] ||
    { cat "$work/update.log" >&2; echo "not every device finished" >&2; exit 1; }
  for p in "${ports[@]}"; do stop_device_and_check "$p"; done
  four_ms+=("$run_ms") four_cpu+=("$run_cpu_ms")
  echo "run $i: one device ${one_ms[-1]} ms (CPU ${one_cpu[-1]} ms)," \
       "four at once ${four_ms[-1]} ms (CPU ${four_cpu[-1]} ms)"
done
echo "last table of four:"
sed -n '/^PORT/,$p' "$work/update.log"

o=$(median "${one_ms[@]}")
f=$(median "${four_ms[@]}")
oc=$(median "${one_cpu[@]}")
fc=$(median "${four_cpu[@]}")
awk -v o="$o" -v f="$f" -v n="$reps" -v oc="$oc" -v fc="$fc" 'BEGIN {
  printf "medians of %d: one device %d ms (CPU %d ms),", n, o, oc
  printf " four at once %d ms (CPU %d ms)\n", f, fc
  printf "ratio %.3f (target at most 1.3)\n", f / o
}'

#!/usr/bin/env bash
# Decoding a 10 MB line capture: in memory (bench_frames) and as a whole `nvx decode --csv`
# process writing to /dev/null, best of REPETITIONS runs, in MB/s (1 MB = 2^20 bytes). Reports
# wall and CPU time of the process.
#   bench/decode_throughput.sh [BUILD_DIR] [REPETITIONS]     (BUILD_DIR built with NVX_BENCH=ON)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
reps=${2:-5}
bench=$build/bench/bench_frames
nvx=$build/src/cli/nvx
for f in "$bench" "$nvx"; do
  [ -x "$f" ] || { echo "no $f: build targets bench_frames and nvx in $build" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
capture=$work/capture.bin
"$bench" --write-capture "$capture"
bytes=$(stat -c %s "$capture")

"$bench" --benchmark_filter='BM_Decode' --benchmark_repetitions="$reps" \
  --benchmark_report_aggregates_only=true 2>/dev/null | grep -E '_median|^BM_DecodeOneTimedByte'

best_wall=; best_cpu=
for _ in $(seq "$reps"); do
  # wall, user and system seconds of the process
  read -r wall user sys < <(
    { TIMEFORMAT='%R %U %S'; time "$nvx" decode "$capture" --csv >/dev/null; } 2>&1 )
  cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }')
  if [ -z "$best_wall" ] || awk -v a="$wall" -v b="$best_wall" 'BEGIN { exit !(a < b) }'; then
    best_wall=$wall; best_cpu=$cpu
  fi
done
awk -v b="$bytes" -v w="$best_wall" -v c="$best_cpu" 'BEGIN {
  mb = b / 1048576
  printf "nvx decode --csv > /dev/null, %.1f MB: best wall %.3f s (%.0f MB/s), " \
         "its CPU %.3f s (%.0f MB/s)\n",
         mb, w, (w > 0 ? mb / w : 0), c, (c > 0 ? mb / c : 0)
}'

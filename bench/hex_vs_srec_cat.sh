#!/usr/bin/env bash
# HEX to NPF of a 128 KB firmware image (about 360 KB of text) by `nvx convert` against srec_cat
# reading and rewriting the same file as Intel HEX, measured in one run of bench_eeprom. Prints
# the medians, the throughput of whole processes, and the throughput per byte with the process
# start taken out (each tool's time on the image minus its time on a two-line file), as ratios.
#   bench/hex_vs_srec_cat.sh [BUILD_DIR] [REPETITIONS]     (BUILD_DIR built with NVX_BENCH=ON)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
reps=${2:-5}
bench=$build/bench/bench_eeprom
[ -x "$bench" ] || { echo "no $bench: build target bench_eeprom in $build" >&2; exit 1; }
command -v srec_cat >/dev/null || { echo "srec_cat not found (package srecord)" >&2; exit 1; }

"$bench" --benchmark_filter='BM_(HexToNpf|AtomicWrite|NvxConvertProcess|SrecCatProcess)' \
  --benchmark_repetitions="$reps" --benchmark_report_aggregates_only=true --benchmark_format=csv \
  2>/dev/null | awk -F, '
  $1 == "name" { for (i = 1; i <= NF; i++) { h = $i; gsub(/"/, "", h); column[h] = i }; next }
  $1 ~ /_median"?$/ {
    name = $1; gsub(/"/, "", name); sub(/\/real_time/, "", name); sub(/_median$/, "", name)
    ms[name] = $column["real_time"] + 0
    if ($column["image_bytes"] != "") bytes = $column["image_bytes"] + 0
  }
  END {
    if (!bytes) { print "no image size in the results"; exit 1 }
    split("BM_HexToNpfInMemory BM_HexToNpfFile BM_AtomicWrite BM_NvxConvertProcess/image:1 BM_NvxConvertProcess/image:0 BM_SrecCatProcess/image:1 BM_SrecCatProcess/image:0", order, " ")
    for (i = 1; i <= 7; i++) {
      n = order[i]
      if (!(n in ms)) { printf "%s: no result\n", n; bad = 1; continue }
      printf "%-32s %8.2f ms\n", n, ms[n]
    }
    if (bad) exit 1
    nvx = ms["BM_NvxConvertProcess/image:1"]; nvx0 = ms["BM_NvxConvertProcess/image:0"]
    src = ms["BM_SrecCatProcess/image:1"];   src0 = ms["BM_SrecCatProcess/image:0"]
    mem = ms["BM_HexToNpfInMemory"];         file = ms["BM_HexToNpfFile"]
    printf "whole processes:         nvx %6.1f MB/s, srec_cat %6.1f MB/s, ratio %.1fx\n", bytes / nvx / 1e3, bytes / src / 1e3, src / nvx
    printf "process start taken out: nvx %6.1f MB/s, srec_cat %6.1f MB/s, ratio %.1fx\n", bytes / (nvx - nvx0) / 1e3, bytes / (src - src0) / 1e3, (src - src0) / (nvx - nvx0)
    printf "in-process, file to file (flushed to disk) vs srec_cat without its start: %.1fx\n", (src - src0) / file
    printf "in-process, in memory vs srec_cat without its start:                       %.1fx\n", (src - src0) / mem
  }'

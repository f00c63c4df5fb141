#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a bounded time, each from its seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/fuzz}
seconds=${2:-30}
shopt -s nullglob
targets=("$build"/fuzz/fuzz_*)
[ ${#targets[@]} -gt 0 ] || { echo "no fuzz targets in $build/fuzz" >&2; exit 1; }
for t in "${targets[@]}"; do
  [ -x "$t" ] || continue
  name=$(basename "$t")
  work=$(mktemp -d)
  seeds=fuzz/corpus/${name#fuzz_}
  mkdir -p "$seeds"
  echo "== $name (${seconds}s)"
  "$t" -max_total_time="$seconds" -print_final_stats=1 "$work" "$seeds" 2>&1 | tail -n 5
  rm -rf "$work"
done

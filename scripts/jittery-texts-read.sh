#!/usr/bin/env bash
# Runs the end-to-end test of `nvx texts read` against a device that answers 500-1100 ms late,
# in order, and loses one reply in ten, once per seed of the device, JOBS runs at a time (they
# only wait, about 70 s each). Prints per seed the result, the wall time and the characters read
# as unknown ("?"), then the totals; exit status 1 when any seed failed (its log is kept).
#   scripts/jittery-texts-read.sh [FIRST_SEED] [LAST_SEED] [JOBS] [BUILD_DIR]
# BUILD_DIR (default build/dev) needs the targets texts_tests, nvx and norvix-sim.
set -euo pipefail
cd "$(dirname "$0")/.."
first=${1:-1}
last=${2:-20}
jobs=${3:-4}
build=$(realpath "${4:-build/dev}")
tests=$build/tests/texts/texts_tests
[ -x "$tests" ] || { echo "no $tests: build texts_tests, nvx and norvix-sim in $build" >&2; exit 1; }
logs=$(mktemp -d /tmp/nvx-jittery-seeds.XXXXXX)

run_seed() {
  local seed=$1 start end
  start=$(date +%s)
  if NVX_BINARY_DIR=$build NVX_JITTER_SEED=$seed "$tests" \
       --gtest_filter='TextsCommandE2eTest.AJitteryLossyDeviceGivesEachCharacterExactlyOrAsUnknown' \
       --gtest_output="xml:$logs/$seed.xml" >"$logs/$seed.log" 2>&1; then
    result=pass
  else
    result=FAIL
  fi
  end=$(date +%s)
  unknown=$(sed -n 's/.*name="unknownCharacters" value="\([0-9]*\)".*/\1/p' "$logs/$seed.xml" 2>/dev/null)
  echo "seed $seed: $result, $((end - start)) s, unknown characters: ${unknown:--}"
}
export -f run_seed
export build tests logs

seq "$first" "$last" | xargs -P "$jobs" -I{} bash -c 'run_seed {}' | sort -t' ' -k2n | tee "$logs/summary"
passed=$(grep -c ': pass' "$logs/summary" || true)
failed=$(grep -c ': FAIL' "$logs/summary" || true)
unknown=$(awk -F'unknown characters: ' '$2 ~ /^[0-9]+$/ {n += $2} END {print n + 0}' "$logs/summary")
echo "$passed passed, $failed failed, $unknown unknown characters in all"
if [ "$failed" -ne 0 ]; then
  echo "logs of the failed seeds: $logs" >&2
  exit 1
fi
rm -rf "$logs"

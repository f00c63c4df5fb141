#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the demo need, when any is missing,
# and the further packages named as arguments (a check that needs its own tools).
#
#   scripts/setup.sh [PACKAGE...]
set -euo pipefail

packages=(
  build-essential cmake ninja-build clang libclang-rt-14-dev
  qt6-base-dev qt6-serialport-dev qt6-multimedia-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  avrdude srecord xvfb xauth xdotool
  gcc-avr avr-libc binutils-avr simavr libsimavr-dev libelf-dev
  scdoc dpkg-dev file
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then sudo=(); else sudo=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"

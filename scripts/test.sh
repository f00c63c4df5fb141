#!/usr/bin/env bash
# Installs what is missing, builds the dev preset and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
export NVX_WERROR=${CI:+ON}
cmake --preset dev >/dev/null
cmake --build --preset dev
ctest --preset dev -j"$(nproc)"

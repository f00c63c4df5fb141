#!/usr/bin/env bash
# Installs what is missing, builds the release preset and starts the tool.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
exec build/release/src/cli/nvx ports

#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs every test.
# Usage: scripts/test.sh [PRESET]   (debug by default; release, asan, tsan)
set -euo pipefail
preset="${1:-debug}"
cd "$(dirname "$0")/.."

bash scripts/deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" -j "$(nproc)"

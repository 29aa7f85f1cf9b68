#!/usr/bin/env bash
# Installs what is missing, builds, and runs the filter in the foreground.
# Usage: scripts/run.sh
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
bin=build/release/smf/zarvik-smf
if [ ! -x "$bin" ]; then
  echo "run: the filter program is not built yet" >&2
  exit 1
fi
exec "$bin" --help

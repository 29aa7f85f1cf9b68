#!/usr/bin/env bash
# Installs what is missing, builds, starts the stand-in scanning daemon and statistics
# agent on the sample configuration's addresses and runs the filter in the foreground.
# Stop it with Ctrl-C (or SIGTERM); the stand-ins are stopped with it.
# Usage: scripts/run.sh
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
bin=build/release/smf/zarvik-smf
scand=build/release/tools/zvscand/zvscand
agent=build/release/tools/zvagent/zvagent
for program in "$bin" "$scand" "$agent"; do
  if [ ! -x "$program" ]; then
    echo "run: $program is not built" >&2
    exit 1
  fi
done

# The run-time files of etc/zarvik_smf.conf.
runtime=/tmp/zarvik
mkdir -p "$runtime/spool" "$runtime/quarantine"
chmod 0700 "$runtime/spool" "$runtime/quarantine"

pids=()
stop_helpers() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap stop_helpers EXIT

"$scand" --foreground --listen="local:$runtime/zvscand.sock" &
pids+=($!)
"$agent" --foreground --listen="local:$runtime/zvagent.sock" &
pids+=($!)
for socket in zvscand.sock zvagent.sock; do
  for _ in $(seq 50); do
    [ -S "$runtime/$socket" ] && break
    sleep 0.1
  done
  if [ ! -S "$runtime/$socket" ]; then
    echo "run: $socket did not appear" >&2
    exit 1
  fi
done

echo "run: zarvik-smf listens on local:$runtime/milter.sock; it logs to syslog (facility mail)"
"$bin" --conf=etc/zarvik_smf.conf

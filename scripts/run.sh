#!/usr/bin/env bash
# Installs what is missing, builds, and runs the filter in the foreground on the sample
# configuration next to the stand-in scanning daemon and statistics agent, with every
# run-time file (sockets, spool, quarantine) under run/ in the repository's top folder.
# Prints the line that makes a sendmail use the filter. Stop it with Ctrl-C (or SIGTERM);
# the stand-ins are stopped with it.
# Usage: scripts/run.sh [PRESET]   (release by default; debug, asan, tsan)
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
preset=${1:-release}

bash scripts/deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
bin=build/$preset/smf/zarvik-smf
scand=build/$preset/tools/zvscand/zvscand
agent=build/$preset/tools/zvagent/zvagent
for program in "$bin" "$scand" "$agent"; do
  if [ ! -x "$program" ]; then
    echo "run: $program is not built" >&2
    exit 1
  fi
done

# The sample configuration with its run-time folder moved under run/.
runtime=$top/run
mkdir -p "$runtime/spool" "$runtime/quarantine"
chmod 0700 "$runtime" "$runtime/spool" "$runtime/quarantine"
conf=$runtime/zarvik_smf.conf
sed "s#/tmp/zarvik#$runtime#g" etc/zarvik_smf.conf >"$conf"
chmod 0600 "$conf"

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

cat <<TEXT
run: zarvik-smf listens on local:$runtime/milter.sock and logs to syslog (facility mail).
run: for a sendmail, add this line to its .mc file and rebuild sendmail.cf:
INPUT_MAIL_FILTER(\`zarvik', \`S=local:$runtime/milter.sock, F=T, T=S:4m;R:4m;E:10m')dnl
run: or try it: miltertest -D SOCK=unix:$runtime/milter.sock -s scripts/try_it.lua
TEXT
# The filter runs in the background of this script so that Ctrl-C or a SIGTERM to the
# script reaches it as an orderly stop.
"$bin" --conf="$conf" &
filter=$!
trap 'kill -TERM "$filter" 2>/dev/null || true' INT TERM
status=0
wait "$filter" || status=$?
while kill -0 "$filter" 2>/dev/null; do # a trapped signal ends the wait early
  status=0
  wait "$filter" || status=$?
done
exit "$status"

#!/usr/bin/env bash
# Smoke test of the benchmark tools: the load driver sends a few messages to the null
# filter (plain and spooling) over a Unix socket and over TCP, and must get every answer
# right; a filter that answers wrongly (a spooling filter whose spool directory is gone
# tempfails) must make the driver fail.
# Usage: smoke_test.sh ZVMILTERLOAD ZVNULLFILTER ZVNULLFILTER_NODELAY
set -euo pipefail
load=$1 null=$2 nodelay=$3
dir=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$dir"
}
trap cleanup EXIT
# Any failing step names its line and shows what the filters said.
trap 'echo "smoke test failed at line $LINENO" >&2; cat "$dir/filter.log" >&2' ERR

# Starts a filter; waits until its socket answers. Prints its pid.
start() {
  local prog=$1 sock=$2
  shift 2
  "$prog" --socket="$sock" --pidfile="$dir/pid" "$@" >>"$dir/filter.log" 2>&1 &
  local pid=$!
  for _ in $(seq 100); do
    if "$load" --socket="$sock" --messages=1 --expect-header=X-Null-Filter >/dev/null 2>&1; then
      echo "$pid"
      return 0
    fi
    sleep 0.1
  done
  echo "filter $prog on $sock did not come up" >&2
  cat "$dir/filter.log" >&2
  return 1
}

mkdir "$dir/spool"
plain=$(start "$null" "unix:$dir/null.sock"); pids+=("$plain")
spool=$(start "$null" "unix:$dir/spool.sock" --spool="$dir/spool"); pids+=("$spool")
# TCP on port 0: the port the kernel gave is read from the filter's listening socket.
"$nodelay" --socket="inet:0@127.0.0.1" >>"$dir/filter.log" 2>&1 &
tcp=$!; pids+=("$tcp")
port=""
for _ in $(seq 100); do
  for fd in /proc/"$tcp"/fd/*; do
    inode=$(readlink "$fd" 2>/dev/null | sed -n 's/^socket:\[\([0-9]*\)\]$/\1/p')
    [ -n "$inode" ] || continue
    # /proc/net/tcp: sl local_address rem_address st ... inode; 0A is LISTEN.
    hex=$(awk -v i="$inode" '$10 == i && $4 == "0A" { split($2, a, ":"); print a[2] }' /proc/net/tcp)
    [ -n "$hex" ] && port=$((16#$hex))
  done
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "no listening port of the TCP filter" >&2; cat "$dir/filter.log" >&2; exit 1; }

run() {
  echo "+ zvmilterload $*"
  "$load" "$@"
}
run --socket="unix:$dir/null.sock" --messages=40 --connections=4 --size=10k \
  --expect-header=X-Null-Filter --pid="$plain" --label=null | tee "$dir/out"
grep -q '^RESULT label=null conns=4 .* msgs=40 ' "$dir/out"
run --socket="unix:$dir/null.sock" --messages=20 --connections=2 --per-connection=5 \
  --content=eicar --expect=accept --expect-header=X-Null-Filter
run --socket="unix:$dir/spool.sock" --messages=10 --connections=2 --size=200k \
  --expect-header=X-Null-Filter --pid="$spool"
run --socket="inet:$port@127.0.0.1" --messages=20 --connections=2 --expect-header=X-Null-Filter
# Every spool file was removed again.
[ -z "$(ls -A "$dir/spool")" ] || { echo "spool files left behind" >&2; exit 1; }

# Wrong answers are errors, not numbers.
if run --socket="unix:$dir/null.sock" --messages=5 --content=eicar | tee "$dir/out"; then
  echo "an accepted EICAR message did not fail the run" >&2
  exit 1
fi
grep -q "^ERROR .*verdict 'a' where 'r' was expected" "$dir/out"
rmdir "$dir/spool"
if run --socket="unix:$dir/spool.sock" --messages=3 | tee "$dir/out"; then
  echo "a tempfailing filter did not fail the run" >&2
  exit 1
fi
grep -q "^ERROR .*verdict 't' where 'a' was expected" "$dir/out"
if run --socket="unix:$dir/none.sock" --messages=1 | tee "$dir/out"; then
  echo "a missing filter did not fail the run" >&2
  exit 1
fi
grep -q "^ERROR .*connect" "$dir/out"
echo "smoke test passed"

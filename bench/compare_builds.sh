#!/usr/bin/env bash
# Compares two builds of zarvik-smf (each with its own zvscand --engine=instant) against the
# spooling floor, taking turns cell by cell: the before and after of a change to the
# filter's own cost. Prints one line per run and the mean of each cell.
#
# Usage: bench/compare_builds.sh BEFORE_BUILD AFTER_BUILD
#   environment: SIZES (default "10k 100k"), CONNS (default "8 64"), N (messages per run,
#   default 3000), ROUNDS (default 3)
# Both builds need smf/zarvik-smf and tools/zvscand/zvscand; AFTER_BUILD also the bench
# tools. Nothing else may load the machine meanwhile.
set -euo pipefail
before=$(cd "${1:?before build}" && pwd) after=$(cd "${2:?after build}" && pwd)
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /var/tmp/zvcompare.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  sleep 1
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work"/{spool-before,spool-after,spool-floor,quarantine,logs}
load=$after/bench/zvmilterload
"$after/bench/zvnullfilter" --socket="unix:$work/floor.sock" --spool="$work/spool-floor" \
  >"$work/logs/floor.log" 2>&1 &
pids+=($!)
start_smf() {  # NAME BUILD
  sed -e "s|/tmp/zarvik/zvscand.sock|$work/$1-daemon.sock|; s|/tmp/zarvik/spool|$work/spool-$1|" \
    -e "s|/tmp/zarvik/quarantine|$work/quarantine|" \
    -e "s|^MilterAddress = .*|MilterAddress = local:$work/$1.sock|" \
    -e 's|^Infected = .*|Infected = reject|; s|^AddXHeaders = .*|AddXHeaders = yes|' \
    -e 's|^AdminNotify = .*|AdminNotify = no|; s|^Level = .*|Level = Errors|' \
    -e 's|^Address = local:/tmp/zarvik/zvagent.sock|#&|' "$top/etc/zarvik_smf.conf" >"$work/$1.conf"
  "$2/tools/zvscand/zvscand" --listen="local:$work/$1-daemon.sock" --foreground --engine=instant \
    >"$work/logs/$1-daemon.log" 2>&1 &
  pids+=($!)
  (cd "$top" && exec "$2/smf/zarvik-smf" --conf="$work/$1.conf") >"$work/logs/$1.log" 2>&1 &
  pids+=($!)
}
start_smf before "$before"
start_smf after "$after"
declare -A addr header
addr[floor]=unix:$work/floor.sock header[floor]=X-Null-Filter
addr[before]=unix:$work/before.sock header[before]=X-Antivirus
addr[after]=unix:$work/after.sock header[after]=X-Antivirus
for s in floor before after; do
  for _ in $(seq 100); do
    "$load" --socket="${addr[$s]}" --messages=1 --expect-header="${header[$s]}" >/dev/null 2>&1 &&
      break
    sleep 0.1
  done
done
results=$work/results
for size in ${SIZES:-10k 100k}; do
  for conns in ${CONNS:-8 64}; do
    for round in $(seq "${ROUNDS:-3}"); do
      for s in floor before after; do
        line=$("$load" --socket="${addr[$s]}" --messages="${N:-3000}" --size="$size" \
          --connections="$conns" --warmup="$conns" --expect-header="${header[$s]}" | grep RESULT)
        mps=$(sed 's/.* mps=\([0-9.]*\).*/\1/' <<<"$line")
        echo "$size $conns round $round $s $mps" | tee -a "$results"
      done
    done
  done
done
echo "means (messages/s):"
awk '{k = $1 " x" $2; v[k, $5] += $6; n[k, $5]++; keys[k] = 1}
  END {
    printf "%-12s %10s %10s %10s %14s %14s\n", "size x conns", "floor", "before", "after",
      "before/floor", "after/floor"
    for (k in keys) {
      f = v[k, "floor"] / n[k, "floor"]; b = v[k, "before"] / n[k, "before"]
      a = v[k, "after"] / n[k, "after"]
      printf "%-12s %10.1f %10.1f %10.1f %14.2f %14.2f\n", k, f, b, a, b / f, a / f
    }
  }' "$results" | sort

#!/usr/bin/env bash
# Runs the Milter benchmarks in one go and writes a Markdown table to bench/results/.
#
# Systems, all started once and measured in turn cell by cell (alternating, so that any
# drift of the machine falls on all of them alike):
#   null        zvnullfilter: accepts, adds one header
#   floor       zvnullfilter --spool: also writes, fsyncs and removes one file per message,
#               on the same disk as zarvik-smf's spool (the floor of any spooling filter)
#   smf-instant zarvik-smf with zvscand --engine=instant (a daemon that answers at once)
#   smf-clamav  zarvik-smf with zvscand --engine=clamav
#   clamav-milter  Debian's clamav-milter with clamd
# Both ClamAV set-ups read the same database: etc/clamav/eicar.ndb plus ~100,000
# synthetic signatures from zvgenndb. Cells: 1, 8 and 64 connections x 10 KiB, 100 KiB and
# 10 MiB clean messages, and EICAR messages for the scanning systems. Then: inet against
# Unix sockets (with and without TCP_NODELAY on the filter's side), the filter's memory
# around one 100 MiB message, and memory and descriptors over 100,000 messages.
#
# Usage: bench/run_bench.sh [--build=DIR] [--quick] [--out=FILE]
#   --build=DIR  an optimised build of the tree (default build/bench; configured and built
#                when missing, RelWithDebInfo so that perf can name the functions)
#   --quick      few messages per cell (a check of the script, not a measurement)
# Needs: clamav-daemon and clamav-milter (apt-get install clamav-daemon clamav-milter;
# for benchmarking only, not a dependency of the product).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build/bench
quick=0
out=""
for a in "$@"; do
  case "$a" in
    --build=*) build=${a#--build=} ;;
    --quick) quick=1 ;;
    --out=*) out=${a#--out=} ;;
    *) echo "usage: $0 [--build=DIR] [--quick] [--out=FILE]" >&2; exit 64 ;;
  esac
done
[ -n "$out" ] || out=$top/bench/results/$(date -u +%Y-%m-%d)-milter.md
if [ ! -x "$build/smf/zarvik-smf" ]; then
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZV_BUILD_TESTS=OFF
  cmake --build "$build"
fi
if [ ! -x "$build/bench/zarvik-smf-nagle" ]; then
  cmake --build "$build" --target zarvik-smf-nagle
fi
load=$build/bench/zvmilterload
for p in clamd clamav-milter; do
  command -v "$p" >/dev/null || [ -x "/usr/sbin/$p" ] || { echo "$p is not installed" >&2; exit 69; }
done

# The work directory sits on the disk of /var/tmp, as the spools of both filters do.
work=$(mktemp -d /var/tmp/zvbench.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  sleep 1
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work"/{db,spool,spool-null,quarantine,tmp,logs}
echo "work directory $work"

# --- the signature database, shared by zvscand and clamd --------------------------------
cp "$top/etc/clamav/eicar.ndb" "$work/db/"
"$build/bench/zvgenndb" --count=100000 "$work/db/synthetic.ndb"

# --- starting the systems ---------------------------------------------------------------
# wait_up ADDRESS EXPECT...: until the filter answers one message as expected.
wait_up() {
  local address=$1
  shift
  for _ in $(seq 600); do
    "$load" --socket="$address" --messages=1 "$@" >/dev/null 2>&1 && return 0
    sleep 0.2
  done
  echo "no filter answers on $address; logs in $work/logs:" >&2
  tail -n 20 "$work"/logs/* >&2
  return 1
}

"$build/bench/zvnullfilter" --socket="unix:$work/null.sock" >"$work/logs/null.log" 2>&1 &
pid_null=$!; pids+=("$pid_null")
"$build/bench/zvnullfilter" --socket="unix:$work/floor.sock" --spool="$work/spool-null" \
  >"$work/logs/floor.log" 2>&1 &
pid_floor=$!; pids+=("$pid_floor")

# zarvik-smf's configuration: the sample's, with this run's paths, reject for viruses,
# the X-Antivirus header on, and no notifications or agent.
smf_conf() {  # smf_conf NAME DAEMON_SOCKET_PATH MILTER_ADDRESS
  sed -e "s|/tmp/zarvik/zvscand.sock|$2|; s|/tmp/zarvik/spool|$work/spool|" \
      -e "s|/tmp/zarvik/quarantine|$work/quarantine|" \
      -e "s|^MilterAddress = .*|MilterAddress = $3|" \
      -e 's|^Infected = .*|Infected = reject|; s|^AddXHeaders = .*|AddXHeaders = yes|' \
      -e 's|^AdminNotify = .*|AdminNotify = no|; s|^Level = .*|Level = Errors|' \
      -e 's|^Address = local:/tmp/zarvik/zvagent.sock|#&|' \
      "$top/etc/zarvik_smf.conf" >"$work/$1.conf"
}
start_smf() {  # start_smf NAME PROGRAM MILTER_ADDRESS DAEMON_SOCKET; sets smf_pid
  smf_conf "$1" "$4" "$3"
  (cd "$top" && exec "$2" --conf="$work/$1.conf") >"$work/logs/$1.log" 2>&1 &
  smf_pid=$!; pids+=("$smf_pid")
}
"$build/tools/zvscand/zvscand" --listen="local:$work/zvscand-instant.sock" --foreground \
  --engine=instant >"$work/logs/zvscand-instant.log" 2>&1 &
pid_zi=$!; pids+=("$pid_zi")
"$build/tools/zvscand/zvscand" --listen="local:$work/zvscand-clamav.sock" --foreground \
  --engine=clamav --database="$work/db" >"$work/logs/zvscand-clamav.log" 2>&1 &
pid_zc=$!; pids+=("$pid_zc")
start_smf smf-instant "$build/smf/zarvik-smf" "local:$work/smf-instant.sock" "$work/zvscand-instant.sock"
pid_si=$smf_pid
start_smf smf-clamav "$build/smf/zarvik-smf" "local:$work/smf-clamav.sock" "$work/zvscand-clamav.sock"
pid_sc=$smf_pid

# clamd and clamav-milter, as the peer recipe runs them, on the same database.
cat >"$work/clamd.conf" <<EOF
LocalSocket $work/clamd.sock
FixStaleSocket yes
DatabaseDirectory $work/db
TemporaryDirectory $work/tmp
PidFile $work/clamd.pid
LogFile $work/logs/clamd.log
Foreground yes
SelfCheck 0
StreamMaxLength 25M
DisableCache yes
EOF
cat >"$work/clamav-milter.conf" <<EOF
MilterSocket unix:$work/clamav-milter.sock
ClamdSocket unix:$work/clamd.sock
Foreground yes
PidFile $work/clamav-milter.pid
TemporaryDirectory $work/tmp
OnClean Accept
OnInfected Reject
OnFail Defer
RejectMsg Virus %v detected - message refused
AddHeader Replace
ReportHostname mx.test.invalid
LogFile $work/logs/clamav-milter.log
MaxFileSize 25M
EOF
clamd -c "$work/clamd.conf" >"$work/logs/clamd.out" 2>&1 &
pid_clamd=$!; pids+=("$pid_clamd")
for _ in $(seq 600); do [ -S "$work/clamd.sock" ] && break; sleep 0.2; done
clamav-milter -c "$work/clamav-milter.conf" >"$work/logs/clamav-milter.out" 2>&1 &
pid_cm=$!; pids+=("$pid_cm")

declare -A addr expect pidsof
addr[null]=unix:$work/null.sock;                 expect[null]="--expect-header=X-Null-Filter"
addr[floor]=unix:$work/floor.sock;               expect[floor]="--expect-header=X-Null-Filter"
addr[smf-instant]=unix:$work/smf-instant.sock;   expect[smf-instant]="--expect-header=X-Antivirus"
addr[smf-clamav]=unix:$work/smf-clamav.sock;     expect[smf-clamav]="--expect-header=X-Antivirus"
addr[clamav-milter]=unix:$work/clamav-milter.sock; expect[clamav-milter]="--expect-header=X-Virus-Status"
pidsof[null]="$pid_null"; pidsof[floor]="$pid_floor"
pidsof[smf-instant]="$pid_si $pid_zi"; pidsof[smf-clamav]="$pid_sc $pid_zc"
pidsof[clamav-milter]="$pid_cm $pid_clamd"
systems=(null floor smf-instant smf-clamav clamav-milter)
for s in "${systems[@]}"; do
  # shellcheck disable=SC2086
  wait_up "${addr[$s]}" ${expect[$s]}
done
echo "all systems answer"

results=$work/results.txt
: >"$results"
# measure PHASE SYSTEM EXTRA-ARGS...: one run of the driver, its RESULT line kept.
measure() {
  local phase=$1 s=$2
  shift 2
  local pidargs=()
  for p in ${pidsof[$s]}; do pidargs+=("--pid=$p"); done
  local line
  # shellcheck disable=SC2086
  if ! line=$("$load" --socket="${addr[$s]}" ${expect[$s]} "${pidargs[@]}" --label="$s" "$@" |
    tee -a "$work/logs/driver.log" | grep -E '^(RESULT|ERROR)'); then
    line="ERROR label=$s $* (no result)"
  fi
  echo "$line"
  echo "phase=$phase system=$s $line" >>"$results"
}

count() {  # messages per cell for SIZE CONNS
  local n
  case $1 in
    10k) n=400 ;;
    100k) n=200 ;;
    *) n=$(($2 > 16 ? $2 : 16)) ;;
  esac
  [ "$quick" = 1 ] && n=$(($2 > 8 ? $2 : 8))
  echo "$n"
}

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date -u +%H:%M)
for size in 10k 100k 10m; do
  for conns in 1 8 64; do
    n=$(count $size $conns)
    for s in "${systems[@]}"; do
      measure main "$s" --size=$size --connections=$conns --messages="$n" --warmup=$((conns))
    done
  done
done
# Infected mail: the scanning systems reject it.
for conns in 8 64; do
  for s in smf-clamav clamav-milter; do
    measure main "$s" --size=10k --connections=$conns --messages="$(count 10k $conns)" \
      --content=eicar --expect=reject --warmup=$conns
  done
done

# --- inet against unix ------------------------------------------------------------------
inet_port() {  # the TCP port a process listens on
  local pid=$1 inode hex
  for fd in /proc/"$pid"/fd/*; do
    inode=$(readlink "$fd" 2>/dev/null | sed -n 's/^socket:\[\([0-9]*\)\]$/\1/p')
    [ -n "$inode" ] || continue
    hex=$(awk -v i="$inode" '$10 == i && $4 == "0A" { split($2, a, ":"); print a[2] }' /proc/net/tcp)
    [ -n "$hex" ] && { echo $((16#$hex)); return 0; }
  done
  return 1
}
"$build/bench/zvnullfilter" --socket="inet:0@127.0.0.1" >"$work/logs/null-inet.log" 2>&1 &
pid_ni=$!; pids+=("$pid_ni")
"$build/bench/zvnullfilter-nodelay" --socket="inet:0@127.0.0.1" >"$work/logs/null-nd.log" 2>&1 &
pid_nn=$!; pids+=("$pid_nn")
start_smf smf-inet "$build/smf/zarvik-smf" "inet:0@127.0.0.1" "$work/zvscand-instant.sock"
pid_smi=$smf_pid
inet_systems=(null-inet null-nodelay-inet smf-instant-inet)
sleep 1
port_of() { for _ in $(seq 100); do inet_port "$1" && return 0; sleep 0.1; done; return 1; }
addr[null-inet]=inet:$(port_of $pid_ni)@127.0.0.1; expect[null-inet]=${expect[null]}; pidsof[null-inet]=$pid_ni
addr[null-nodelay-inet]=inet:$(port_of $pid_nn)@127.0.0.1; expect[null-nodelay-inet]=${expect[null]}
pidsof[null-nodelay-inet]=$pid_nn
addr[smf-instant-inet]=inet:$(port_of $pid_smi)@127.0.0.1; expect[smf-instant-inet]=${expect[smf-instant]}
pidsof[smf-instant-inet]="$pid_smi $pid_zi"
if [ -x "$build/bench/zarvik-smf-nagle" ]; then
  start_smf smf-nagle-inet "$build/bench/zarvik-smf-nagle" "inet:0@127.0.0.1" "$work/zvscand-instant.sock"
  addr[smf-nagle-inet]=inet:$(port_of $smf_pid)@127.0.0.1; expect[smf-nagle-inet]=${expect[smf-instant]}
  pidsof[smf-nagle-inet]="$smf_pid $pid_zi"
  inet_systems+=(smf-nagle-inet)
fi
for s in "${inet_systems[@]}"; do
  # shellcheck disable=SC2086
  wait_up "${addr[$s]}" ${expect[$s]}
done
for conns in 1 8; do
  for s in null "${inet_systems[@]}" smf-instant; do
    case $s in *nagle*|null-inet) n=40 ;; *) n=$(count 10k 8) ;; esac
    measure inet "$s" --size=10k --connections=$conns --messages=$n --warmup=$conns
  done
done

# --- memory around one 100 MiB message, and over 100,000 messages -----------------------
pidsof[smf-only]=$pid_si; addr[smf-only]=${addr[smf-instant]}; expect[smf-only]=${expect[smf-instant]}
measure memory smf-only --size=100m --connections=1 --messages=$([ "$quick" = 1 ] && echo 1 || echo 2) \
  --warmup=1
many=$([ "$quick" = 1 ] && echo 2000 || echo 100000)
measure many smf-only --size=10k --connections=8 --messages=$many --warmup=2000
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# --- the table --------------------------------------------------------------------------
mkdir -p "$(dirname "$out")"
awk -v load_before="$load_before" -v load_after="$load_after" -v started="$started" \
    -v quick="$quick" -v host_cpus="$(nproc)" -f "$top/bench/results_table.awk" "$results" >"$out"
echo "results written to $out"

#!/usr/bin/env bash
# Soak test under faults: the real zarvik-smf, a primary and a backup zvscand, and the
# soak driver zvsoak, which sends clean, cured, infected and oversized mail over many
# connections and judges every answer (bench/soak.cpp says how). While it sends, the
# faults are injected in turn through this script's hook: the primary daemon killed
# (the backup takes over) and restarted, the primary stopped for longer than the
# daemon time-out, both daemons killed and restarted, and the spool file system filled
# up and freed again. At the end the filter must stop cleanly (exit 0 on SIGTERM), its
# spool must be empty, and no sanitizer may have reported anything.
#
# Everything runs in private mount and pid namespaces: the spool is a small tmpfs of the
# test's own, all files live in one temporary folder, and every process the test started
# ends with it. Needs root.
#
# Usage: bench/soak.sh [--build=DIR] [--daemon-build=DIR] [--short] [--keep] [ZVSOAK_OPTION...]
#   --build=DIR   the build tree (default build/release, else build/debug)
#   --daemon-build=DIR  where the stand-in daemon comes from (default: the build tree), so
#                 that a sanitizer build of the filter can meet a daemon at full speed
#   --short       the short run of the test suite: 3,000 messages over 16 connections,
#                 spread over at least 36 s so that every fault is met
#   --keep        keep the work folder (its path is printed)
#   other options go to zvsoak (default: 100,000 messages over 64 connections)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)

# --- the fault hook: soak.sh --hook begin|end FAULT, with ZVSOAK_DIR set ---------------
if [ "${1:-}" = "--hook" ]; then
  D=${ZVSOAK_DIR:?}
  # shellcheck source=/dev/null
  . "$D/env"
  step=$2 fault=$3
  case "$step $fault" in
    "begin primary-down") stop_daemon primary KILL ;;
    "end primary-down") start_daemon primary ;;
    "begin primary-slow") kill -STOP "$(daemon_pid primary)" ;;
    "end primary-slow") kill -CONT "$(daemon_pid primary)" ;;
    "begin daemons-down") stop_daemon primary KILL && stop_daemon backup KILL ;;
    "end daemons-down") start_daemon primary && start_daemon backup ;;
    # dd ends with "no space left on device" once the file system is full.
    "begin spool-full") dd if=/dev/zero of="$D/spoolfs/filler" bs=64k 2>/dev/null; true ;;
    "end spool-full") rm -f "$D/spoolfs/filler" ;;
    *) echo "soak hook: unknown step $step $fault" >&2; exit 2 ;;
  esac
  exit $?
fi

build="" daemon_build="" short=0 keep=0 driver_options=()
for a in "$@"; do
  case "$a" in
    --build=*) build=${a#--build=} ;;
    --daemon-build=*) daemon_build=${a#--daemon-build=} ;;
    --short) short=1 ;;
    --keep) keep=1 ;;
    *) driver_options+=("$a") ;;
  esac
done
if [ -z "$build" ]; then
  build=$top/build/release
  [ -x "$build/smf/zarvik-smf" ] || build=$top/build/debug
fi
build=$(cd "$build" 2>/dev/null && pwd) || { echo "FAIL: no build tree $build"; exit 1; }
daemon_build=$(cd "${daemon_build:-$build}" 2>/dev/null && pwd) ||
  { echo "FAIL: no build tree for the daemon"; exit 1; }
for p in smf/zarvik-smf bench/zvsoak bench/zvsoaksubmit bench/zvmilterload; do
  [ -x "$build/$p" ] || { echo "FAIL: $build/$p is not built"; exit 1; }
done
[ -x "$daemon_build/tools/zvscand/zvscand" ] ||
  { echo "FAIL: $daemon_build/tools/zvscand/zvscand is not built"; exit 1; }

if [ -z "${ZVSOAK_INSIDE:-}" ]; then
  if [ "$(id -u)" -ne 0 ] || ! unshare --mount true 2>/dev/null; then
    echo "FAIL: the soak test needs root and namespaces (CI runs it as root)"
    exit 1
  fi
  exec unshare --mount --pid --fork --mount-proc --propagation private \
    env ZVSOAK_INSIDE=1 bash "$0" "$@"
fi

sanitizer=$(sed -n 's/^ZV_SANITIZE:STRING=//p' "$build/CMakeCache.txt" 2>/dev/null)
D=$(mktemp -d /tmp/zvsoak.XXXXXX)
chmod 0755 "$D"
fail=0
bad() {
  echo "FAIL: $*"
  fail=1
}
finish() {
  if [ $fail -ne 0 ]; then
    for log in filter.err primary.log backup.log; do
      [ -s "$D/$log" ] && { echo "--- $log"; tail -n 40 "$D/$log"; }
    done
  fi
  umount "$D/spoolfs" 2>/dev/null
  if [ $keep -eq 1 ]; then echo "work folder: $D"; else rm -rf --one-file-system "$D"; fi
}
trap finish EXIT

# A spool file system of 32 MiB: the oversized messages (40 MiB) never fit, and the
# filler of the spool-full fault takes what is left.
mkdir "$D/spoolfs"
mount -t tmpfs -o size=32m,mode=0755 tmpfs "$D/spoolfs" || { bad "cannot mount the spool"; exit 1; }
mkdir -m 0700 "$D/spoolfs/spool"
: >"$D/submissions"
printf 'K:Soak.Incurable:"ZVSOAK-INCURABLE-SIGNATURE":incurable\n' >"$D/signatures"

# What the hook needs, sourced by it: the daemons' start and stop.
cat >"$D/env" <<EOF
D='$D'
scand='$daemon_build/tools/zvscand/zvscand'
$(cat <<'EOS'
daemon_pid() { head -n 1 "$D/$1.pid" 2>/dev/null; }
# Starts a daemon in the foreground (its log kept) and waits until it listens: its pid
# file, with the listening address, appears only then.
start_daemon() {
  rm -f "$D/$1.pid"
  # In a subshell: not a job of the shell, which would report its death by SIGKILL.
  ("$scand" --foreground --listen="local:$D/$1.sock" --pidfile="$D/$1.pid" \
    --signatures="$D/signatures" >>"$D/$1.log" 2>&1 </dev/null &)
  for _ in $(seq 300); do
    [ "$(wc -l 2>/dev/null <"$D/$1.pid")" -ge 2 ] 2>/dev/null && return 0
    sleep 0.05
  done
  echo "soak: zvscand $1 did not start" >&2
  return 1
}
# Stops a daemon with the signal given and waits until it is gone.
stop_daemon() {
  local pid
  pid=$(daemon_pid "$1") || return 1
  [ -n "$pid" ] || return 1
  kill -"$2" "$pid" 2>/dev/null
  kill -CONT "$pid" 2>/dev/null
  for _ in $(seq 600); do
    state=$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null)
    [ -z "$state" ] || [ "$state" = Z ] && return 0
    sleep 0.05
  done
  echo "soak: zvscand $1 ($pid) did not stop" >&2
  return 1
}
EOS
)
EOF
# shellcheck source=/dev/null
. "$D/env"
printf '#!/bin/sh\nZVSOAK_DIR=%s exec bash %s --hook "$@"\n' "$D" "$here/soak.sh" >"$D/hook"
chmod 0755 "$D/hook"

# The daemon time-out, in seconds: a stopped primary is held for a second longer.
timeout=4
# The sample configuration with the soak's settings: each line below is SECTION KEY VALUE,
# and a key without a value is left out.
settings=$(cat <<EOF
DaemonCommunication Address local:$D/primary.sock, local:$D/backup.sock
DaemonCommunication Timeout $timeout
Scanning Spool $D/spoolfs/spool
Scanning AddXHeaders yes
Logging Level Errors
Actions Infected cure
Actions Incurable reject
Actions CureFail reject
Actions Suspicious reject
Actions ScanningErrors tempfail
Actions ProcessingErrors tempfail
Actions UseCustomReply yes
Actions Quarantine
VirusNotifications AdminNotify yes
Agent Address
Mailer Sendmail $build/bench/zvsoaksubmit
Mailer MilterAddress local:$D/milter.sock
Mailer MilterPendedConnections 256
EOF
)
awk -v settings="$settings" -v top="$top" '
  BEGIN {
    n = split(settings, lines, "\n")
    for (i = 1; i <= n; i++) {
      split(lines[i], f, " ")
      want[f[1] " " f[2]] = substr(lines[i], length(f[1]) + length(f[2]) + 3)
    }
  }
  /^\[/ { section = substr($0, 2, index($0, "]") - 2) }
  {
    split($0, f, " ")
    key = section " " f[1]
    if (f[2] == "=" && key in want) {
      if (want[key] != "") print f[1] " = " want[key]
      next
    }
    sub(/= etc\/templates\//, "= " top "/etc/templates/")
    print
  }' "$top/etc/zarvik_smf.conf" >"$D/soak.conf"
reply=$(sed -n 's/^ReplyInfected = "\(.*\)"$/\1/p' "$D/soak.conf")

start_daemon primary || { bad "the primary daemon did not start"; exit 1; }
start_daemon backup || { bad "the backup daemon did not start"; exit 1; }
export ZVSOAK_SUBMISSIONS=$D/submissions
"$build/smf/zarvik-smf" --conf="$D/soak.conf" >"$D/filter.out" 2>"$D/filter.err" &
filter=$!
up=0
for _ in $(seq 600); do
  if "$build/bench/zvmilterload" --socket="unix:$D/milter.sock" --messages=1 \
    --expect-header=X-Antivirus-Code >/dev/null 2>&1; then
    up=1
    break
  fi
  kill -0 $filter 2>/dev/null || break
  sleep 0.1
done
[ $up -eq 1 ] || { bad "the filter did not come up"; exit 1; }

options=(--connections=64 --messages=100000 --fault-ms=$((timeout * 1000 + 1000)))
[ $short -eq 1 ] && options=(--connections=16 --messages=3000 --warmup=100 --min-seconds=36
  --mix=6900,1500,1580,20 --fault-ms=$((timeout * 1000 + 1000)) --gap-ms=1500)
# A sanitizer's own bookkeeping grows the process: the memory is reported, not judged.
[ -n "$sanitizer" ] && options+=(--rss-slack=0)
"$build/bench/zvsoak" --socket="unix:$D/milter.sock" --hook="$D/hook" --reply="$reply" \
  --submissions="$D/submissions" --pid=$filter "${options[@]}" "${driver_options[@]}"
[ $? -eq 0 ] || bad "the soak driver found wrong answers (above)"

kill -TERM $filter
wait $filter
status=$?
[ $status -eq 0 ] || bad "the filter exited with $status after SIGTERM"
# A daemon killed while it wrote a treated copy leaves its temporary file: that is the
# stand-in's, not the filter's, and only noted. Anything else left is a fault.
killed=$(find "$D/spoolfs/spool" -name '.zvscand.*' -printf '%P\n')
[ -z "$killed" ] || echo "soak: left by a killed zvscand: $(echo $killed)"
left=$(find "$D/spoolfs" -mindepth 1 ! -name spool ! -name '.zvscand.*' -printf '%P\n')
[ -z "$left" ] || bad "left in the spool file system: $(echo $left)"
for name in primary backup; do
  stop_daemon "$name" TERM || bad "zvscand $name did not stop"
done
if grep -l -E 'ERROR: (Address|Leak|Thread)Sanitizer|WARNING: ThreadSanitizer|runtime error:' \
  "$D"/filter.err "$D"/primary.log "$D"/backup.log 2>/dev/null; then
  bad "a sanitizer reported (files above)"
  grep -h -A 30 -E 'ERROR: (Address|Leak|Thread)Sanitizer|WARNING: ThreadSanitizer|runtime error:' \
    "$D"/filter.err "$D"/primary.log "$D"/backup.log | head -n 80
fi
[ $fail -eq 0 ] && echo "soak: passed"
exit $fail

#!/usr/bin/env bash
# Installation tests: `cmake --install` of the build tree into a staging directory, then
#   tree   the installed files, their modes, the templates, the manual pages (rendered
#          without warnings), and the installed configuration loaded by the filter's own
#          loader, every run-time path it names present in the tree and agreeing with the
#          systemd units and the tmpfiles.d entry; the repository's sample still loads;
#   units  systemd-analyze verify of both units in a throw-away overlay of this machine's
#          root with the staging tree on top (needs root).
# Usage: install_test.sh tree|units CMAKE BUILD_DIR [PROBE]
set -uo pipefail
mode=$1 cmake=$2 build=$3 probe=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
# shellcheck source=overlay_root.sh
source "$here/overlay_root.sh"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
dest=$tmp/dest
fail=0
bad() {
  echo "FAIL: $*"
  fail=1
}

if [ "$mode" = units ]; then overlay_need_root; fi
if ! DESTDIR=$dest "$cmake" --install "$build" >"$tmp/install.log" 2>&1; then
  cat "$tmp/install.log"
  echo "FAIL: cmake --install"
  exit 1
fi

expect() {  # expect TYPE MODE PATH: a file (f) or directory (d) with that octal mode
  local type=$1 want=$2 path=$3
  if [ ! -e "$dest$path" ]; then
    bad "$path is not installed"
  elif { [ "$type" = d ] && [ ! -d "$dest$path" ]; } || { [ "$type" = f ] && [ ! -f "$dest$path" ]; }; then
    bad "$path is not a $([ "$type" = d ] && echo directory || echo file)"
  elif [ "$(stat -c %a "$dest$path")" != "$want" ]; then
    bad "$path has mode $(stat -c %a "$dest$path"), expected $want"
  fi
}

case "$mode" in
tree)
  for program in /usr/sbin/zarvik-smf /usr/sbin/zvscand /usr/sbin/zvagent /usr/bin/zvscan; do
    expect f 755 "$program"
  done
  expect f 600 /etc/zarvik/zarvik_smf.conf
  expect d 700 /var/spool/zarvik
  expect d 700 /var/lib/zarvik/quarantine
  expect f 644 /lib/systemd/system/zarvik-smf.service
  expect f 644 /lib/systemd/system/zvscand.service
  expect f 644 /usr/lib/tmpfiles.d/zarvik-smf.conf
  for template in "$top"/etc/templates/*; do
    name=/etc/zarvik/templates/$(basename "$template")
    expect f 644 "$name"
    if [ -f "$dest$name" ] && ! cmp -s "$template" "$dest$name"; then bad "$name differs from its source"; fi
  done
  for page in man1/zvscan.1 man5/zarvik_smf.conf.5 man8/zarvik-smf.8 man8/zvscand.8; do
    expect f 644 "/usr/share/man/$page"
    [ -f "$dest/usr/share/man/$page" ] || continue
    warnings=$(MANWIDTH=80 man -l --warnings "$dest/usr/share/man/$page" 2>&1 >"$tmp/page")
    if [ -n "$warnings" ]; then bad "$page renders with warnings: $warnings"; fi
    if ! grep -q "SEE ALSO" "$tmp/page"; then bad "$page did not render"; fi
  done

  # The installed configuration, as the filter loads it.
  if ! "$probe" "$dest/etc/zarvik/zarvik_smf.conf" >"$tmp/loaded" 2>"$tmp/probe.log"; then
    cat "$tmp/probe.log"
    bad "the installed configuration does not load"
  fi
  value() { awk -v k="$1" '$1 == k { print $2 }' "$tmp/loaded"; }
  [ "$(value spool)" = /var/spool/zarvik ] || bad "installed Spool is '$(value spool)'"
  [ "$(value quarantine)" = /var/lib/zarvik/quarantine ] ||
    bad "installed Quarantine is '$(value quarantine)'"
  [ "$(value account)" = zarvik ] || bad "installed FilterAccount is '$(value account)'"
  [ "$(value foreground)" = 0 ] || bad "installed configuration runs in the foreground"
  [ -z "$(value agent)" ] || bad "installed configuration names an agent: $(value agent)"
  templates=$(value template)
  [ "$(wc -w <<<"$templates")" -eq 21 ] || bad "installed configuration names $(wc -w <<<"$templates") templates, expected 21"
  for t in $templates; do
    [ -f "$dest$t" ] || bad "installed configuration names template $t, which is not installed"
  done
  # The sockets: the filter's and the daemon's in the directory that tmpfiles.d makes,
  # the daemon's where its unit listens, and the unit reading the installed file.
  rundir=$(awk '$1 == "d" { print $2 }' "$dest/usr/lib/tmpfiles.d/zarvik-smf.conf")
  [ "$(value milter)" = "local:$rundir/milter.sock" ] || bad "MilterAddress '$(value milter)' is not in $rundir"
  [ "$(value daemon)" = "local:$rundir/zvscand.sock" ] || bad "daemon address '$(value daemon)' is not in $rundir"
  grep -qx "ExecStart=/usr/sbin/zvscand --listen=$(value daemon) .*" "$dest/lib/systemd/system/zvscand.service" ||
    bad "zvscand.service does not listen on $(value daemon)"
  grep -qx "ExecStart=/usr/sbin/zarvik-smf --conf=/etc/zarvik/zarvik_smf.conf" "$dest/lib/systemd/system/zarvik-smf.service" ||
    bad "zarvik-smf.service does not read /etc/zarvik/zarvik_smf.conf"
  if grep -v '^#' "$dest/etc/zarvik/zarvik_smf.conf" | grep -q '/tmp/\|= etc/'; then
    bad "the installed configuration still points into the source tree or /tmp"
  fi

  # The repository's own sample is left as the run script and the tests use it.
  if ! (cd "$top" && "$probe" etc/zarvik_smf.conf) >"$tmp/loaded" 2>"$tmp/probe.log"; then
    cat "$tmp/probe.log"
    bad "the repository's sample configuration does not load"
  fi
  [ "$(value spool)" = /tmp/zarvik/spool ] || bad "the sample's Spool changed to '$(value spool)'"
  ;;
units)
  overlay_merge_usr "$dest"
  out=$(overlay_run "$dest" systemd-analyze verify \
    /lib/systemd/system/zarvik-smf.service /lib/systemd/system/zvscand.service 2>&1)
  status=$?
  if [ $status -ne 0 ] || [ -n "$out" ]; then bad "systemd-analyze verify (status $status): $out"; fi
  ;;
*)
  echo "usage: install_test.sh tree|units CMAKE BUILD_DIR [PROBE]"
  exit 2
  ;;
esac

[ $fail -eq 0 ] && echo "ok: install $mode"
exit $fail

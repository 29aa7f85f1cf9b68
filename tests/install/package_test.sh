#!/usr/bin/env bash
# The Debian package: builds it with dpkg-buildpackage from a copy of the source tree,
# then, in a throw-away overlay of this machine's root (the machine's own files stay as
# they are), installs it with dpkg -i and checks the system account, the owners and modes,
# the conffiles, the units, zvscand started as its unit starts it and the filter's check
# mode as the filter's account; then that an edited configuration survives a
# reinstallation and a removal, and what a purge leaves. Needs root.
# Usage: package_test.sh [WORK_DIR]   (a fresh temporary directory by default)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
# shellcheck source=overlay_root.sh
source "$here/overlay_root.sh"
overlay_need_root

work=${1:-}
if [ -z "$work" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
fi
rm -rf "$work/src" "$work"/*.deb
mkdir -p "$work/src"

# The tracked and new files of the tree, without build output.
if git -C "$top" rev-parse --git-dir >/dev/null 2>&1; then
  (cd "$top" && git ls-files -z --cached --others --exclude-standard) |
    (cd "$top" && tar --null -T - -cf -) | tar -C "$work/src" -xf -
else
  (cd "$top" && tar --exclude=./build --exclude=./.git -cf - .) | tar -C "$work/src" -xf -
fi
echo "package: building"
if ! (cd "$work/src" && CCACHE_BASEDIR="$work/src" dpkg-buildpackage -b -uc -us) >"$work/build.log" 2>&1; then
  tail -40 "$work/build.log"
  echo "FAIL: dpkg-buildpackage"
  exit 1
fi
deb=$(ls "$work"/zarvik-smf_*_*.deb)

fail=0
bad() {
  echo "FAIL: $*"
  fail=1
}
depends=$(dpkg-deb -f "$deb" Depends)
for need in libmilter1.0.1 libgmime-3.0-0 libssl3 adduser "sendmail-bin | mail-transport-agent"; do
  grep -qF "$need" <<<"$depends" || bad "Depends lacks $need: $depends"
done

# The checks inside the installed system; they print "FAIL: ..." lines.
mkdir -p "$work/tree/root/package"
cp "$deb" "$work/tree/root/package/zarvik-smf.deb"
cat >"$work/tree/root/package/inside.sh" <<'INSIDE'
set -u
bad() { echo "FAIL: $*"; }
deb=/root/package/zarvik-smf.deb
# sendmail, the submitter of the check's test mail, waits a minute for a host name that
# is not fully qualified.
host=$(hostname)
printf '127.0.0.1 %s.localdomain %s localhost\n::1 %s.localdomain %s\n' "$host" "$host" "$host" "$host" >/etc/hosts

dpkg -i "$deb" >/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log; bad "dpkg -i"; exit 0; }

entry=$(getent passwd zarvik) || bad "no account zarvik"
IFS=: read -r _ _ uid gid _ home shell <<<"$entry"
[ "${uid:-0}" -gt 0 ] && [ "${uid:-1000}" -lt 1000 ] || bad "zarvik is not a system account: $entry"
[ "$shell" = /usr/sbin/nologin ] || bad "zarvik has the shell $shell"
[ "$(getent group zarvik | cut -d: -f3)" = "$gid" ] || bad "zarvik's group is not its own"
for dir in /var/spool/zarvik /var/lib/zarvik/quarantine /run/zarvik; do
  want=700; [ "$dir" = /run/zarvik ] && want=755
  [ "$(stat -c '%U:%G %a' "$dir" 2>&1)" = "zarvik:zarvik $want" ] ||
    bad "$dir is $(stat -c '%U:%G %a' "$dir" 2>&1), expected zarvik:zarvik $want"
done
[ "$(stat -c '%U:%G %a' /etc/zarvik/zarvik_smf.conf)" = "root:root 600" ] ||
  bad "the configuration is $(stat -c '%U:%G %a' /etc/zarvik/zarvik_smf.conf)"
conffiles=/var/lib/dpkg/info/zarvik-smf.conffiles
grep -qx /etc/zarvik/zarvik_smf.conf "$conffiles" || bad "the configuration is not a conffile"
[ "$(grep -c '^/etc/zarvik/templates/' "$conffiles")" -eq 21 ] || bad "the templates are not conffiles"
for unit in zarvik-smf zvscand; do
  [ -L /etc/systemd/system/multi-user.target.wants/$unit.service ] || bad "$unit.service is not enabled"
done
out=$(systemd-analyze verify /lib/systemd/system/zarvik-smf.service /lib/systemd/system/zvscand.service 2>&1) ||
  bad "systemd-analyze verify: $out"
[ -z "$out" ] || bad "systemd-analyze verify: $out"

# zvscand as its unit runs it: the unit's command, as the unit's account.
exec_start=$(sed -n 's/^ExecStart=//p' /lib/systemd/system/zvscand.service)
user=$(sed -n 's/^User=//p' /lib/systemd/system/zvscand.service)
# shellcheck disable=SC2086
setpriv --reuid="$user" --regid="$user" --init-groups $exec_start || bad "zvscand did not start"
zvscan --daemon=local:/run/zarvik/zvscand.sock --daemon-version >/dev/null || bad "zvscan cannot reach zvscand"

timeout 120 zarvik-smf --check_only --check_user=zarvik >/tmp/check.log 2>&1
status=$?
[ $status -eq 0 ] || { cat /tmp/check.log; bad "zarvik-smf --check_only exited with $status"; }

# An edited configuration is kept when the package is installed again, and when removed.
echo "# edited by the administrator" >>/etc/zarvik/zarvik_smf.conf
dpkg -i "$deb" >/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log; bad "second dpkg -i"; }
grep -q "^# edited by the administrator" /etc/zarvik/zarvik_smf.conf || bad "reinstalling overwrote the edited configuration"
kill "$(head -n1 /run/zarvik/zvscand.pid)"
dpkg -r zarvik-smf >/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log; bad "dpkg -r"; }
[ ! -e /usr/sbin/zarvik-smf ] || bad "dpkg -r left the program"
grep -q "^# edited by the administrator" /etc/zarvik/zarvik_smf.conf 2>/dev/null || bad "dpkg -r removed the configuration"
dpkg -P zarvik-smf >/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log; bad "dpkg -P"; }
[ ! -e /etc/zarvik/zarvik_smf.conf ] || bad "dpkg -P left the configuration"
[ ! -e /var/spool/zarvik ] || bad "dpkg -P left the spool"
getent passwd zarvik >/dev/null || bad "dpkg -P removed the account"
echo "inside: done"
INSIDE

out=$(overlay_run "$work/tree" bash /root/package/inside.sh 2>&1)
echo "$out"
grep -q "^inside: done" <<<"$out" || bad "the checks in the installed system did not finish"
grep -q "^FAIL" <<<"$out" && fail=1
[ $fail -eq 0 ] && echo "ok: package"
exit $fail

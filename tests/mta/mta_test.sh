#!/usr/bin/env bash
# End to end behind a real sendmail: the test's own sendmail (Debian sendmail-bin) on
# 127.0.0.1 with the filter attached through F=T, the stand-in zvscand as the scanning
# daemon, swaks as the SMTP client and sendmail's mail submission program as the
# filter's submitter.
#
# Everything runs in private namespaces: a mount namespace that shows the test's own
# /etc/hosts (a fully qualified host name, without which sendmail waits a minute at every
# start) and its own /dev/log (a catcher that keeps the syslog of sendmail and the
# filter for the failure report), a network namespace with only its own loopback, a UTS
# namespace with a fixed host name, and a pid namespace, so that every process the test
# started ends with it. All files live in one temporary folder; the machine's own files
# stay as they are. Needs root.
#
# Usage: mta_test.sh CASE BUILD_DIR      (ZV_MTA_FILTER=PATH runs another filter binary)
set -uo pipefail
case_name=${1:?case} build=${2:?build dir}
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build=$(cd "$build" && pwd)

if [ -z "${ZV_MTA_INSIDE:-}" ]; then
  if [ "$(id -u)" -ne 0 ] || ! unshare --mount true 2>/dev/null; then
    echo "FAIL: this test needs root and namespaces (CI runs it as root)"
    exit 1
  fi
  for tool in sendmail m4 swaks socat ip; do
    command -v "$tool" >/dev/null || {
      echo "FAIL: $tool is missing: run scripts/deps.sh"
      exit 1
    }
  done
  exec unshare --mount --net --uts --pid --fork --mount-proc --propagation private \
    env ZV_MTA_INSIDE=1 bash "$0" "$@"
fi

filter=${ZV_MTA_FILTER:-$build/smf/zarvik-smf}
scand=$build/tools/zvscand/zvscand
host=mta-test
port=2526
eicar='X5O!P%@AP[4\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*'

D=$(mktemp -d /tmp/zvmta.XXXXXX)
chmod 0755 "$D"
fail=0
bad() {
  echo "FAIL: $*"
  fail=1
}
finish() {
  if [ $fail -ne 0 ]; then
    for log in filter.log zvscand.log sendmail.log; do
      [ -s "$D/$log" ] && { echo "--- $log"; tail -n 30 "$D/$log"; }
    done
    # One datagram per message, without line ends; the client library's trace left out.
    [ -s "$D/syslog" ] && { echo "--- syslog"; sed 's/<[0-9]*>/\n&/g' "$D/syslog" | grep -v "zvlib: \(ipc\|fd\|proto\)" | tail -n 60; }
  fi
  rm -rf --one-file-system "$D"
}
trap finish EXIT

# --- the private machine ---------------------------------------------------------------
hostname "$host"
ip link set lo up
printf '127.0.0.1 %s.localdomain %s localhost\n::1 %s.localdomain %s\n' \
  "$host" "$host" "$host" "$host" >"$D/hosts"
mount --bind "$D/hosts" /etc/hosts
# A /dev of the namespace's own, built aside from the device nodes it needs and moved over
# /dev, so that no path under $D ever leads into the machine's /dev.
mkdir "$D/dev"
mount -t tmpfs -o mode=0755 tmpfs "$D/dev"
for node in null zero full random urandom tty; do
  : >"$D/dev/$node"
  mount --bind "/dev/$node" "$D/dev/$node"
done
mount --move "$D/dev" /dev
socat -u UNIX-RECV:/dev/log,mode=0666 OPEN:"$D/syslog",creat,append &
# wait_for WHAT TEST...: until TEST succeeds, for at most a minute (a loaded machine is
# slow, and this is no measure of speed).
wait_for() {
  local what=$1
  shift
  for _ in $(seq 600); do
    "$@" && return 0
    sleep 0.1
  done
  bad "$what did not happen"
  return 1
}
wait_for "the syslog socket" test -S /dev/log

# --- sendmail and its submission program -----------------------------------------------
render() {  # render TEMPLATE OUTPUT
  sed -e "s|@DIR@|$D|g" -e "s|@HOST@|$host|g" -e "s|@PORT@|$port|g" "$1" >"$2"
}
render "$here/sendmail.mc.in" "$D/sendmail.mc"
render "$here/submit.mc.in" "$D/submit.mc"
m4 "$D/sendmail.mc" >"$D/sendmail.cf" && m4 "$D/submit.mc" >"$D/submit.cf" || bad "m4"
mkdir -m 1777 "$D/mail"
mkdir -m 0700 "$D/mqueue"
# The submission program runs as smmsp, as in a standard installation.
mkdir -m 0770 "$D/clientmqueue"
chown smmsp:smmsp "$D/clientmqueue"
: >"$D/sendmail.st"
: >"$D/submit.st"
: >"$D/trusted-users"
printf 'postmaster: root\nmailer-daemon: postmaster\n' >"$D/aliases"
printf 'localhost\n%s\n%s.localdomain\n' "$host" "$host" >"$D/local-host-names"
printf 'hosts\tfiles\naliases\tfiles\n' >"$D/service.switch"
cat >"$D/deliver.sh" <<EOF
#!/bin/sh
# Local mailer: the message on standard input goes to $D/mail/<user>.<time>.eml.
f="$D/mail/\$1.\$(date +%s%N).eml"
cat >"\$f.tmp" && mv "\$f.tmp" "\$f"
EOF
chmod 0755 "$D/deliver.sh"
sendmail -C "$D/sendmail.cf" -bi >/dev/null 2>&1 || bad "newaliases"

start_sendmail() {
  sendmail -C "$D/sendmail.cf" -bD -q1m >>"$D/sendmail.log" 2>&1 &
  wait_for "sendmail listening" bash -c "exec 3<>/dev/tcp/127.0.0.1/$port" 2>/dev/null
}

# --- zvscand and the filter ------------------------------------------------------------
start_zvscand() {  # start_zvscand [OPTION...]
  "$scand" --foreground --listen="local:$D/zvscand.sock" "$@" >>"$D/zvscand.log" 2>&1 &
  zvscand_pid=$!
  wait_for "zvscand listening" test -S "$D/zvscand.sock"
}
scans() { grep -c "zvscand: scan <" "$D/zvscand.log"; }

# The repository's sample configuration with its run-time files in $D, the templates of
# the source tree, no statistics agent, and the submitter above.
sed -e "s|/tmp/zarvik|$D|g" -e "s|= etc/templates/|= $top/etc/templates/|" \
  -e "s|^Address = local:$D/zvagent.sock|#&|" \
  -e "s|^#SendmailArgs = .*|SendmailArgs = -C$D/submit.cf|" \
  "$top/etc/zarvik_smf.conf" >"$D/zarvik_smf.conf"
mkdir -m 0700 "$D/spool" "$D/quarantine"
conf_set() {  # conf_set SECTION KEY VALUE: sets the key in its section, adding it if needed
  awk -v s="[$1]" -v k="$2" -v v="$3" '
    function put() { print k " = " v; done = 1 }
    /^\[/ { if (in_s && !done) put(); in_s = ($0 == s) }
    in_s && !done && ($1 == k || $1 == "#" k) && ($2 == "=" || substr($1, length($1)) == "=") { put(); next }
    { print }
    END { if (in_s && !done) put() }' "$D/zarvik_smf.conf" >"$D/conf.new" &&
    mv "$D/conf.new" "$D/zarvik_smf.conf"
}
# The filter's own addresses fully qualified, as the submission program passes them on:
# the redirected copy is known by its envelope, FilterMail to RedirectMail.
conf_set Actions FilterMail "zarvik-smf@$host.localdomain"
conf_set Actions RedirectMail "virus-quarantine@$host.localdomain"
conf_set Actions AdminMail "postmaster@$host.localdomain"
conf_set Scanning AddXHeaders yes
conf_set Logging Level Debug
conf_set Actions UseCustomReply yes

start_filter() {
  rm -f "$D/milter.sock"
  "$filter" --conf="$D/zarvik_smf.conf" >>"$D/filter.log" 2>&1 &
  filter_pid=$!
  wait_for "the filter listening" test -S "$D/milter.sock"
}

# --- the SMTP client and the mailboxes ----------------------------------------------------
# send NAME TO [SWAKS_OPTION...]: one message through swaks (a text body unless options
# say otherwise); its transcript in $D/NAME.smtp, swaks' status in $D/NAME.status.
send() {
  local name=$1 to=$2
  shift 2
  [ $# -gt 0 ] || set -- --body "clean text of $name"
  swaks --server "127.0.0.1:$port" --from alice@example.com --to "$to" \
    --header "Subject: $name" --timeout 60 "$@" >"$D/$name.smtp" 2>&1
  echo $? >"$D/$name.status"
}
status() { cat "$D/$1.status"; }
said() { grep -q -- "$2" "$D/$1.smtp"; }
# mailbox USER: the messages delivered to USER so far
mailbox() { ls "$D/mail/$1".*.eml 2>/dev/null; }
count() { mailbox "$1" | wc -l; }
# wait_mail USER N: until USER has N messages (sendmail delivers in the background)
wait_mail() { wait_for "$2 message(s) for $1" bash -c "[ \$(ls $D/mail/$1.*.eml 2>/dev/null | wc -l) -ge $2 ]"; }
# quiet_mail: lets background deliveries settle before counting what did not arrive
quiet_mail() { sleep 2; }

printf '%s\n' "$eicar" >"$D/eicar.txt"

# --- the cases ------------------------------------------------------------------------------
start_all() {
  start_zvscand "$@"
  start_filter
  start_sendmail
}
# has USER TEXT: USER's first message holds TEXT
has() { grep -qF -- "$2" $(mailbox "$1" | head -n1) 2>/dev/null; }
sent_ok() {  # sent_ok NAME: swaks succeeded
  [ "$(status "$1")" = 0 ] || bad "$1 was not accepted: $(grep -E '^ *<\*\* ' "$D/$1.smtp" | head -3)"
}
expect_scans() {
  [ "$(scans)" -eq "$1" ] || bad "zvscand scanned $(scans) message(s), expected $1"
}
attach_eicar=(--body "the attachment is the test file" --attach-name eicar.com --attach "@$D/eicar.txt")

case "$case_name" in
clean)
  # A clean message is delivered with the X-Antivirus headers.
  start_all
  send clean bob@localhost
  sent_ok clean
  wait_mail bob 1
  has bob "clean text of clean" || bad "bob's message lost its text"
  has bob "X-Antivirus: Zarvik (R) for Mail Servers on $host host" || bad "no X-Antivirus header"
  grep -qE '^X-Antivirus-Code: [0-9A-F]+' $(mailbox bob) || bad "no X-Antivirus-Code header"
  expect_scans 1
  ;;
reject)
  # EICAR is refused at the SMTP dialogue with 554 5.7.0 and the configured text.
  conf_set Actions Infected reject
  conf_set Actions ReplyInfected '"Refused by the end-to-end test: virus found."'
  start_all
  send eicar bob@localhost "${attach_eicar[@]}"
  said eicar "554 5.7.0 Refused by the end-to-end test: virus found." ||
    bad "no 554 5.7.0 with the configured text: $(grep -E '^ *<' "$D/eicar.smtp" | tail -3)"
  [ "$(status eicar)" = 26 ] || bad "swaks status $(status eicar), expected 26 (refused after DATA)"
  quiet_mail
  [ "$(count bob)" -eq 0 ] || bad "the infected message was delivered"
  ;;
quarantine)
  # Quarantined: the file appears in the quarantine and nothing is delivered to bob; the
  # administrator's notification comes through the real submitter and is scanned like
  # any other mail (FastNotify off).
  start_all
  send eicar bob@localhost "${attach_eicar[@]}"
  sent_ok eicar
  wait_mail root 1
  has root "Subject: Anti-virus alert: eicar" || bad "the notification is not about the message"
  files=$(ls "$D/quarantine")
  [ "$(wc -w <<<"$files")" -eq 1 ] || bad "quarantine holds '$files', expected one file"
  grep -q "Subject: eicar" "$D/quarantine/"* 2>/dev/null || bad "the quarantined file is not the message"
  quiet_mail
  [ "$(count bob)" -eq 0 ] || bad "the quarantined message was delivered"
  expect_scans 2
  ;;
fast_notify)
  # With FastNotify the notification passes the filter unscanned, its hash header removed.
  conf_set NotificationOptions FastNotify yes
  conf_set NotificationOptions NotifyHashSalt end-to-end-salt
  start_all
  send eicar bob@localhost "${attach_eicar[@]}"
  sent_ok eicar
  wait_mail root 1
  has root "Subject: Anti-virus alert: eicar" || bad "the notification is not about the message"
  ! grep -qi "^X-zarvik-hash:" $(mailbox root) || bad "the notification kept its X-zarvik-hash header"
  expect_scans 1
  ;;
redirect)
  # Redirected: the copy reaches the redirect mailbox unscanned; bob gets nothing.
  conf_set Actions Infected redirect
  conf_set VirusNotifications AdminNotify no
  start_all
  send eicar bob@localhost "${attach_eicar[@]}"
  sent_ok eicar
  wait_mail virus-quarantine 1
  has virus-quarantine "Subject: eicar" || bad "the redirected copy is not the message"
  quiet_mail
  [ "$(count bob)" -eq 0 ] || bad "the redirected message was delivered to bob"
  [ "$(count virus-quarantine)" -eq 1 ] || bad "the redirect mailbox got $(count virus-quarantine) messages"
  expect_scans 1
  ;;
redirect_sample)
  # The sample's own addresses are local names, which sendmail qualifies on the way
  # (MAILER-DAEMON@localhost becomes MAILER-DAEMON@mta-test.localdomain), so the copy's
  # envelope no longer names FilterMail and RedirectMail when it comes back: the filter
  # knows its copy by the mark. One message gives exactly one redirected copy and the
  # administrator's notice (both for root), however long the queue is left to run.
  for key in FilterMail RedirectMail AdminMail; do
    conf_set Actions "$key" "$(awk -v k="$key" '$1 == k && $2 == "=" { print $3; exit }' "$top/etc/zarvik_smf.conf")"
  done
  conf_set Actions Infected redirect
  start_all
  send eicar bob@localhost "${attach_eicar[@]}"
  sent_ok eicar
  wait_mail root 2
  # A looping copy comes back within a second each round; give the queue time to show it.
  sleep 5
  queue_left=$(find "$D/mqueue" "$D/clientmqueue" -type f 2>/dev/null | wc -l)
  [ "$queue_left" -eq 0 ] || bad "$queue_left file(s) left in the queues"
  # Each mail by its own Subject: header, the first one (a notice quotes the message's).
  subject_of() { grep -m1 "^Subject:" "$1"; }
  copies=0 notices=0 copy=
  for m in $(mailbox root); do
    case "$(subject_of "$m")" in
    "Subject: eicar") copies=$((copies + 1)) copy=$m ;;
    "Subject: Anti-virus alert: eicar") notices=$((notices + 1)) ;;
    esac
  done
  [ "$copies" -eq 1 ] || bad "root got $copies redirected copies, expected 1"
  [ "$notices" -eq 1 ] || bad "root got $notices notices, expected 1"
  [ "$(count root)" -eq 2 ] || bad "root got $(count root) messages, expected 2"
  [ "$(count bob)" -eq 0 ] || bad "the redirected message was delivered to bob"
  grep -q "WDVPIVAlQEFQWzRcUFpYNTQoUF4pN0NDKTd9JEVJQ0FS" "$copy" 2>/dev/null ||
    bad "the redirected copy lost the attachment"
  ! grep -qi "^X-zarvik-hash:" $(mailbox root) || bad "a delivered message kept the filter's mark"
  grep -q "message is the filter's own copy" "$D/syslog" || bad "the copy was not known by its mark"
  # The message and the administrator's notice (FastNotify off); never the copy.
  expect_scans 2
  ;;
cure_local | cure_streamed)
  # Cured: bob gets the message without the virus; with local scanning the filter
  # replaces the body, streamed the cured copy is submitted anew, with the filter's mark,
  # and passes the filter unscanned (it was scanned just now).
  conf_set Actions Infected cure
  conf_set VirusNotifications AdminNotify no
  [ "$case_name" = cure_streamed ] && conf_set Scanning LocalScan no
  start_all
  send eicar bob@localhost "${attach_eicar[@]}"
  sent_ok eicar
  wait_mail bob 1
  has bob "the attachment is the test file" || bad "the cured message lost its text part"
  ! grep -q "EICAR-STANDARD-ANTIVIRUS-TEST-FILE\|WDVPIVAlQEFQWzRcUFpYNTQoUF4pN0NDKTd9JEVJQ0FS" $(mailbox bob) ||
    bad "the delivered message still holds the test file"
  quiet_mail
  [ "$(count bob)" -eq 1 ] || bad "bob got $(count bob) messages"
  ! grep -qi "^X-zarvik-hash:" $(mailbox bob) || bad "the cured copy kept the filter's mark"
  expect_scans 1
  ;;
sighup)
  # SIGHUP during traffic: the lists are reloaded and no message is lost.
  printf '[version=2]\ndeny from exact nobody@example.org\n' >"$D/deny.list"
  conf_set Scanning DenyList "$D/deny.list"
  start_all
  senders=()
  for s in 1 2 3 4; do
    (for m in 1 2 3 4 5; do send "hup$s-$m" bob@localhost; done) &
    senders+=($!)
  done
  for _ in $(seq 10); do
    kill -HUP "$filter_pid"
    sleep 0.3
  done
  wait "${senders[@]}"
  for s in 1 2 3 4; do for m in 1 2 3 4 5; do sent_ok "hup$s-$m"; done; done
  wait_mail bob 20
  quiet_mail
  [ "$(count bob)" -eq 20 ] || bad "bob got $(count bob) of 20 messages"
  kill -0 "$filter_pid" 2>/dev/null || bad "the filter stopped on SIGHUP"
  grep -q "reloading - OK" "$D/syslog" || bad "the filter logged no reload"
  ;;
filter_down)
  # F=T: with no filter listening, sendmail refuses for now.
  start_sendmail
  send down bob@localhost
  said down "451 4.3.2" || bad "no 451 4.3.2 with the filter down: $(tail -5 "$D/down.smtp")"
  [ "$(status down)" != 0 ] || bad "swaks succeeded with the filter down"
  quiet_mail
  [ "$(count bob)" -eq 0 ] || bad "a message was delivered with the filter down"
  ;;
*)
  echo "unknown case $case_name"
  exit 2
  ;;
esac

# The filter and zvscand must stop cleanly on SIGTERM, without a sanitizer report in the
# sanitizer builds; whatever else runs ends with the namespace.
stop_checked() {  # stop_checked NAME PID LOG
  kill -TERM "$2" 2>/dev/null
  wait "$2"
  local status=$?
  [ $status -eq 0 ] || bad "$1 exited with status $status on SIGTERM"
  if grep -q "Sanitizer\|runtime error" "$3"; then bad "$1 reported a sanitizer error (see $(basename "$3"))"; fi
}
[ -n "${filter_pid:-}" ] && stop_checked zarvik-smf "$filter_pid" "$D/filter.log"
[ -n "${zvscand_pid:-}" ] && stop_checked zvscand "$zvscand_pid" "$D/zvscand.log"

[ $fail -eq 0 ] && echo "ok: mta $case_name"
exit $fail

#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need, when any is missing.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libmilter-dev libssl-dev libgmime-3.0-dev libclamav-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  miltertest ccache
  debhelper man-db groff-base systemd adduser
  sendmail-bin sendmail-cf m4 swaks socat iproute2
  clang-16 libclang-rt-16-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq

# No service that a package brings (sendmail) may start on this machine: a policy-rc.d
# that refuses every start is in place while installing, unless one is there already.
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
  $sudo chmod 0755 "$policy"
  trap '$sudo rm -f "$policy"' EXIT
fi
# sendmail's scripts wait a minute when the host name is not fully qualified. They run
# in a private mount namespace that sees a hosts file naming this host fully, so the
# machine's own /etc/hosts stays as it is.
hosts=$(mktemp)
host=$(hostname)
{
  printf '127.0.0.1 %s.localdomain %s localhost\n::1 %s.localdomain %s\n' "$host" "$host" "$host" "$host"
  cat /etc/hosts
} >"$hosts"
chmod 0644 "$hosts"
$sudo unshare --mount --propagation private sh -c \
  'mount --bind "$1" /etc/hosts && shift && exec "$@"' deps "$hosts" \
  apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
rm -f "$hosts"

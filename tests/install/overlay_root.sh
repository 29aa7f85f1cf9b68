# Sourced by the installation tests: runs a command as root in a throw-away copy of this
# machine's root file system, so that an installation can be tried without changing the
# machine's own files.
#
# overlay_run TREE COMMAND...
#   In a private mount namespace, lays a writable layer on a tmpfs over "/", copies the
#   files of TREE (a staging tree, may be empty) into that layer, binds /proc, /sys and
#   /dev, and runs COMMAND chrooted there. Everything written is gone when it returns.
#   Needs root; fails with a message otherwise.

overlay_need_root() {
  if [ "$(id -u)" -ne 0 ] || ! unshare --mount true 2>/dev/null; then
    echo "FAIL: this test needs root and mount namespaces (CI runs it as root)" >&2
    exit 1
  fi
}

overlay_run() {
  local tree=$1
  shift
  local base
  base=$(mktemp -d)
  # shellcheck disable=SC2016
  unshare --mount --propagation private bash -c '
    set -e
    base=$1 tree=$2
    shift 2
    mount -t tmpfs -o mode=0755 tmpfs "$base"
    mkdir "$base/upper" "$base/work" "$base/root"
    if [ -n "$tree" ]; then cp -a "$tree/." "$base/upper/"; fi
    mount -t overlay overlay -o "lowerdir=/,upperdir=$base/upper,workdir=$base/work" "$base/root"
    for d in proc sys dev; do mount --rbind "/$d" "$base/root/$d"; done
    mount -t tmpfs -o mode=1777 tmpfs "$base/root/tmp"
    mount -t tmpfs -o mode=0755 tmpfs "$base/root/run"
    exec chroot "$base/root" "$@"
  ' overlay "$base" "$tree" "$@"
  local status=$?
  rmdir "$base" 2>/dev/null
  return $status
}

# On a merged-/usr system /lib is a link to usr/lib: a staging tree's lib/ must go there
# too, or copying it over "/" would hide the system's libraries.
overlay_merge_usr() {
  local tree=$1
  if [ -L /lib ] && [ -d "$tree/lib" ]; then
    mkdir -p "$tree/usr/lib"
    cp -a "$tree/lib/." "$tree/usr/lib/"
    rm -rf "$tree/lib"
  fi
}

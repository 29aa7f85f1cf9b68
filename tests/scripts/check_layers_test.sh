#!/usr/bin/env bash
# The layer check must refuse an upward include, an include it cannot find and a header name
# used twice, and accept includes that point down or across. Runs on small synthetic trees.
set -uo pipefail
check="$(cd "$(dirname "$0")/../.." && pwd)/scripts/check_layers.sh"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail=0

tree() {
  rm -rf "$tmp/t" && mkdir -p "$tmp/t/lib/foundation" "$tmp/t/lib/filter" "$tmp/t/client" \
    "$tmp/t/smf" "$tmp/t/tools/zvx"
  : >"$tmp/t/lib/foundation/zv_log.h"
  printf '#include "zv_log.h"\n' >"$tmp/t/client/zvc_ipc.h"
  printf '#include "zvc_ipc.h"\n#include "zv_log.h"\n' >"$tmp/t/lib/filter/zv_mail.h"
  printf '#include "zv_mail.h"\n' >"$tmp/t/smf/zarvik_smf.cpp"
  printf '#include "zvx.h"\n#include "zvc_ipc.h"\n' >"$tmp/t/tools/zvx/zvx.cpp"
  : >"$tmp/t/tools/zvx/zvx.h"
}

expect() {  # expect STATUS WHAT PATTERN
  local out rc
  out=$(bash "$check" "$tmp/t" 2>&1)
  rc=$?
  if [[ $rc -ne $1 ]] || ! grep -q -- "$3" <<<"$out"; then
    echo "FAIL: $2: status $rc, output:"
    echo "$out"
    fail=1
  else
    echo "ok: $2"
  fi
}

tree
expect 0 "a tree whose includes point down" "every include points down"
tree
printf '#include "zv_mail.h"\n' >>"$tmp/t/client/zvc_ipc.h"
expect 1 "client including a filter module" 'client/zvc_ipc.h:2: the client layer includes "zv_mail.h" of the filter layer'
tree
printf '#include "zvc_ipc.h"\n' >"$tmp/t/lib/foundation/zv_log.cpp"
expect 1 "foundation including the client" 'the foundation layer includes "zvc_ipc.h" of the client layer'
tree
printf '#include "zarvik_smf.h"\n' >"$tmp/t/lib/filter/zv_files.cpp"
: >"$tmp/t/smf/zarvik_smf.h"
expect 1 "filter including the front-end" 'the filter layer includes "zarvik_smf.h" of the front-end/tools layer'
tree
printf '#include "lib/filter/zv_mail.h"\n' >>"$tmp/t/smf/zarvik_smf.cpp"
expect 1 "an include through the repository root" 'is not a header of the product'
tree
: >"$tmp/t/client/zv_log.h"
expect 1 "one header name in two layers" 'header name zv_log.h is used twice'
exit $fail

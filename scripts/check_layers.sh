#!/usr/bin/env bash
# Fails when a source file includes a header from a layer above its own. The layers, lowest
# first: lib/foundation, client, lib/filter, then smf and tools side by side at the top.
# A quoted include is looked up in the including file's folder, then in every layer's
# folders; one that is found nowhere is an error too, so a misspelt path cannot slip past.
# Usage: scripts/check_layers.sh [TREE]   (the repository by default)
set -euo pipefail
root="${1:-$(cd "$(dirname "$0")/.." && pwd)}"
cd "$root"

layer_of() {
  case "$1" in
    lib/foundation/*) echo 0 ;;
    client/*) echo 1 ;;
    lib/filter/*) echo 2 ;;
    smf/* | tools/*) echo 3 ;;
    *) echo -1 ;;
  esac
}
layer_name=(foundation client filter "front-end/tools")

# Every header of the product, by base name.
declare -A where
while IFS= read -r h; do
  b=$(basename "$h")
  if [[ -n "${where[$b]:-}" ]]; then
    echo "check_layers: header name $b is used twice: ${where[$b]} and $h" >&2
    exit 1
  fi
  where[$b]=$h
done < <(find lib/foundation client lib/filter smf tools -name '*.h' 2>/dev/null | sort)

bad=0
while IFS= read -r f; do
  own=$(layer_of "$f")
  while IFS=: read -r line inc; do
    inc=${inc#*\"}
    inc=${inc%%\"*}
    if [[ -f "$(dirname "$f")/$inc" ]]; then
      target="$(dirname "$f")/$inc"
    elif [[ -n "${where[$(basename "$inc")]:-}" && "$inc" != */* ]]; then
      target=${where[$inc]}
    else
      echo "$f:$line: include \"$inc\" is not a header of the product" >&2
      bad=1
      continue
    fi
    tl=$(layer_of "$target")
    if ((tl > own)); then
      echo "$f:$line: the ${layer_name[$own]} layer includes \"$inc\" of the ${layer_name[$tl]} layer" >&2
      bad=1
    fi
  done < <(grep -n '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$f" || true)
done < <(find lib/foundation client lib/filter smf tools \( -name '*.h' -o -name '*.cpp' \) 2>/dev/null | sort)

if ((bad)); then
  echo "check_layers: includes that point up a layer or nowhere (see above)" >&2
  exit 1
fi
echo "check_layers: every include points down or across its own layer"

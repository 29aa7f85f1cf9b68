#!/usr/bin/env bash
# Builds the fuzz targets (preset fuzz), writes each target's seed corpus from the
# repository and runs the targets one after the other. Inputs that a run finds new go to
# build/fuzz/corpus/TARGET and are kept between runs; a crash leaves its input in
# build/fuzz/artifacts/ and fails the script.
# Usage: fuzz/run.sh [LIBFUZZER_OPTION...] [TARGET...]
#   fuzz/run.sh -runs=20000                  every target, 20000 inputs each
#   fuzz/run.sh -max_total_time=600 fuzz_mime
set -euo pipefail
cd "$(dirname "$0")/.."

options=()
targets=()
for a in "$@"; do
  if [[ "$a" == -* ]]; then options+=("$a"); else targets+=("$a"); fi
done
[ ${#options[@]} -gt 0 ] || options=(-runs=20000)
if [ ${#targets[@]} -eq 0 ]; then
  targets=(fuzz_conf fuzz_users fuzz_viruses fuzz_addresses fuzz_mailutil fuzz_report
    fuzz_client_answer fuzz_scand_request fuzz_mime)
fi

bash scripts/deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
bin=build/fuzz/fuzz
# Stack traces of a finding need a symbolizer; any installed version reads the binaries.
for s in llvm-symbolizer-16 llvm-symbolizer llvm-symbolizer-14; do
  if command -v "$s" >/dev/null; then
    export ASAN_SYMBOLIZER_PATH="$(command -v "$s")"
    break
  fi
done
mkdir -p build/fuzz/artifacts
for t in "${targets[@]}"; do
  seeds=build/fuzz/seeds/$t
  corpus=build/fuzz/corpus/$t
  rm -rf "$seeds"
  mkdir -p "$corpus"
  "$bin/zv_fuzz_seeds" "$t" "$seeds" "$PWD"
  echo "fuzz: $t ${options[*]}"
  # A single input that takes seconds or hundreds of megabytes is a finding too.
  "$bin/$t" "${options[@]}" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="build/fuzz/artifacts/$t-" "$corpus" "$seeds" 2>"build/fuzz/$t.log" || {
    tail -n 60 "build/fuzz/$t.log"
    echo "fuzz: $t FAILED (log: build/fuzz/$t.log)" >&2
    exit 1
  }
  grep -E '^(#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units)' "build/fuzz/$t.log" || true
done
echo "fuzz: every target ran without a finding"

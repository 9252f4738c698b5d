#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each one for
# SECONDS (default 10) over a copy of its seed corpus in fuzz/corpus/<target>/.
# Fails when a target crashes, leaks or breaks one of its properties; the
# input that did it is kept in build-fuzz/artifacts/.
#   fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/build-fuzz
seconds=${1:-10}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(config_scanner_fuzz get_line_fuzz split_fuzz credentials_fuzz session_file_fuzz
           iptables_parse_fuzz ipset_parse_fuzz shaper_text_fuzz)
fi

CC=clang CXX=clang++ cmake -S "$here" -B "$build" -DZARN_FUZZ=ON -DZARN_TESTS=OFF -DZARN_WERROR=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

mkdir -p "$build/artifacts" "$build/logs"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=()
for t in "${targets[@]}"; do
  corpus=$work/$t
  mkdir -p "$corpus"
  cp -r "$here/fuzz/corpus/$t/." "$corpus/"
  log=$build/logs/$t.log
  echo "== fuzz $t (${seconds}s)"
  asan=detect_leaks=1
  lsan=
  # A target with leak suppressions names library routines deep in the stack:
  # unwind fully so that they are seen.
  if [ -f "$here/fuzz/$t.lsan" ]; then
    asan=$asan:fast_unwind_on_malloc=0
    lsan=suppressions=$here/fuzz/$t.lsan:print_suppressions=0
  fi
  if (cd "$work" && ASAN_OPTIONS=$asan LSAN_OPTIONS=$lsan UBSAN_OPTIONS=print_stacktrace=1 \
        "$build/fuzz/$t" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$t-" "$corpus") >"$log" 2>&1; then
    grep -E '^#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units' "$log" || true
  else
    echo "FAILED: $t (log $log)"
    tail -n 40 "$log"
    failed+=("$t")
  fi
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz targets that failed: ${failed[*]}"
  exit 1
fi

#!/usr/bin/env bash
# Builds the fuzz targets (clang++ with libFuzzer, ASan+UBSan, into build-fuzz/) and runs each for
# SECONDS on a copy of its corpus in fuzz/corpus/, so the checkout stays clean. Fails on any
# finding (crash, sanitizer report, mismatch, leak, timeout, out of memory); the input that caused
# it is kept in build-fuzz/findings/<target>/.
# Usage: scripts/fuzz.sh SECONDS
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

if [ $# -ne 1 ] || ! [[ $1 =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 SECONDS" >&2
  exit 2
fi
seconds=$1
build=$root/build-fuzz

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DVORN_FUZZ=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target vorn_fuzzers

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

failed=()
while read -r target; do
  [ -n "$target" ] || continue
  corpus=$work/$target
  findings=$build/findings/$target
  mkdir -p "$corpus" "$findings"
  if [ -d "$root/fuzz/corpus/$target" ]; then
    cp -R "$root/fuzz/corpus/$target/." "$corpus/"
  fi
  options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
    -artifact_prefix="$findings/")
  if [ -f "$root/fuzz/$target.dict" ]; then
    options+=(-dict="$root/fuzz/$target.dict")
  fi
  echo "== $target: ${seconds} s"
  # No input on stdin: fuzz_cli may name /dev/stdin as a settings file.
  if "$build/$target" "${options[@]}" "$corpus" </dev/null >"$work/$target.log" 2>&1; then
    grep -E '^(Done|stat::number_of_executed_units)' "$work/$target.log" || true
    grep -E '(DONE|INITED) .*cov:' "$work/$target.log" | tail -1 || true
  else
    tail -n 60 "$work/$target.log"
    echo "== $target: FINDING (inputs in $findings)" >&2
    failed+=("$target")
  fi
done <"$build/fuzz-targets.txt"

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found faults in: ${failed[*]}" >&2
  exit 1
fi
echo "fuzzing: no findings"

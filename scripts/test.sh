#!/usr/bin/env bash
# Installs what the tests need, builds, and runs the whole suite: the normal build (unit,
# simulation and real-backend integration tests), then the unit and simulation tests again under
# AddressSanitizer+UndefinedBehaviorSanitizer and under ThreadSanitizer, then every fuzz target for
# 60 s (VORN_SKIP_FUZZ=1 skips that stage).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

bash scripts/install-deps.sh

configure_and_build() {
  local dir=$1
  shift
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_SEQUENCE_CHECKS=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

echo "== normal build"
configure_and_build build
# The package test unpacks this package; made from the build above, so it only copies and packs.
cmake --build build --target package >/dev/null
(cd build && ctest --output-on-failure -j "$jobs" --timeout 600)

if [ "${VORN_SKIP_SANITIZERS:-0}" != "1" ]; then
  echo "== address+undefined sanitizer build (unit and simulation tests)"
  configure_and_build build-asan -DVORN_SANITIZE=address,undefined -DVORN_LINUX_BACKEND=OFF \
    -DVORN_BENCHMARKS=OFF
  (cd build-asan && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j "$jobs")

  echo "== thread sanitizer build (unit and simulation tests)"
  configure_and_build build-tsan -DVORN_SANITIZE=thread -DVORN_LINUX_BACKEND=OFF \
    -DVORN_BENCHMARKS=OFF
  (cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j "$jobs")
fi

if [ "${VORN_SKIP_FUZZ:-0}" != "1" ]; then
  echo "== fuzzing (each target 60 s under address+undefined sanitizers)"
  bash scripts/fuzz.sh 60
fi

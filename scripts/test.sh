#!/usr/bin/env bash
# Builds Flashwright and runs every test: the normal build, the whole suite
# under AddressSanitizer + UndefinedBehaviorSanitizer, and the concurrency
# tests under ThreadSanitizer. Each build has its own folder.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)

run_build() {  # folder, ctest filter args, cmake args...
  local dir=$1; shift
  local filter=$1; shift
  echo "=== $dir"
  cmake -S . -B "$dir" -DFLASHWRIGHT_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  # shellcheck disable=SC2086
  $runner ctest --test-dir "$dir" --output-on-failure -j"$jobs" $filter
}

runner=

run_build build "" -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_build build-asan "" -DCMAKE_BUILD_TYPE=Debug -DFLASHWRIGHT_SANITIZE=address -DFLASHWRIGHT_BENCH=OFF
# ThreadSanitizer of this compiler cannot map its shadow memory on kernels
# with wide address-space randomisation: run its tests without randomisation.
if setarch "$(uname -m)" -R true 2>/dev/null; then runner="setarch $(uname -m) -R"; fi
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  run_build build-tsan "-R Concurrency" -DCMAKE_BUILD_TYPE=Debug -DFLASHWRIGHT_SANITIZE=thread -DFLASHWRIGHT_BENCH=OFF
echo "All tests passed."

#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the whole suite on the
# normal build, then the unit tests again on a build with AddressSanitizer,
# LeakSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KORVEX_BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh" build test

# The tests and benchmarks on, whatever an earlier demo.sh left in the cache.
KORVEX_BUILD_DIR=$build "$root/scripts/build.sh" -DKORVEX_TESTS=ON -DKORVEX_BENCH=ON
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"

KORVEX_BUILD_DIR=$build-sanitize "$root/scripts/build.sh" -DKORVEX_SANITIZE=ON
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$build-sanitize" --output-on-failure -j "$(nproc)" -L unit

# A short fuzz run of every target from its seeds; a failing input fails the run.
KORVEX_FUZZ_BUILD_DIR=$build-fuzz "$root/scripts/fuzz.sh" "${KORVEX_FUZZ_SECONDS:-45}"

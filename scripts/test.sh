#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the whole suite on the
# normal build, then the unit tests again on a build with AddressSanitizer,
# LeakSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KORVEX_BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh"

KORVEX_BUILD_DIR=$build "$root/scripts/build.sh"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"

KORVEX_BUILD_DIR=$build-sanitize "$root/scripts/build.sh" -DKORVEX_SANITIZE=ON
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$build-sanitize" --output-on-failure -j "$(nproc)" -L unit

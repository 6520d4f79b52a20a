#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the whole suite on the
# normal build; the unit tests again on a build with AddressSanitizer,
# LeakSanitizer and UndefinedBehaviorSanitizer; every libFuzzer target from its
# seed corpus on a clang build (scripts/fuzz.sh builds the same).
#
# Once the normal build is done the three run side by side: the QEMU tests'
# guests spend much of their time waiting (the dump's pause, the update's
# polls, bounded waits), which leaves the cores to the other two builds and
# their tests. Each one's output goes to a log that is printed when it ends.
#   KORVEX_BUILD_DIR     the normal build (build/); the others: its name + -sanitize, -fuzz
#   KORVEX_FUZZ_SECONDS  seconds per fuzz target (45)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KORVEX_BUILD_DIR:-$root/build}
sanitize=$build-sanitize
fuzz=$build-fuzz
cores=$(nproc)
start=$(date +%s)
say() { echo "== $(( $(date +%s) - start )) s: $*"; }

"$root/scripts/install-deps.sh" build test
say "dependencies in place"

# The package test's Debian root is a download of a few minutes: it comes in
# beside the builds (the test waits for it, or makes it itself when alone).
mkdir -p "$build"
"$root/tests/system-package/package_root.sh" --prepare "$build" > "$build/package-root.log" 2>&1 &
prepare=$!

# The tests and benchmarks on, whatever an earlier demo.sh left in the cache.
KORVEX_BUILD_DIR=$build "$root/scripts/build.sh" -DKORVEX_TESTS=ON -DKORVEX_BENCH=ON
say "normal build done"

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

# The whole suite. More tests at once than there are cores: the QEMU guests
# mostly wait; each test's PROCESSORS (tests/system) say which do not.
ctest --test-dir "$build" --output-on-failure -j $((3 * cores)) > "$logs/suite.log" 2>&1 &
suite=$!

# The sanitizer build (GCC; its unit tests only), then those tests. One clang
# build for both this and the fuzz targets costs more than it saves: the
# fuzzer's coverage hooks in the libraries double the unit tests' time.
(
  set -e
  KORVEX_BUILD_DIR=$sanitize KORVEX_BUILD_TARGETS=korvex_tests "$root/scripts/build.sh" \
    -DKORVEX_SANITIZE=ON -DKORVEX_TESTS=ON -DKORVEX_BENCH=OFF
  echo "== $(( $(date +%s) - start )) s: sanitizer build done"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$sanitize" --output-on-failure -j "$cores" -L unit
) > "$logs/sanitize.log" 2>&1 &
sanitized=$!

# The fuzz targets (clang), each for its seconds, one per core, a little below
# the others' priority: they take the cycles the guests' waits leave, but not
# only those (at the lowest priority, on a busy machine, a target would run a
# few hundred inputs in its 45 s).
(
  set -e
  KORVEX_BUILD_DIR=$fuzz KORVEX_BUILD_TARGETS=korvex_fuzz "$root/scripts/build.sh" \
    -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_C_COMPILER=clang-14 -DKORVEX_FUZZ=ON -DKORVEX_TESTS=OFF -DKORVEX_BENCH=OFF
  echo "== $(( $(date +%s) - start )) s: fuzz build done"
  KORVEX_FUZZ_SECONDS=${KORVEX_FUZZ_SECONDS:-45} nice -n 5 ctest --test-dir "$fuzz" --output-on-failure \
    -j "$cores" -L fuzz
  # How much each target ran: with the cycles it got, not a fixed count.
  grep -E '^([0-9]+/[0-9]+ Testing: |#[0-9]+.*DONE)' "$fuzz/Testing/Temporary/LastTest.log" || true
) > "$logs/fuzz.log" 2>&1 &
fuzzed=$!

status=0
wait $suite || status=1
say "the whole suite ended"
cat "$logs/suite.log"
wait $sanitized || status=1
say "the sanitizer build's unit tests ended"
cat "$logs/sanitize.log"
wait $fuzzed || status=1
say "the fuzz targets ended"
cat "$logs/fuzz.log"
wait $prepare || true
say "done (status $status)"
exit $status

#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the whole suite on the
# normal build; the unit tests again on a build with AddressSanitizer,
# LeakSanitizer and UndefinedBehaviorSanitizer; every libFuzzer target from its
# seed corpus on a clang build (scripts/fuzz.sh builds the same).
#
# Once the normal build is done the three run side by side: the QEMU tests'
# guests spend much of their time waiting (the dump's pause, the update's
# polls, bounded waits), which leaves the cores to the other two builds, at
# a lower priority, and their tests. Each one's output goes to a log that is
# printed when it ends.
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

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
# The other two builds start now at a low priority, to take the cycles the
# normal build leaves (its links, its configuration); their tests wait for it.
normal_done() {
  while [ ! -e "$logs/normal-build-done" ]; do sleep 1; done
  [ "$(cat "$logs/normal-build-done")" = 0 ]
}

# The sanitizer build (GCC; its unit tests only), then those tests. One clang
# build for both this and the fuzz targets costs more than it saves: the
# fuzzer's coverage hooks in the libraries double the unit tests' time.
(
  set -e
  KORVEX_BUILD_DIR=$sanitize KORVEX_BUILD_TARGETS=korvex_tests nice -n 5 "$root/scripts/build.sh" \
    -DKORVEX_SANITIZE=ON -DKORVEX_TESTS=ON -DKORVEX_BENCH=OFF
  echo "== $(( $(date +%s) - start )) s: sanitizer build done"
  normal_done
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$sanitize" --output-on-failure -j "$cores" -L unit
) > "$logs/sanitize.log" 2>&1 &
sanitized=$!

# The fuzz targets (clang), each for its seconds, two per core at the lowest
# priority: they take the cycles that the QEMU guests' waits leave.
(
  set -e
  KORVEX_BUILD_DIR=$fuzz KORVEX_BUILD_TARGETS=korvex_fuzz nice -n 5 "$root/scripts/build.sh" \
    -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_C_COMPILER=clang-14 -DKORVEX_FUZZ=ON -DKORVEX_TESTS=OFF -DKORVEX_BENCH=OFF
  echo "== $(( $(date +%s) - start )) s: fuzz build done"
  normal_done
  KORVEX_FUZZ_SECONDS=${KORVEX_FUZZ_SECONDS:-45} nice -n 19 ctest --test-dir "$fuzz" --output-on-failure \
    -j "$((2 * cores))" -L fuzz
) > "$logs/fuzz.log" 2>&1 &
fuzzed=$!

# The tests and benchmarks on, whatever an earlier demo.sh left in the cache.
status=0
KORVEX_BUILD_DIR=$build "$root/scripts/build.sh" -DKORVEX_TESTS=ON -DKORVEX_BENCH=ON || status=1
echo $status > "$logs/normal-build-done"
say "normal build done"
if [ $status != 0 ]; then
  wait $sanitized $fuzzed || true
  exit 1
fi

# The whole suite. More tests at once than there are cores: the QEMU guests
# mostly wait; each test's PROCESSORS (tests/system) say which do not.
ctest --test-dir "$build" --output-on-failure -j $((3 * cores)) > "$logs/suite.log" 2>&1 &
suite=$!

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

#!/bin/sh
# Builds the benchmarks in Release and runs items 1 to 6; prints every ratio.
#   bench/run.sh [BUILD-DIR]      (default build-bench, inside the checkout)
# Reports only: a ratio that misses its goal does not fail the script.
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build-bench}
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVEX_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target update_bench scan_bench memory_bench jobs_bench korvex-sim >/dev/null
# kcs.cfg in the current directory would move the ports: run where there is none.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
echo "== $(date -u '+%Y-%m-%d %H:%M UTC') on $(uname -m), $(nproc) cores"
"$build/bench/update_bench"
"$build/bench/scan_bench"
"$build/bench/memory_bench" "$build/tools/korvex-sim"
"$build/bench/jobs_bench"

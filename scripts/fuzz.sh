#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while against
# its committed seed corpus (fuzz/corpus/NAME). New inputs go to a scratch
# folder, never into the repository.
#   scripts/fuzz.sh [SECONDS-PER-TARGET] [TARGET...]
# KORVEX_FUZZ_PARALLEL=1 runs the targets side by side at the lowest CPU
# priority (the long runs); KORVEX_FUZZ_WORK=DIR keeps the grown corpora,
# the logs and any failing input in DIR instead of a folder removed at exit.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KORVEX_FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${1:-60}
shift || true
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_C_COMPILER=clang-14 -DKORVEX_FUZZ=ON -DKORVEX_TESTS=OFF > /dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in "$root"/fuzz/fuzz_*.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"
run_one() {
  local t=$1
  "$root/fuzz/run_target.sh" "$build/fuzz/$t" "$root/fuzz/corpus/${t#fuzz_}" "$seconds" > "$logs/$t.log" 2>&1
}
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

if [ "${KORVEX_FUZZ_PARALLEL:-0}" = 1 ]; then
  for t in "${targets[@]}"; do
    echo "== $t: ${seconds}s (side by side)"
    nice -n 19 bash -c "$(declare -f run_one); build='$build' root='$root' logs='$logs' seconds='$seconds' run_one $t" &
  done
  wait
else
  for t in "${targets[@]}"; do
    echo "== $t: ${seconds}s"
    run_one "$t" || true
  done
fi

failed=0
for t in "${targets[@]}"; do
  echo "-- $t"
  cat "$logs/$t.log"
  grep -q "failed (status" "$logs/$t.log" && failed=1
done
exit $failed

#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while against
# its committed seed corpus (fuzz/corpus/NAME). New inputs go to a scratch
# folder, never into the repository.
#   scripts/fuzz.sh [SECONDS-PER-TARGET] [TARGET...]
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
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for t in "${targets[@]}"; do
  name=${t#fuzz_}
  mkdir -p "$scratch/$name"
  echo "== $t: ${seconds}s"
  ASAN_OPTIONS=detect_leaks=1 "$build/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$scratch/$name-" -print_final_stats=1 "$scratch/$name" "$root/fuzz/corpus/$name" 2>&1 \
    | grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY)' || true
  if ls "$scratch/$name-"* > /dev/null 2>&1; then
    echo "$t found a failing input:" >&2
    ls "$scratch/$name-"* >&2
    exit 1
  fi
done

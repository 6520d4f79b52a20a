#!/usr/bin/env bash
# Configures and builds everything into build/ (or $KORVEX_BUILD_DIR), or only
# the targets named in $KORVEX_BUILD_TARGETS.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KORVEX_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" > /dev/null
targets=()
for t in ${KORVEX_BUILD_TARGETS:-}; do targets+=(--target "$t"); done
cmake --build "$build" -j "$(nproc)" "${targets[@]}"

#!/usr/bin/env bash
# Installs what the build needs, builds the two programs the demo runs (no
# tests, benchmarks or fuzzers), and runs the main job (a firmware update)
# against the simulated BMC. `cmake --build build` builds the rest.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KORVEX_BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh" build
# A build folder that exists keeps its settings (a developer's, with tests).
options=()
[ -f "$build/CMakeCache.txt" ] || options=(-DKORVEX_TESTS=OFF -DKORVEX_BENCH=OFF)
KORVEX_BUILD_DIR=$build KORVEX_BUILD_TARGETS="korvex-sim korvex-pack" "$root/scripts/build.sh" "${options[@]}"
PATH="$build/tools:$PATH" bash "$root/scripts/update-demo.sh"

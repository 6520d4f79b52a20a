#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job (a firmware update)
# against the simulated BMC.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KORVEX_BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c 65536 /dev/urandom > "$work/fw.bin"
cd "$work"
"$build/tools/korvex-sim" --stats -- -f fw.bin -i kcs -r y

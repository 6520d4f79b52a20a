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
cd "$work"
# A 32 MiB package of two parts with an enciphered footer, as a BMC maker ships one.
head -c 200000 /dev/urandom > boot.bin
head -c 70000 /dev/urandom > webfs.bin
"$build/tools/korvex-pack" build --part boot.bin=boot.bin@0x0 --part out_webfs_img.bin=webfs.bin@0x100000 \
  --signature korvex-demo-1.0@0x1f00000 --footer enc -o fw.bin
"$build/tools/korvex-pack" inspect fw.bin
echo
"$build/tools/korvex-sim" --stats --bmc-save-flash=flash.bin -- -f fw.bin -i kcs -r y
echo
"$build/tools/korvex-pack" verify-dump fw.bin flash.bin

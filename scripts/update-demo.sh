#!/usr/bin/env bash
# The update demo, with the programs found on PATH (a build's tools/ folder or
# an installed package): builds a package with korvex-pack, updates the
# simulated BMC's firmware from it with korvex-sim, and checks the BMC's flash
# against the package.
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
# A 32 MiB package of two parts with an enciphered footer, as a BMC maker ships one.
head -c 200000 /dev/urandom > boot.bin
head -c 70000 /dev/urandom > webfs.bin
korvex-pack build --part boot.bin=boot.bin@0x0 --part out_webfs_img.bin=webfs.bin@0x100000 \
  --signature korvex-demo-1.0@0x1f00000 --footer enc -o fw.bin
korvex-pack inspect fw.bin
echo
korvex-sim --stats --bmc-save-flash=flash.bin -- -f fw.bin -i kcs -r y
echo
korvex-pack verify-dump fw.bin flash.bin

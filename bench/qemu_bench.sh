#!/bin/sh
# Item 7, by hand: the update and empty-request rates through QEMU's KCS
# device and korvex-bmcd (QEMU under TCG; takes minutes).
#   bench/qemu_bench.sh [BUILD-DIR] [--part BYTES] [--dump BYTES]
# BUILD-DIR (default build) must hold Korvex.efi, korvex-bmcd, korvex-sim and korvex-pack.
here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/build
case "$1" in --*|"") ;; *) build=$1; shift ;; esac
exec python3 "$here/bench/qemu_bench.py" --build-dir "$build" "$@"

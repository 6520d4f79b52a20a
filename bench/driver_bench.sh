#!/bin/sh
# Item 10, by hand: the tool's update over the raw KCS ports and through the
# kernel's IPMI driver (/dev/ipmi0), in requests per second, in one Linux
# guest under QEMU (TCG) with korvex-bmcd as the BMC; takes a few minutes.
#   bench/driver_bench.sh [BUILD-DIR] [PART-BYTES]
# BUILD-DIR (default build) must hold korvex-static, korvex-sim, korvex-bmcd,
# korvex-pack and ipmi-client; PART-BYTES is the package's one part (default
# 262144). Exit status 77 when something is missing.
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
[ -n "$2" ] && export KORVEX_BENCH_PART=$2
exec "$here/tests/system-linux/linux_guest.sh" driver-bench "$build/tools/korvex/korvex-static" \
  "$build/tools/korvex-sim" "$build/tools/korvex-bmcd/korvex-bmcd" "$build/tools/korvex-pack" \
  "$build/tests/system-linux/ipmi-client"

#!/usr/bin/env bash
# Installs, from Debian's archive, whatever of the project's dependencies is
# missing. Run as root on Debian 12.
#   scripts/install-deps.sh [build] [test]      (no set named: both)
# build: what the programs, Korvex.efi, Korvex.img and the .deb need: the
#        least that the first command (scripts/demo.sh) waits for.
# test:  what the tests, benchmarks and fuzzers need on top of that.
set -euo pipefail
build=(
  g++ cmake ninja-build
  libssl-dev
  gnu-efi binutils mtools dosfstools
)
test=(
  build-essential dpkg-dev file pkg-config
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  openssl
  clang-14 lld-14 libclang-rt-14-dev
  qemu-system-x86 ovmf
  python3
  linux-image-amd64 busybox-static cpio
  debootstrap lintian
)
sets=("$@")
[ ${#sets[@]} -gt 0 ] || sets=(build test)
packages=()
for s in "${sets[@]}"; do
  case $s in
    build) packages+=("${build[@]}") ;;
    test) packages+=("${build[@]}" "${test[@]}") ;;
    *) echo "install-deps.sh: unknown set '$s' (build, test)" >&2; exit 2 ;;
  esac
done
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

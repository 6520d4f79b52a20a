#!/usr/bin/env bash
# Installs, from Debian's archive, whatever of the project's build and test
# dependencies is missing. Run as root on Debian 12.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libssl-dev openssl
  clang-14 lld-14 libclang-rt-14-dev
  gnu-efi binutils
  qemu-system-x86 ovmf mtools dosfstools
  python3
  linux-image-amd64 busybox-static cpio
  openipmi ansible-core
)
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

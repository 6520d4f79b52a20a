#!/usr/bin/env bash
# Times the README's first command as a new user meets it: a fresh Debian 12
# root made by debootstrap, a clean clone of the repository in it, and
# `bash scripts/demo.sh` run there in a chroot. Every line the demo prints is
# stamped with the seconds since the clone began, so the phases show: apt's
# update, download and unpacking, CMake's configuration, the build, the demo.
# Run as root; needs debootstrap and Debian's archive.
#   bench/first_run.sh [REPOSITORY [COMMIT]]     (default: this clone's HEAD)
# The debootstrap tarball and the root made from it are kept in
# $KORVEX_FIRST_RUN_CACHE (default build/first-run), so a second run
# downloads only what demo.sh installs.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
repo=${1:-$here}
commit=${2:-$(git -C "$repo" rev-parse HEAD)}
cache=${KORVEX_FIRST_RUN_CACHE:-$here/build/first-run}
[ "$(id -u)" = 0 ] || { echo "first_run.sh: run as root (debootstrap, chroot)" >&2; exit 2; }
command -v debootstrap > /dev/null || { echo "first_run.sh: debootstrap is missing (apt-get install debootstrap)" >&2; exit 2; }

mkdir -p "$cache"
tarball=$cache/bookworm.tgz
if [ ! -f "$tarball" ]; then
  echo "making $tarball (once)"
  scratch=$(mktemp -d)
  debootstrap --make-tarball="$tarball.part" bookworm "$scratch" http://deb.debian.org/debian > "$cache/make-tarball.log"
  rm -rf "$scratch"
  mv "$tarball.part" "$tarball"
fi

target=$(mktemp -d /var/tmp/korvex-first-run.XXXXXX)
cleanup() {
  for m in dev/pts dev sys proc; do umount "$target/$m" 2> /dev/null || true; done
  rm -rf --one-file-system "$target"
}
trap cleanup EXIT
# The finished root is kept too: debootstrap's own unpacking takes minutes.
root_tar=$cache/bookworm-root.tar
if [ ! -f "$root_tar" ]; then
  echo "unpacking a fresh root (once)"
  debootstrap --unpack-tarball="$tarball" bookworm "$target" http://deb.debian.org/debian > "$cache/unpack.log"
  tar -C "$target" --numeric-owner -cf "$root_tar.part" .
  mv "$root_tar.part" "$root_tar"
else
  tar -C "$target" --numeric-owner -xpf "$root_tar"
fi
mount -t proc proc "$target/proc"
mount -t sysfs sys "$target/sys"
mount --bind /dev "$target/dev"
mount --bind /dev/pts "$target/dev/pts"

since() { awk -v now="$EPOCHREALTIME" -v then="$1" 'BEGIN { printf "%.1f", now - then }'; }
echo "load before: $(uptime)"
start=$EPOCHREALTIME
git clone -q "$repo" "$target/root/korvex"
git -C "$target/root/korvex" checkout -q "$commit"
set +e
chroot "$target" /usr/bin/env -i HOME=/root TERM=dumb PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  bash -c 'cd /root/korvex && bash scripts/demo.sh' 2>&1 |
  while IFS= read -r line; do
    printf '%7.1f  %s\n' "$(since "$start")" "$line"
  done
status=${PIPESTATUS[0]}
set -e
echo "load after: $(uptime)"
printf 'first run: %s s from the clone to the end of the demo (exit status %d)\n' "$(since "$start")" "$status"
exit "$status"

#!/usr/bin/env bash
# Builds the .deb from the build folder, installs it with dpkg into a fresh
# Debian 12 root, and runs there what a user of the package would.
#   package_root.sh BUILD-DIR VERSION SOURCE-DIR
#   package_root.sh --prepare BUILD-DIR     (only the root, for a later run)
set -euo pipefail
prepare_only=0
if [ "$1" = --prepare ]; then prepare_only=1; shift; fi
build=$1 version=${2:-} source=${3:-}
skip() { echo "skipped: $*"; exit 77; }
fail() { echo "FAILED: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || skip "needs root (debootstrap, chroot)"
command -v debootstrap > /dev/null || skip "debootstrap is not installed"

# A minimal root with what the package's users bring: man, and libssl3 (which
# the package must name in its dependencies, checked below). Made once, under
# a lock (scripts/test.sh makes it early, beside the builds, with --prepare);
# each run unpacks a copy of the finished root.
cache=$build/system-package
root_tar=$cache/bookworm-minbase-root.tar
mkdir -p "$cache"
exec 9> "$cache/root.lock"
flock 9
if [ ! -f "$root_tar" ]; then
  scratch=$(mktemp -d "$cache/make.XXXXXX")
  trap 'rm -rf --one-file-system "$scratch"' EXIT
  { debootstrap --variant=minbase --include=man-db,libssl3 --make-tarball="$cache/bookworm-minbase.tgz" \
      bookworm "$scratch/dl" http://deb.debian.org/debian &&
    debootstrap --variant=minbase --unpack-tarball="$cache/bookworm-minbase.tgz" bookworm "$scratch/root"; } \
    > "$cache/debootstrap.log" 2>&1 || fail "debootstrap could not make a Debian 12 root (see $cache/debootstrap.log)"
  tar -C "$scratch/root" --numeric-owner -cf "$root_tar.part" . && mv "$root_tar.part" "$root_tar"
  rm -rf --one-file-system "$scratch"
fi
flock -u 9
[ "$prepare_only" = 1 ] && exit 0

work=$(mktemp -d "$cache/run.XXXXXX")
trap 'rm -rf --one-file-system "$work"' EXIT
# step LOG COMMAND...: fails with the command's output when it fails.
step() { log=$work/$1; shift; "$@" > "$log" 2>&1 || { cat "$log"; fail "$*"; }; }
step cpack.log cpack -G DEB -B "$work/deb" --config "$build/CPackConfig.cmake"
deb=$work/deb/korvex_${version}_amd64.deb
[ -f "$deb" ] || fail "cpack made no $(basename "$deb")"

# The C and C++ runtime, and libssl3 for korvex-pack; nothing else. The
# declared list must be what dpkg-shlibdeps finds in the programs.
declared=$(dpkg-deb -f "$deb" Depends)
names=$(tr ',' '\n' <<< "$declared" | sed 's/(.*)//; s/ //g' | sort | tr '\n' ' ')
[ "$names" = "libc6 libgcc-s1 libssl3 libstdc++6 " ] || fail "the package depends on: $declared"
mkdir -p "$work/shlibs/debian" && touch "$work/shlibs/debian/control" && dpkg-deb -x "$deb" "$work/shlibs/pkg"
found=$(cd "$work/shlibs" && dpkg-shlibdeps -O pkg/usr/bin/* pkg/usr/sbin/* 2> /dev/null |
  sed -n 's/^shlibs:Depends=//p')
[ "$found" = "$declared" ] || fail "the package declares '$declared' but its programs need '$found'"
step lintian.log lintian --fail-on error "$deb"

root=$work/root
mkdir "$root"
tar -C "$root" --numeric-owner -xpf "$root_tar"
cp "$deb" "$root/tmp/korvex.deb"
cp "$source/scripts/update-demo.sh" "$root/tmp/"
in_root() { chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 "$@"; }
step dpkg.log in_root dpkg -i /tmp/korvex.deb
for f in /usr/lib/korvex/Korvex.efi /usr/lib/korvex/Korvex.img; do
  [ -s "$root$f" ] || fail "$f is not installed"
done
for program in korvex korvex-static korvex-stage korvex-sim korvex-pack korvex-bmcd; do
  if [ "$program" != korvex-static ]; then
    printed=$(in_root "$program" --version) || fail "$program --version"
    [ "$printed" = "$program $version" ] || fail "$program --version printed: $printed"
  fi
  page=$(in_root man -P cat "$program" 2> "$work/man.err") || { cat "$work/man.err"; fail "man $program"; }
  grep -q "^NAME" <<< "$page" || fail "man $program shows no NAME section"
  grep -q "$program" <<< "$page" || fail "man $program does not name it"
done
# With no job to do the tool prints its banner and exits 2, the usage status.
status=0
banner=$(in_root korvex-static) || status=$?
[ "$status" = 2 ] || fail "korvex-static with no arguments exited $status, not 2"
grep -q "IPMI FIRMWARE UPDATE UTILITY" <<< "$banner" || fail "korvex-static prints no banner"

step demo.log in_root bash /tmp/update-demo.sh
for expected in "enciphered footer accepted" "Update Complete" ": ok"; do
  grep -q "$expected" "$work/demo.log" || { cat "$work/demo.log"; fail "the update demo printed no '$expected'"; }
done
echo "korvex_${version}_amd64.deb: lintian, installed, the update demo, manual pages and --version pass"

#!/usr/bin/env bash
# Signs a UEFI image for Secure Boot and checks the signature against the
# certificate before the signed image takes the output's name, so that a
# failed or wrong signature never leaves a file there.
#   sign.sh KEY CERT UNSIGNED SIGNED
# KEY: the private key (PEM, not encrypted); CERT: its certificate (PEM).
set -euo pipefail
if [ $# -ne 4 ]; then
  echo "usage: sign.sh KEY CERT UNSIGNED SIGNED" >&2
  exit 2
fi
key=$1 cert=$2 in=$3 out=$4
for tool in sbsign sbverify; do
  command -v "$tool" > /dev/null || { echo "sign.sh: $tool not found (Debian package sbsigntool)" >&2; exit 1; }
done
tmp="$out.signing"
trap 'rm -f "$tmp"' EXIT
# gnu-efi's images have bytes between their sections, which the signature
# covers too; sbsign and sbverify warn about them at every run.
quiet() { "$@" 2>&1 >/dev/null | { grep -v -e 'gaps between PE/COFF sections' -e '^Signing Unsigned original image' || true; } >&2; }
quiet sbsign --key "$key" --cert "$cert" --output "$tmp" "$in"
[ -s "$tmp" ] || { echo "sign.sh: sbsign made no signed image" >&2; exit 1; }
sbverify --cert "$cert" "$tmp" > /dev/null 2>&1 ||
  { echo "sign.sh: the signature of $out does not verify against $cert" >&2; exit 1; }
mv -f "$tmp" "$out"

#!/usr/bin/env bash
# Fails when the linked UEFI image needs anything gnu-efi's start-up code does
# not do: it applies only R_X86_64_RELATIVE relocations (skipping others
# without a word, which leaves pointers and tables silently wrong) and never
# runs constructors of globals.
set -euo pipefail
so=$1
bad=$(readelf -rW "$so" | awk '$3 ~ /^R_X86_64_/ && $3 != "R_X86_64_RELATIVE" {print $3}' | sort | uniq -c)
if [ -n "$bad" ]; then
  echo "relocation check: $so needs relocations that the UEFI start-up code skips:" >&2
  echo "$bad" >&2
  exit 1
fi
if readelf -SW "$so" | grep -Eq '\.(init_array|ctors|preinit_array)[[:space:]]'; then
  echo "relocation check: $so has constructors of globals, which the UEFI start-up code never runs" >&2
  exit 1
fi
relative=$(readelf -rW "$so" | grep -c R_X86_64_RELATIVE || true)
echo "relocation check: $so has $relative relocations, all R_X86_64_RELATIVE"

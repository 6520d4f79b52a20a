#!/usr/bin/env bash
# Fails when the freestanding objects of the core, taken together, call
# anything beyond what the UEFI runtime supplies: the compiler's memory and
# string routines, operator new/delete and the C++ support hooks.
set -euo pipefail
allowed='^(memcpy|memmove|memset|memcmp|memchr|strlen|_Znwm|_Znam|_ZdlPv|_ZdaPv|_ZdlPvm|_ZdaPvm|_ZnwmRKSt9nothrow_t|_ZnamRKSt9nothrow_t|_ZSt7nothrow|__cxa_pure_virtual|__cxa_atexit|__dso_handle|_GLOBAL_OFFSET_TABLE_|_ZSt[0-9]+__throw_.*)$'
combined=$(mktemp --suffix=.o)
trap 'rm -f "$combined"' EXIT
ld -r -o "$combined" "$@"
bad=0
while read -r sym; do
  if ! [[ "$sym" =~ $allowed ]]; then
    echo "freestanding check: the core calls $sym, which the UEFI runtime does not supply" >&2
    bad=1
  fi
done < <(nm -u "$combined" | awk '{print $2}')
exit $bad

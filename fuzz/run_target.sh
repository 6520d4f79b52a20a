#!/usr/bin/env bash
# Runs one libFuzzer target for SECONDS from its committed seed corpus. New
# inputs go to a scratch folder (KORVEX_FUZZ_WORK/NAME when set), never into
# the repository. Fails when the target finds a failing input or does not run.
#   run_target.sh BINARY CORPUS-DIR [SECONDS]   (default: $KORVEX_FUZZ_SECONDS or 45)
set -uo pipefail
binary=$1 corpus=$2 seconds=${3:-${KORVEX_FUZZ_SECONDS:-45}}
name=$(basename "$corpus")
if [ -n "${KORVEX_FUZZ_WORK:-}" ]; then
  scratch=$KORVEX_FUZZ_WORK
  mkdir -p "$scratch"
else
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
fi
mkdir -p "$scratch/$name"
log=$scratch/$name.log
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix="$scratch/$name-" -print_final_stats=1 "$scratch/$name" "$corpus" > "$log" 2>&1
status=$?
grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY)' "$log"
if ls "$scratch/$name-"* > /dev/null 2>&1 || [ $status != 0 ]; then
  tail -n 60 "$log"
  echo "$(basename "$binary") failed (status $status); failing inputs:" >&2
  ls "$scratch/$name-"* >&2
  exit 1
fi
exit 0

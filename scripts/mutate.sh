#!/usr/bin/env bash
# Plants each fault of scripts/mutants.txt in turn, builds what the unit suite
# needs, runs the suite, and puts the file back: a mutant the suite lets pass
# shows where the tests are thin.
#
#   scripts/mutate.sh [NAME...]     all mutants, or only those named
#
# Environment: KORVEX_MUTANTS (the list; default scripts/mutants.txt, or one
# written by scripts/mutants_random.py), KORVEX_MUTATE_BUILD (default build-mut), KORVEX_MUTATE_TIMEOUT
# (seconds per suite run; default 4 times the clean run, at least 60).
# While /tmp/korvex-quiet exists the next mutant waits (timings are being taken).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KORVEX_MUTATE_BUILD:-$root/build-mut}
list=${KORVEX_MUTANTS:-$root/scripts/mutants.txt}
work=$(mktemp -d)
targets=(korvex_tests korvex-sim korvex-pack)
current=""  # the file that holds a mutant right now

restore() {
    if [[ -n $current ]]; then
        # A fresh time stamp, so that the build takes the file as changed again.
        cp "$work/original" "$root/$current"
        current=""
    fi
}
cleanup() {
    restore
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Splits the list into one directory per mutant: file, from, to.
python3 - "$list" "$work/mutants" <<'EOF'
import os, sys
src, out = sys.argv[1], sys.argv[2]
os.makedirs(out)
name = None
for number, line in enumerate(open(src, encoding="utf-8"), 1):
    line = line.rstrip("\n")
    if line.startswith("== "):
        name, path = line[3:].split()
        os.makedirs(f"{out}/{name}")
        open(f"{out}/{name}/file", "w").write(path)
        open(f"{out}/{name}/order", "w").write(str(number))
    elif line[:1] in "-+" and line and name:
        part = "from" if line[0] == "-" else "to"
        open(f"{out}/{name}/{part}", "w").write(line[2:])
EOF

# Replaces FROM by TO in FILE; fails unless FROM occurs exactly once.
apply_mutant() {
    python3 - "$1" "$2" "$3" <<'EOF'
import sys
path, old, new = sys.argv[1], open(sys.argv[2]).read(), open(sys.argv[3]).read()
text = open(path, encoding="utf-8").read()
if text.count(old) != 1:
    sys.exit(f"found {text.count(old)} times")
open(path, "w", encoding="utf-8").write(text.replace(old, new))
EOF
}

build_targets() { bash "$root/scripts/build.sh" -DKORVEX_BENCH=OFF > "$work/build.log" 2>&1; }
export KORVEX_BUILD_DIR=$build KORVEX_BUILD_TARGETS="${targets[*]}"

suite() {
    timeout "$1" "$build/tests/korvex_tests" --gtest_brief=1 --gtest_fail_fast > "$work/test.log" 2>&1
}

if [[ $# -gt 0 ]]; then names=("$@"); else
    mapfile -t names < <(cd "$work/mutants" && for m in *; do echo "$(cat "$m/order") $m"; done | sort -n | cut -d' ' -f2)
fi

echo "clean build and suite in $build"
build_targets || { cat "$work/build.log"; echo "the clean tree does not build" >&2; exit 1; }
start=$(date +%s)
suite 3600 || { tail -20 "$work/test.log"; echo "the suite fails on the clean tree" >&2; exit 1; }
limit=${KORVEX_MUTATE_TIMEOUT:-$(( ($(date +%s) - start) * 4 > 60 ? ($(date +%s) - start) * 4 : 60 ))}

killed=0 survived=0 stale=0 total=0
survivors=()
for name in "${names[@]}"; do
    dir=$work/mutants/$name
    [[ -d $dir ]] || { echo "no mutant $name" >&2; exit 2; }
    while [[ -e /tmp/korvex-quiet ]]; do sleep 5; done
    file=$(cat "$dir/file")
    total=$((total + 1))
    cp -p "$root/$file" "$work/original"
    current=$file
    if ! why=$(apply_mutant "$root/$file" "$dir/from" "$dir/to" 2>&1); then
        restore
        stale=$((stale + 1))
        printf '%-36s STALE (%s)\n' "$name" "$why"
        continue
    fi
    if ! build_targets; then
        verdict="killed (does not build)"
    elif suite "$limit"; then
        verdict=SURVIVED
    elif [[ $? -eq 124 ]]; then
        verdict="killed (timeout)"
    else
        verdict="killed by $(grep -m1 -o '\[  FAILED  \] [^ ,]*' "$work/test.log" | cut -c14- || true)"
    fi
    restore
    if [[ $verdict == SURVIVED ]]; then
        survived=$((survived + 1))
        survivors+=("$name")
    else
        killed=$((killed + 1))
    fi
    printf '%-36s %s  (%s)\n' "$name" "$verdict" "$file"
done

# Leave the build dir matching the tree.
build_targets || true
echo "killed $killed of $total$([[ $stale -eq 0 ]] || echo " ($stale stale)")"
[[ ${#survivors[@]} -eq 0 ]] || echo "survived: ${survivors[*]}"

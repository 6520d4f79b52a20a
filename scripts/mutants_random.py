#!/usr/bin/env python3
"""Writes a random sample of simple faults in the tool's code, in the format of
scripts/mutants.txt, for scripts/mutate.sh (KORVEX_MUTANTS=FILE).

    scripts/mutants_random.py [--seed N] [--count N] > FILE

The hand-written list holds faults a developer is likely to make; this one is
drawn without judgement (operators swapped, constants moved, statements dropped,
a letter of a message changed), so that a score on it cannot be tuned to.
The same seed on the same tree gives the same sample."""
import argparse
import random
import zlib
import re
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# What the unit suite's programs are built from; front ends' main files and the
# simulated BMC are not the tool's logic under test.
FILES = sorted(
    [p for d in ("src/app", "src/config", "src/firmware", "src/transport") for p in (ROOT / d).rglob("*.cpp")]
    + [ROOT / f for f in ("src/platform/console.cpp", "src/platform/format.cpp", "src/platform/buffered_file.h",
                          "src/platform/hosted/hosted.cpp", "src/platform/hosted/signals.cpp",
                          "src/platform/linux/linux.cpp", "tools/korvex-pack/pack.cpp", "tools/korvex-stage/stage.cpp",
                          "tools/korvex/interface.cpp", "tools/korvex/kcs_cfg.cpp", "tools/korvex/preflight.cpp",
                          "tools/korvex/system_ports.cpp")])

SWAPS = [(" == ", " != "), (" != ", " == "), (" <= ", " < "), (" >= ", " > "), (" < ", " <= "), (" > ", " >= "),
         (" && ", " || "), (" || ", " && "), (" + ", " - "), (" - ", " + "), ("return true;", "return false;"),
         ("return false;", "return true;"), ("(!", "("), (" & ", " | "), (" | ", " & "), ("++", "--")]
NUMBER = re.compile(r"(?<![\w.])(0x[0-9A-Fa-f]+|\d+)(?![\w.])")
STRING = re.compile(r'"((?:[^"\\]|\\.)*)"')
STATEMENT = re.compile(r"^\s*(?!return\b|break\b|continue\b|case\b|default\b|else\b)[A-Za-z_*][\w.\->\[\]*]*\s*"
                       r"(\(|=[^=]|\+=|-=|\|=|&=|<<=|>>=|\+\+|--)[^;{}]*;\s*$")


def code_part(line):
    """The line without its strings, for the operators that must not touch text."""
    return STRING.sub(lambda m: '"' + "_" * len(m.group(1)) + '"', line)


def mutations(line):
    if line.lstrip().startswith(("//", "#", "*", "/*")) or "template" in line or "static_assert" in line:
        return
    code = code_part(line)
    for old, new in SWAPS:
        for m in re.finditer(re.escape(old), code):
            yield line[:m.start()] + new + line[m.end():]
    for m in NUMBER.finditer(code):
        text = m.group(1)
        base = 16 if text.startswith("0x") else 8 if text.startswith("0") and len(text) > 1 else 10
        value = int(text, base) + 1
        new = {16: hex(value), 8: "0" + oct(value)[2:], 10: str(value)}[base]
        yield line[:m.start()] + new + line[m.end():]
    for m in STRING.finditer(line):
        letters = [i for i, c in enumerate(m.group(1)) if c.isalpha()]
        if len(m.group(1)) >= 3 and letters:
            i = m.start(1) + letters[0]
            yield line[:i] + line[i].swapcase() + line[i + 1:]
    if STATEMENT.match(code) and "{" not in line:
        yield ""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--count", type=int, default=150)
    args = parser.parse_args()
    pool = []
    for path in FILES:
        text = path.read_text(encoding="utf-8")
        lines = text.split("\n")
        for number, line in enumerate(lines, 1):
            if not line.strip() or text.count(line) != 1:
                continue
            for new in mutations(line):
                if new != line:
                    pool.append((path.relative_to(ROOT), number, line, new))
    random.Random(args.seed).shuffle(pool)
    print(f"# {args.count} of {len(pool)} simple faults, seed {args.seed} (scripts/mutants_random.py)")
    for path, number, old, new in sorted(pool[:args.count], key=lambda m: (str(m[0]), m[1])):
        name = f"{path.stem}-{number}-{zlib.crc32((old + new).encode()) % 10000:04d}"
        print(f"\n== {name}  {path}\n- {old}\n+ {new}".rstrip())


if __name__ == "__main__":
    main()

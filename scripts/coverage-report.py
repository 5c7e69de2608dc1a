#!/usr/bin/env python3
"""Reads gcovr's JSON (scripts/coverage.sh) and prints line and branch
coverage per folder of src/, then every file below the line target with the
lines it misses.

Branches are given twice: as GCC counts them, exception edges included (every
call that may throw adds one), and without the exception edges, which mostly
count throws that no test can provoke.

The thin forwards to the system (src/wrappers) count in their folder and in
the total, but are left out of the list of files below the target: a line of
theirs that no test reaches is an error path of the system that only a
failing system takes.

Usage: coverage-report.py <gcovr.json> [target percent, default 95]
"""
import json
import sys
from collections import defaultdict


# Folders of src/ whose files are not listed one by one.
UNLISTED_FOLDERS = {"wrappers"}


class Tally:
    def __init__(self):
        self.lines = [0, 0]           # covered, total
        self.branches = [0, 0]
        self.plain_branches = [0, 0]  # without exception edges

    def add(self, other):
        for mine, theirs in ((self.lines, other.lines), (self.branches, other.branches),
                             (self.plain_branches, other.plain_branches)):
            mine[0] += theirs[0]
            mine[1] += theirs[1]


def percent(pair):
    covered, total = pair
    return 100.0 * covered / total if total else 100.0


def cell(pair):
    return f"{pair[0]:>6}/{pair[1]:<6} {percent(pair):5.1f} %"


def ranges(numbers):
    """[3, 4, 5, 9] -> "3-5, 9"."""
    parts = []
    start = prev = None
    for n in numbers:
        if prev is not None and n == prev + 1:
            prev = n
            continue
        if start is not None:
            parts.append(f"{start}-{prev}" if prev != start else f"{start}")
        start = prev = n
    if start is not None:
        parts.append(f"{start}-{prev}" if prev != start else f"{start}")
    return ", ".join(parts)


def tally_file(entry):
    tally = Tally()
    missed = []
    for line in entry["lines"]:
        if line.get("gcovr/noncode") or line.get("gcovr/excluded"):
            continue
        tally.lines[1] += 1
        if line["count"] > 0:
            tally.lines[0] += 1
        else:
            missed.append(line["line_number"])
        for branch in line.get("branches", []):
            taken = 1 if branch["count"] > 0 else 0
            tally.branches[0] += taken
            tally.branches[1] += 1
            if not branch.get("throw"):
                tally.plain_branches[0] += taken
                tally.plain_branches[1] += 1
    return tally, missed


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    with open(sys.argv[1], encoding="utf-8") as f:
        data = json.load(f)
    target = float(sys.argv[2]) if len(sys.argv) > 2 else 95.0

    folders = defaultdict(Tally)
    total = Tally()
    below = []
    for entry in data["files"]:
        name = entry["file"].replace("\\", "/")
        parts = name.split("/")
        # src/<folder>/...; a file directly in src/ counts as "(src)".
        folder = parts[1] if len(parts) > 2 and parts[0] == "src" else "(src)"
        tally, missed = tally_file(entry)
        if tally.lines[1] == 0:
            continue
        folders[folder].add(tally)
        total.add(tally)
        if percent(tally.lines) < target and folder not in UNLISTED_FOLDERS:
            below.append((percent(tally.lines), name, tally, missed))

    header = f"{'folder of src/':<16} {'lines':<22} {'branches':<22} {'branches w/o exception edges'}"
    print(header)
    print("-" * len(header))
    for folder in sorted(folders, key=str.lower):
        t = folders[folder]
        print(f"{folder:<16} {cell(t.lines)}  {cell(t.branches)}  {cell(t.plain_branches)}")
    print("-" * len(header))
    print(f"{'all of src/':<16} {cell(total.lines)}  {cell(total.branches)}  {cell(total.plain_branches)}")
    print()
    unlisted = ", ".join(f"src/{folder}" for folder in sorted(UNLISTED_FOLDERS))
    if not below:
        print(f"Every file reaches {target:g} % of its lines (not listed file by file: {unlisted}).")
        return
    print(f"Files below {target:g} % of their lines ({len(below)}; not listed file by file: {unlisted}), "
          "lowest first, with the lines not reached:")
    for pct, name, tally, missed in sorted(below):
        print(f"  {pct:5.1f} %  {name}  ({tally.lines[1] - tally.lines[0]} of {tally.lines[1]} lines)")
        print(f"           {ranges(missed)}")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Runs the benchmarks several times and prints each ratio line once, with the median of its
figures over the runs and their spread (lowest-highest).

Usage: summary.py RUNS BUILD_DIR [SCRIPT ...]   (scripts: e.g. 21-gunzip; default: all)
BENCH_ONLY=41,20 in the environment runs only the scripts whose names begin so (make passes it).
Each run's own output goes to standard error.
A line is the same row in every run when it reads the same with its figures taken out; the
zip script's ratio lines are told apart by the heading above them.
"""
import re
import statistics
import os
import subprocess
import sys
from pathlib import Path

# A figure: a number, but not one that names the row ("mode 3").
NUMBER = re.compile(r"(?<![\w.])(?<!mode )-?(?:\d+\.\d*|\.\d+|\d+)")
RATIO_WORDS = ("ratio", "quorvex is", "cost")


def run_once(build, scripts):
    """The output lines of one run of the given scripts, each with its script and heading."""
    rows = []
    for script in scripts:
        out = subprocess.run(["bash", str(script), build], check=True, capture_output=True, text=True).stdout
        print(out, file=sys.stderr, flush=True)  # every run's own figures, for the record
        heading = ""
        for line in out.splitlines():
            if line and not line.startswith(" ") and not any(w in line for w in RATIO_WORDS):
                heading = line
            if any(w in line for w in RATIO_WORDS):
                rows.append((script.stem, heading if line.startswith(" ") else "", line))
    return rows


def spread(tokens):
    """One figure over the runs: as printed when it never changed, else median [lowest-highest]."""
    if len(set(tokens)) == 1:
        return tokens[0]
    decimals = max(len(t.partition(".")[2]) for t in tokens)
    values = [float(t) for t in tokens]
    return f"{statistics.median(values):.{decimals}f} [{min(values):.{decimals}f}-{max(values):.{decimals}f}]"


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    runs, build = int(sys.argv[1]), sys.argv[2]
    here = Path(__file__).resolve().parent
    names = sys.argv[3:]
    scripts = [here / f"{n}.sh" for n in names] if names else sorted(here.glob("[0-9]*.sh"))
    only = [p.strip() for p in os.environ.get("BENCH_ONLY", "").split(",") if p.strip()]
    if only:
        scripts = [s for s in scripts if any(s.stem.startswith(p) for p in only)]
        if not scripts:
            sys.exit(f"BENCH_ONLY={os.environ['BENCH_ONLY']} names no script in {here}")
    figures = {}  # (script, heading, template) -> list of number lists, one per run
    for i in range(runs):
        print(f"run {i + 1} of {runs} ...", file=sys.stderr, flush=True)
        for script, heading, line in run_once(build, scripts):
            # Padding follows the width of the figures: it is not part of the row.
            template = re.sub(r"\s+", " ", NUMBER.sub("#", line)).strip()
            figures.setdefault((script, heading, template), []).append(NUMBER.findall(line))
    for (script, heading, template), values in figures.items():
        parts = iter(spread(column) for column in zip(*values))
        text = re.sub("#", lambda _: next(parts, "#"), template)
        label = f"{script}: {heading.strip()}: " if heading else f"{script}: "
        print(f"{label}{text.strip()}   ({len(values)} runs)")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""The README's benchmark table, from a report that bench.py kept with --json.

    python bench/bench.py --vocab V --model M --corpus C... --json run.json
    python bench/readme_table.py run.json

Prints the command that made the report (paths shortened to their file
names), its date, commit and load average, then the rows of its speed table
that the README shows, unchanged. Paste the output over the README's table.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import sys
from typing import List, Optional

# The workloads the README shows, in its order (a row's first cell starts
# with one of these; the decode rows in M ids/s only).
ROWS = (
    ("encode, one call per line", None),
    ("encode, 1 MiB per call", None),
    ("decode, one call per line", "M ids/s"),
    ("load", None),
    ("short call", None),
    ("resident memory after load", None),
)


def command(argv: List[str]) -> str:
    """The bench command of `argv`, without --json, paths as file names."""
    shown = ["python", "bench/bench.py"]
    skip = False
    for arg in argv[1:]:
        if skip:
            skip = False
        elif arg == "--json":
            skip = True
        else:
            shown.append(os.path.basename(arg) if os.sep in arg else arg)
    return " ".join(shown)


def cells(line: str) -> List[str]:
    return [c.strip() for c in line.strip().strip("|").split("|")]


def setting(report: List[str], name: str) -> Optional[str]:
    for line in report:
        if line.startswith(f"| {name} |"):
            return cells(line)[1]
    return None


def render(data: dict) -> str:
    report = data["report"]
    header = next(i for i, line in enumerate(report) if line.startswith("| workload |"))
    rows = []
    for name, unit in ROWS:
        for line in report[header + 2:]:
            if not line.startswith("|"):
                break
            c = cells(line)
            if c[0].startswith(name) and (unit is None or c[2].startswith(unit)):
                rows.append(line)
    commit = (setting(report, "bench.py") or "commit unknown").removeprefix("commit ")
    end_load = next((m.group(1) for line in report
                     if (m := re.search(r"load average ([\d.]+) at the end", line))), "?")
    start_load = (setting(report, "load average") or "?").split(" ")[0]
    lines = [
        f"`{command(data['argv'])}`, {setting(report, 'date')}, commit {commit}, "
        f"load average {start_load} at the start and {end_load} at the end:",
        "",
        report[header],
        report[header + 1],
        *rows,
    ]
    return "\n".join(lines)


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("report", help="the --json file of a bench.py run")
    args = parser.parse_args(argv)
    with open(args.report, encoding="utf-8") as f:
        print(render(json.load(f)))
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Prints the coverage of gcovr's JSON report (./dev coverage): each file's
lines and branches run by the suite, the totals, then each function that no
test runs and the lines of each file that none reaches.

    coverage.py REPORT.json
"""

import json
import sys


def ranges(numbers):
    """[1, 2, 3, 7, 9, 10] -> "1-3 7 9-10"."""
    out, start, last = [], None, None
    for n in sorted(numbers):
        if start is None:
            start = last = n
        elif n == last + 1:
            last = n
        else:
            out.append(str(start) if start == last else "%d-%d" % (start, last))
            start = last = n
    if start is not None:
        out.append(str(start) if start == last else "%d-%d" % (start, last))
    return " ".join(out)


def percent(part, whole):
    return "%5.1f%%" % (100.0 * part / whole) if whole else "     -"


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        report = json.load(f)
    files = sorted(report["files"], key=lambda f: f["file"])
    rows, totals = [], [0, 0, 0, 0]
    unrun_functions, unrun_lines = [], []
    for entry in files:
        lines = [l for l in entry["lines"] if not l.get("gcovr/noncode")]
        run_lines = [l for l in lines if l["count"] > 0]
        branches = [b for l in lines for b in l.get("branches", [])]
        taken = [b for b in branches if b["count"] > 0]
        counts = (len(run_lines), len(lines), len(taken), len(branches))
        totals = [t + c for t, c in zip(totals, counts)]
        rows.append((entry["file"],) + counts)
        for function in entry.get("functions", []):
            if function.get("execution_count", 0) == 0:
                name = function.get("demangled_name") or function["name"]
                unrun_functions.append("%s:%d  %s" % (entry["file"], function["lineno"], name))
        missing = [l["line_number"] for l in lines if l["count"] == 0]
        if missing:
            unrun_lines.append("%s: %s" % (entry["file"], ranges(missing)))

    print("%-32s %14s %7s %16s %7s" % ("file", "lines run", "", "branches taken", ""))
    for name, run_count, line_count, taken, branch_count in rows:
        print("%-32s %6d of %5d %s %7d of %5d %s" % (name, run_count, line_count, percent(run_count, line_count),
                                                    taken, branch_count, percent(taken, branch_count)))
    print("%-32s %6d of %5d %s %7d of %5d %s" % ("total", totals[0], totals[1], percent(totals[0], totals[1]),
                                                totals[2], totals[3], percent(totals[2], totals[3])))
    print("\nfunctions no test runs:")
    print("\n".join("  " + f for f in unrun_functions) or "  none")
    print("\nlines no test runs:")
    print("\n".join("  " + l for l in unrun_lines) or "  none")


if __name__ == "__main__":
    main()

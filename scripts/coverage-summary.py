#!/usr/bin/env python3
"""Line and branch coverage of src/ from a gcovr JSON summary (gcovr --json-summary).

Prints one line for src/ as a whole, one per folder of src/ (a folder with its subfolders)
and one per file of src/platform/posix:

    src/                         lines  97.1% ( 5194/ 5350)  branches  71.0% ( 4064/ 5724)

usage: coverage-summary.py SUMMARY.json
"""
import json
import sys

POSIX = "src/platform/posix/"


def figure(covered, total):
    percent = f"{100.0 * covered / total:5.1f}%" if total else "    -"
    return f"{percent} ({covered:5d}/{total:5d})"


def line(name, c):
    return (f"{name:<40} lines {figure(c['lc'], c['lt'])}  "
            f"branches {figure(c['bc'], c['bt'])}")


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        summary = json.load(f)
    groups = {}
    posix = {}

    def add(counts, entry):
        counts["lc"] += entry["line_covered"]
        counts["lt"] += entry["line_total"]
        counts["bc"] += entry["branch_covered"]
        counts["bt"] += entry["branch_total"]

    empty = {"lc": 0, "lt": 0, "bc": 0, "bt": 0}
    total = dict(empty)
    for entry in summary["files"]:
        name = entry["filename"]
        if not name.startswith("src/"):
            continue
        add(total, entry)
        parts = name.split("/")
        folder = "src/" + (parts[1] + "/" if len(parts) > 2 else "")
        add(groups.setdefault(folder, dict(empty)), entry)
        if name.startswith(POSIX):
            add(posix.setdefault(name, dict(empty)), entry)
    print(line("src/", total))
    for folder in sorted(groups):
        print(line(folder, groups[folder]))
    for name in sorted(posix):
        print(line(name, posix[name]))


if __name__ == "__main__":
    main()

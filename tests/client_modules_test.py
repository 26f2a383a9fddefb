#!/usr/bin/python3
"""The module table of clients/README.md against the trees: every module it
names exists, and every module of either client is in it, so the table
can neither point at a file that moved nor miss a new one."""

import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
TABLE = ROOT / "clients" / "README.md"
FOLDERS = {1: ROOT / "clients" / "node", 2: ROOT / "clients" / "python" / "src" / "calvex", 3: ROOT / "clients" / "go"}
PATTERNS = {1: "*.js", 2: "*.py", 3: "*.go"}


def named(text: str) -> dict:
    """The modules each column of the table names."""
    columns = {column: set() for column in FOLDERS}
    for row in re.findall(r"^\|(.*)\|$", text, re.MULTILINE):
        cells = [cell.strip() for cell in row.split("|")]
        if len(cells) != 1 + len(FOLDERS) or cells[0] in ("job", "---"):
            continue
        for column in FOLDERS:
            columns[column].update(re.findall(r"`([^`]+)`", cells[column]))
    return columns


def problems(columns: dict) -> list:
    found = []
    for column, folder in FOLDERS.items():
        present = {path.name for path in folder.glob(PATTERNS[column]) if not path.name.endswith("_test.go")}
        found += [f"{folder.relative_to(ROOT)}/{name} is in the table but not in the tree" for name in sorted(columns[column] - present)]
        found += [f"{folder.relative_to(ROOT)}/{name} is in the tree but not in the table" for name in sorted(present - columns[column])]
    return found


def main() -> int:
    text = TABLE.read_text(encoding="utf-8")
    found = problems(named(text))
    # The check must bite: a table that has lost a row is not the tree's.
    if not problems(named(text.replace("| `faces.js` |", "| |", 1))):
        found.append("the check passes a table without faces.js")
    for problem in found:
        print(f"FAIL: {problem}")
    if not found:
        print("PASS: every client module is in clients/README.md's table, and every module it names exists")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())

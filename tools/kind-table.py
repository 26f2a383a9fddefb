#!/usr/bin/python3
"""Writes the sensor-kind table into both client READMEs, from the shared
table (clients/shared/sensor-kinds.json), between the marker lines, so the
READMEs a user reads on npm and PyPI show the table and never a stale copy
of it.

Usage: kind-table.py [--check]
  --check: exit 1, saying which README differs, instead of writing."""

import json
import re
import sys
from pathlib import Path
from typing import Dict, List

ROOT = Path(__file__).resolve().parents[1]
TABLE = ROOT / "clients" / "shared" / "sensor-kinds.json"
READMES = [ROOT / "clients" / "node" / "README.md", ROOT / "clients" / "python" / "README.md"]
START = "<!-- the kind table, made by tools/kind-table.py from clients/shared/sensor-kinds.json: do not edit -->"
END = "<!-- end of the kind table -->"


def _split_top(pattern: str) -> List[str]:
    """The pattern's alternatives outside any group."""
    parts, depth, current = [], 0, ""
    for character in pattern:
        if character == "(":
            depth += 1
        elif character == ")":
            depth -= 1
        if character == "|" and depth == 0:
            parts.append(current)
            current = ""
        else:
            current += character
    return parts + [current]


def _expand(pattern: str) -> List[str]:
    """Every spelling a pattern of the shared subset allows, group by group."""
    names: List[str] = []
    for alternative in _split_top(pattern):
        group = re.search(r"\(\?:([^()]*)\)", alternative)
        if group is None:
            names.append(alternative)
            continue
        for choice in group.group(1).split("|"):
            names.extend(_expand(alternative[: group.start()] + choice + alternative[group.end():]))
    return names


def _readable(name: str) -> str:
    return name.replace("[0-9]+", "<n>").replace("[0-9]*", "[<n>]").replace("[\\s\\S]*", "…")


def table_lines(table: Dict[str, object]) -> List[str]:
    lines = ["| Names | Kind | What it measures |", "|---|---|---|"]
    for row in table["rows"]:  # type: ignore[attr-defined]
        names = ", ".join(f"`{_readable(name)}`" for name in _expand(row["pattern"]))
        if row["ignoreCase"]:
            names += " (in any case)"
        lines.append(f"| {names} | `{row['kind']}` | {row['measures']} |")
    lines.append(f"| any other name | `{table['unmatched']}` | whatever the table does not know yet |")
    return lines


def with_table(text: str, lines: List[str]) -> str:
    start, end = text.index(START), text.index(END)
    return text[: start + len(START)] + "\n" + "\n".join(lines) + "\n" + text[end:]


def main() -> int:
    check = sys.argv[1:] == ["--check"]
    lines = table_lines(json.loads(TABLE.read_text(encoding="utf-8")))
    stale = []
    for readme in READMES:
        text = readme.read_text(encoding="utf-8")
        made = with_table(text, lines)
        if made != text:
            stale.append(readme)
            if not check:
                readme.write_text(made, encoding="utf-8")
    if check and stale:
        for readme in stale:
            print(f"FAIL: {readme.relative_to(ROOT)} does not show the shared kind table; run tools/kind-table.py")
        return 1
    if check:
        print("PASS: both client READMEs show the shared kind table as it is")
    return 0


if __name__ == "__main__":
    sys.exit(main())

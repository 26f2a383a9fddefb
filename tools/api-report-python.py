#!/usr/bin/python3
"""The Python package's public surface as a plain text report, read by
griffe from the sources (nothing is imported): every name in
``calvex.__all__`` with its signature, and each public class's fields,
properties and methods, its package-internal base classes' included; then
the options of its command line. The report is checked in
(clients/python/etc/calvex.api.txt) and reviewed like code.

Usage: api-report-python.py [--check] [SOURCE_FOLDER]
  (SOURCE_FOLDER holds the calvex package; default clients/python/src)
  Writes the checked-in report, or prints the report of another folder;
  --check: exit 1 with a diff when the checked-in report differs."""

import argparse
import difflib
import re
import sys
from pathlib import Path
from typing import Any, Iterator, List

from griffe.loader import GriffeLoader

REPOSITORY = Path(__file__).resolve().parents[1]
DEFAULT_SOURCE = REPOSITORY / "clients" / "python" / "src"
REPORT = REPOSITORY / "clients" / "python" / "etc" / "calvex.api.txt"
HEADER = "# The public surface of the Python package calvex, written by tools/api-report-python.py.\n# Do not edit: change the package, run the tool, and review the difference.\n"


def _parameters(function: Any) -> str:
    words: List[str] = []
    keyword_only_marked = False
    for parameter in function.parameters:
        kind = parameter.kind.value
        if kind == "keyword-only" and not keyword_only_marked:
            words.append("*")
            keyword_only_marked = True
        prefix = {"variadic positional": "*", "variadic keyword": "**"}.get(kind, "")
        word = prefix + parameter.name
        if parameter.annotation is not None:
            word += f": {parameter.annotation}"
        if parameter.default is not None:
            word += f" = {parameter.default}"
        words.append(word)
    return ", ".join(words)


def _function(function: Any, indent: str = "") -> str:
    returns = f" -> {function.returns}" if function.returns is not None else ""
    asynchronous = "async " if "async" in function.labels else ""
    return f"{indent}{asynchronous}def {function.name}({_parameters(function)}){returns}"


def _is_public(name: str) -> bool:
    return not name.startswith("_") or name in ("__init__", "__iter__", "__next__", "__aiter__", "__anext__", "__enter__", "__exit__", "__aenter__", "__aexit__")


def _package_bases(loader: GriffeLoader, cls: Any) -> Iterator[Any]:
    """The class's bases that are classes of the package itself."""
    for base in cls.bases:
        first = base[0] if isinstance(base, list) else base
        full = getattr(first, "full", "")
        if full.startswith("calvex."):
            target = loader.modules_collection[full]
            yield target.target if target.is_alias else target
            yield from _package_bases(loader, target.target if target.is_alias else target)


def _members(loader: GriffeLoader, cls: Any) -> List[str]:
    seen = {}
    for owner in [cls, *_package_bases(loader, cls)]:
        for name, member in owner.members.items():
            if name in seen or not _is_public(name):
                continue
            member = member.target if member.is_alias else member
            if member.kind.value == "function":
                if "property" in member.labels:
                    seen[name] = f"    @property {name}: {member.returns}"
                else:
                    seen[name] = _function(member, "    ")
            elif "property" in member.labels:
                seen[name] = f"    @property {name}: {member.annotation}"
            elif member.kind.value == "attribute":
                seen[name] = f"    {name}: {member.annotation}"
    return [seen[name] for name in sorted(seen)]


def _entry(loader: GriffeLoader, name: str, obj: Any) -> List[str]:
    kind = obj.kind.value
    if kind == "function":
        return [_function(obj)]
    if kind == "class":
        bases = ", ".join(str(base) for base in obj.bases)
        return [f"class {name}({bases})", *_members(loader, obj)]
    return [f"{name}: {obj.annotation}"]


def _command_lines(source: Path) -> List[str]:
    """python -m calvex's options as its help shows them (the shared
    command line)."""
    sys.path.insert(0, str(source))
    from calvex import _commandline, _contract  # noqa: E402: from the folder given

    lines: List[str] = ["command python -m calvex"]
    for line in _commandline.fill(_contract.COMMAND_LINE["help"]).splitlines():
        option = re.match(r"  (-\S.*?)(?:  |$)", line)
        if option:
            lines.append(f"    {option.group(1)}")
    return lines


def report(source: Path) -> str:
    loader = GriffeLoader(search_paths=[str(source)])
    package = loader.load_module("calvex")
    loader.resolve_aliases()
    exported = [str(word).strip("'\"") for word in package["__all__"].value.elements] if hasattr(package["__all__"].value, "elements") else []
    if not exported:
        exported = [name.strip("'\"") for name in str(package["__all__"].value).strip("[]").split(", ")]
    lines = [HEADER]
    for name in sorted(exported):
        obj = package[name]
        lines.extend(_entry(loader, name, obj.target if obj.is_alias else obj))
        lines.append("")
    lines.extend(_command_lines(source))
    return "\n".join(lines) + "\n"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true", help="fail when the checked-in report differs")
    parser.add_argument("source", nargs="?", type=Path, default=DEFAULT_SOURCE)
    options = parser.parse_args()
    text = report(options.source.resolve())
    if not options.check and options.source != DEFAULT_SOURCE:
        sys.stdout.write(text)
        return 0
    if not options.check:
        REPORT.parent.mkdir(exist_ok=True)
        REPORT.write_text(text, encoding="utf-8")
        return 0
    kept = REPORT.read_text(encoding="utf-8") if REPORT.exists() else ""
    if kept == text:
        print(f"PASS: the package's public surface is the one in {REPORT.relative_to(REPOSITORY)}")
        return 0
    sys.stdout.writelines(difflib.unified_diff(kept.splitlines(True), text.splitlines(True), str(REPORT.relative_to(REPOSITORY)), "the package now"))
    print(f"FAIL: the public surface differs from {REPORT.relative_to(REPOSITORY)}; if on purpose, run tools/api-report-python.py, and add the change to CHANGELOG.md")
    return 1


if __name__ == "__main__":
    sys.exit(main())

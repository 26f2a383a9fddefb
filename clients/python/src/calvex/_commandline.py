"""What both command lines (``python -m calvex`` and ``calvex-exporter``)
share: ``--helper CMD ...`` and ``--pressure-helper CMD ...`` come last,
and each takes the words up to the other."""

import argparse
from pathlib import Path
from typing import Dict, List, Optional, Sequence, Tuple

HELPER_OPTIONS = ("--helper", "--pressure-helper")


def package_version() -> str:
    """The version a command says: in a checkout the repository's VERSION
    (the one the wheels are built with), else the installed package's."""
    here = Path(__file__).resolve().parent
    if len(here.parents) > 3:  # an installed package may sit near the root
        checkout_version = here.parents[3] / "VERSION"
        if (here.parents[2] / "shared" / "sensor-kinds.json").exists() and checkout_version.exists():
            return checkout_version.read_text(encoding="utf-8").strip()
    try:
        from importlib.metadata import version

        return version("calvex")
    except Exception:  # no metadata: neither a checkout nor an installed package
        return "unknown"


def split_helper_commands(arguments: Sequence[str]) -> Tuple[List[str], Dict[str, List[str]]]:
    """The options before the first helper option, and each helper
    option's command (an empty one when the option is given bare)."""
    leading: List[str] = []
    commands: Dict[str, List[str]] = {}
    current: Optional[List[str]] = None
    for word in arguments:
        if word in HELPER_OPTIONS:
            current = commands.setdefault(word, [])
        elif current is None:
            leading.append(word)
        else:
            current.append(word)
    return leading, commands


def add_helper_options(parser: argparse.ArgumentParser) -> None:
    """Shown in --help; the words themselves are split off before parsing."""
    parser.add_argument("--helper", nargs="+", metavar="CMD", help="run CMD ... instead of the bundled sensor helper (comes last)")
    parser.add_argument(
        "--pressure-helper", nargs="+", metavar="CMD", help="run CMD ... instead of the bundled thermal pressure helper (comes last)"
    )


def parse_with_helpers(parser: argparse.ArgumentParser, arguments: Sequence[str]) -> argparse.Namespace:
    """The parsed options, with ``helper`` and ``pressure_helper`` set to
    their commands (None when not given); a bare helper option is a usage
    error (status 2), said in one line."""
    leading, commands = split_helper_commands(arguments)
    options = parser.parse_args(leading)
    for option, command in commands.items():
        if not command:
            parser.error(f"{option} needs a command after it: {option} PATH [ARGUMENTS ...]")
        if any("\0" in word for word in command):
            parser.error(f"{option}: a word of the command must not contain a NUL character")
    options.helper = commands.get("--helper")
    options.pressure_helper = commands.get("--pressure-helper")
    return options

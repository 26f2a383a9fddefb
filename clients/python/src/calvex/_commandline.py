"""``python -m calvex``'s words: ``--helper CMD ...`` and
``--pressure-helper CMD ...`` come last, each taking the words up to the
other, and its rules and texts are npx calvex's."""

import re
from dataclasses import dataclass
from typing import Dict, List, Optional, Sequence, Tuple

from ._command import DEFAULT_INTERVAL_MS, LONGEST_INTERVAL_MS, SHORTEST_INTERVAL_MS
from ._contract import COMMAND_LINE, VERSION

HELPER_OPTIONS = ("--helper", "--pressure-helper")


def package_version() -> str:
    """The version a command says: the repository's VERSION, which the
    wheels are built with, written into the contract."""
    return VERSION


def split_helper_commands(arguments: Sequence[str]) -> Tuple[List[str], Dict[str, List[str]], List[str]]:
    """The options before the first helper option, each helper option's
    command (an empty one when the option is given bare), and the helper
    options given more than once."""
    leading: List[str] = []
    commands: Dict[str, List[str]] = {}
    twice: List[str] = []
    current: Optional[List[str]] = None
    for word in arguments:
        if word in HELPER_OPTIONS:
            if word in commands and word not in twice:
                twice.append(word)
            current = commands[word] = []
        elif current is None:
            leading.append(word)
        else:
            current.append(word)
    return leading, commands, twice


# -- python -m calvex: the words into options by the rules both commands
# share (clients/shared/command-line.json), so that npx calvex reads every
# line of words the same way and says the same texts.

_RULES = COMMAND_LINE
_REPORT = _RULES["report"]
_NUMBERS = {
    "shortestMs": SHORTEST_INTERVAL_MS, "longestMs": LONGEST_INTERVAL_MS, "defaultMs": DEFAULT_INTERVAL_MS,
    "shortestSeconds": _REPORT["shortestSeconds"], "longestSeconds": _REPORT["longestSeconds"],
    "defaultSeconds": _REPORT["defaultSeconds"],
}
PROGRAM = "python -m calvex"


def fill(template: str, **values: object) -> str:
    """A shared text with its ``{name}`` places filled: the program's name,
    the bounds, and ``values``."""
    known: Dict[str, object] = {"prog": PROGRAM, **_NUMBERS}
    known["usage"] = _RULES["usage"].replace("{prog}", PROGRAM)
    known.update(values)
    for name, value in known.items():
        template = template.replace("{" + name + "}", str(value))
    return template


class UsageError(Exception):
    """Words the command does not take; the message is the shared one."""


@dataclass
class CommandOptions:
    json: bool = False
    once: bool = False
    watch: Optional[int] = None
    report: Optional[float] = None
    output: Optional[str] = None
    help: bool = False
    version: bool = False
    helper: Optional[List[str]] = None
    pressure_helper: Optional[List[str]] = None


def _value_after(words: Sequence[str], at: int) -> Optional[str]:
    """The word after an option that takes an optional value, when it is
    one: not another option (a negative number is a value, and wrong)."""
    if at + 1 >= len(words):
        return None
    word = words[at + 1]
    return word if not word.startswith("-") or re.match(r"-[0-9.]", word) else None


def _milliseconds(word: str) -> int:
    if re.fullmatch(_RULES["numbers"]["milliseconds"], word) and SHORTEST_INTERVAL_MS <= int(word) <= LONGEST_INTERVAL_MS:
        return int(word)
    raise UsageError(fill(_RULES["messages"]["badWatch"], word=word))


def _seconds(word: str) -> float:
    if re.fullmatch(_RULES["numbers"]["seconds"], word) and _REPORT["shortestSeconds"] <= float(word) <= _REPORT["longestSeconds"]:
        return float(word)
    raise UsageError(fill(_RULES["messages"]["badReport"], word=word))


def _read_leading(words: Sequence[str], options: CommandOptions) -> List[str]:
    """Sets ``options`` from the words before the helper options and
    returns the problems found, in order."""
    problems: List[str] = []
    unknown: List[str] = []
    at = 0
    while at < len(words):
        word = words[at]
        try:
            if word in ("-h", "--help"):
                options.help = True
            elif word == "--version":
                options.version = True
            elif word == "--json":
                options.json = True
            elif word == "--once":
                options.once = True
            elif word == "--output":
                if at + 1 >= len(words):
                    raise UsageError(fill(_RULES["messages"]["needsValue"], option=word))
                options.output, at = words[at + 1], at + 1
            elif word in ("--watch", "--report"):
                value = _value_after(words, at)
                if word == "--watch":
                    options.watch = DEFAULT_INTERVAL_MS if value is None else _milliseconds(value)
                else:
                    options.report = float(_REPORT["defaultSeconds"]) if value is None else _seconds(value)
                at += 0 if value is None else 1
            else:
                unknown.append(word)
        except UsageError as problem:
            problems.append(str(problem))
            at += 1
        at += 1
    if unknown:
        problems.append(fill(_RULES["messages"]["unknown"], words=" ".join(unknown)))
    return problems


def _combination_problems(options: CommandOptions, commands: Dict[str, List[str]], twice: List[str]) -> List[str]:
    messages = _RULES["messages"]
    problems: List[str] = []
    modes = [name for name, given in (("--once", options.once), ("--watch", options.watch is not None),
                                      ("--report", options.report is not None)) if given]
    if len(modes) > 1:
        problems.append(fill(messages["notAllowedWith"], first=modes[0], second=modes[1]))
    if options.output is not None and options.report is None:
        problems.append(messages["outputWithoutReport"])
    for option in twice:
        problems.append(fill(messages["helperTwice"], option=option))
    for option, command in commands.items():
        if not command:
            problems.append(fill(messages["helperNeedsCommand"], option=option))
        elif any("\0" in word for word in command):
            problems.append(fill(messages["helperNul"], option=option))
    return problems


def parse_command(words: Sequence[str]) -> CommandOptions:
    """The options of ``python -m calvex``; UsageError with the first
    problem found. --help and --version answer whatever else is there."""
    leading, commands, twice = split_helper_commands(words)
    options = CommandOptions(helper=commands.get("--helper"), pressure_helper=commands.get("--pressure-helper"))
    problems = _read_leading(leading, options)
    if options.help or options.version:
        return options
    problems += _combination_problems(options, commands, twice)
    if problems:
        raise UsageError(problems[0])
    return options

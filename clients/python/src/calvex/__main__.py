"""``python -m calvex``: the sensors as a table for people, or the helper's
lines as they are with ``--json``.

    python -m calvex [--json] [--watch [MS]] [--helper CMD ...]
"""

import argparse
import os
import sys
from typing import Dict, Iterable, List, Optional, Sequence, TextIO, Union

from ._kinds import _TABLE, kind_of
from ._process import DEFAULT_INTERVAL_MS, HelperRun, helper_command, interval_argument
from ._protocol import CalvexError, Snapshot, parse_line
from ._sync import read_sensors, watch_sensors

# Moves to the top left corner of a terminal and clears it.
CLEAR_SCREEN = "\x1b[H\x1b[J"
INTERRUPTED_STATUS = 130


def table(snapshot: Snapshot) -> str:
    """An aligned table of name, kind and °C, grouped by kind in the order
    of the kind table, each group hottest first."""
    groups: Dict[str, List[str]] = {kind: [] for kind in _TABLE["kinds"]}
    ordered = sorted(snapshot.sensors, key=lambda sensor: -sensor.celsius)
    width = max([len("sensor")] + [len(sensor.name) for sensor in ordered])
    for sensor in ordered:
        groups[kind_of(sensor.name)].append(f"{sensor.name:<{width}}  {kind_of(sensor.name):<7}  {sensor.celsius:6.2f}")
    rows = [row for kind in _TABLE["kinds"] for row in groups[kind]]
    header = f"{'sensor':<{width}}  {'kind':<7}  {'°C':>6}"
    return "\n".join([header, *rows]) if rows else "no sensors with a reading"


def _sentence(error: CalvexError) -> str:
    said = f" (the helper said: {error.line})" if error.line is not None and error.code != "BAD_OUTPUT" else ""
    if error.code == "IOKIT_NOT_AVAILABLE":
        return f"calvex: IOKit or CoreFoundation could not be loaded on this machine{said}."
    if error.code == "NO_HID_EVENT_SYSTEM":
        return f"calvex: the HID event system could not be opened{said}."
    return f"calvex: {error}"


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m calvex", description="Temperature sensors of this Mac, read through the calvex helper."
    )
    parser.add_argument("--json", action="store_true", help="write the helper's lines as they are")
    parser.add_argument(
        "--watch", nargs="?", type=int, const=DEFAULT_INTERVAL_MS, metavar="MS", help="a new snapshot every MS milliseconds"
    )
    parser.add_argument(
        "--helper", nargs=argparse.REMAINDER, metavar="CMD", help="run CMD ... instead of the bundled helper (comes last)"
    )
    return parser


def _raw_line(line: str) -> Union[str, CalvexError]:
    """A line of the helper kept as it is; only one that is neither a
    snapshot nor an error line is refused."""
    parsed = parse_line(line)
    return parsed if isinstance(parsed, CalvexError) and parsed.code == "BAD_OUTPUT" else line


def _print_json_lines(command: Sequence[str], once: bool, out: TextIO) -> int:
    """Every line the helper writes, unchanged; an error line ends it with 1."""
    run = HelperRun(command, _raw_line, once=once)
    try:
        while run.wait():
            line = run.take()
            if line is None:
                break
            out.write(line + "\n")
            out.flush()
            if isinstance(parse_line(line), CalvexError):
                return 1
    finally:
        run.close()
    if run.failure is not None:
        raise run.failure
    return 0


def _print_tables(snapshots: Iterable[Snapshot], out: TextIO, refresh: bool) -> int:
    for snapshot in snapshots:
        out.write((CLEAR_SCREEN if refresh else "") + table(snapshot) + "\n" + ("" if refresh else "\n"))
        out.flush()
    return 0


def run(arguments: Sequence[str], out: TextIO, err: TextIO) -> int:
    options = _parser().parse_args(arguments)
    helper: Optional[List[str]] = options.helper
    if helper is not None and not helper:
        err.write("calvex: --helper needs a command\n")
        return 2
    try:
        if options.json:
            argument = "--once" if options.watch is None else interval_argument(options.watch)
            return _print_json_lines(helper_command(helper, argument), options.watch is None, out)
        if options.watch is None:
            out.write(table(read_sensors(helper=helper)) + "\n")
            return 0
        with watch_sensors(options.watch, helper=helper) as watch:
            return _print_tables(watch, out, refresh=out.isatty())
    except CalvexError as error:
        err.write(_sentence(error) + "\n")
        return 1
    except KeyboardInterrupt:
        return INTERRUPTED_STATUS
    except BrokenPipeError:
        # The reader went (``| head``): nothing more to say to it.
        os.dup2(os.open(os.devnull, os.O_WRONLY), out.fileno())
        return 1


def main() -> None:
    sys.exit(run(sys.argv[1:], sys.stdout, sys.stderr))


if __name__ == "__main__":
    main()

"""``python -m calvex``: the sensors for people (per kind, the hottest part,
then each sensor; with ``--watch`` on a terminal, a view that fits it), or
the helper's lines as they are with ``--json``.

    python -m calvex [--json] [--watch [MS]] [--helper CMD ...]
"""

import argparse
import os
import signal
import sys
import time
from typing import List, Optional, Sequence, TextIO, Union

from ._process import DEFAULT_INTERVAL_MS, HelperRun, helper_command, interval_argument
from ._protocol import ERROR_CODES, CalvexError, Snapshot, parse_line
from ._sync import read_sensors
from ._view import view

INTERRUPTED_STATUS = 130
# A terminal of our own while watching (the alternate screen, no cursor),
# given back as it was on the way out.
ENTER_SCREEN = "\x1b[?1049h\x1b[?25l"
LEAVE_SCREEN = "\x1b[?25h\x1b[?1049l"
# Home, each line cleared to its end, the rest of the screen cleared.
HOME, END_OF_LINE, REST_OF_SCREEN = "\x1b[H", "\x1b[K", "\x1b[J"
# How soon a resize is redrawn while waiting for the next snapshot.
RESIZE_CHECK_SECONDS = 0.1


def table(snapshot: Snapshot) -> str:
    """The whole view of one snapshot: per kind, the hottest part, every sensor."""
    return "\n".join(view(snapshot))


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
    """A snapshot line kept as it is; anything else is the run's end."""
    parsed = parse_line(line)
    return parsed if isinstance(parsed, CalvexError) else line


def _print_json_lines(command: Sequence[str], once: bool, out: TextIO) -> int:
    """Every line the helper writes, unchanged; an error line too, which
    ends it with 1."""
    run = HelperRun(command, _raw_line, once=once)
    try:
        while run.wait():
            line = run.take()
            if line is None:
                break
            out.write(line + "\n")
            out.flush()
    finally:
        run.close()
    failure = run.failure
    if failure is not None and failure.code in ERROR_CODES.values() and failure.line is not None:
        out.write(failure.line + "\n")
        return 1
    if failure is not None:
        raise failure
    return 0


def _watch_piped(run: "HelperRun[Snapshot]", out: TextIO) -> int:
    """Plain text, one whole view per snapshot, a blank line between."""
    while run.wait():
        snapshot = run.take()
        if snapshot is None:
            break
        out.write(table(snapshot) + "\n\n")
        out.flush()
    raise run.failure or CalvexError("HELPER_FAILED", "the calvex helper stopped")


def _watch_on_terminal(run: "HelperRun[Snapshot]", out: TextIO) -> int:
    """One view that fits the terminal, redrawn in place on each snapshot and
    each resize; the terminal is given back as it was, Ctrl-C included."""
    resized = [False]
    previous = signal.signal(signal.SIGWINCH, lambda number, frame: resized.__setitem__(0, True))
    out.write(ENTER_SCREEN)
    try:
        shown: Optional[Snapshot] = None
        while True:
            run.wait(time.monotonic() + RESIZE_CHECK_SECONDS)
            snapshot = run.take()
            if snapshot is None and run.ended:
                break
            if snapshot is not None or (resized[0] and shown is not None):
                resized[0] = False
                shown = snapshot or shown
                assert shown is not None
                size = os.get_terminal_size(out.fileno())
                lines = view(shown, size.columns, size.lines)
                out.write(HOME + (END_OF_LINE + "\n").join(lines) + END_OF_LINE + REST_OF_SCREEN)
                out.flush()
    finally:
        out.write(LEAVE_SCREEN)
        out.flush()
        signal.signal(signal.SIGWINCH, previous)
    raise run.failure or CalvexError("HELPER_FAILED", "the calvex helper stopped")


def _watch(command: Sequence[str], out: TextIO) -> int:
    run = HelperRun(command, parse_line)
    try:
        return _watch_on_terminal(run, out) if out.isatty() else _watch_piped(run, out)
    finally:
        run.close()


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
        return _watch(helper_command(helper, interval_argument(options.watch)), out)
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

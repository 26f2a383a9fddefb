"""``python -m calvex``: the sensors for people (the thermal pressure, per
kind, the hottest part, then each sensor; with ``--watch`` on a terminal, a
view that fits it, with each kind's recent past drawn), or the helpers'
lines as they are with ``--json``. ``npx calvex`` is the same command.

    python -m calvex [-h] [--json] [--once | --watch [MS] | --report [SECONDS]] [--output FILE] [--version]
                     [--helper CMD ...] [--pressure-helper CMD ...]
"""

import errno
import json
import os
import platform
import signal
import sys
import threading
import time
from typing import IO, List, Optional, Sequence, TextIO, Tuple, Union

from ._commandline import CommandOptions, UsageError, fill, package_version, parse_command
from ._command import helper_command, interval_argument, pressure_command
from ._contract import COMMAND_LINE
from ._process import HelperRun
from ._protocol import ERROR_CODES, PRESSURE_HELPER, SENSOR_HELPER, CalvexError, Snapshot, ThermalPressure, helper_failed, parse_line, system_error
from ._sync import read_sensors, read_thermal_pressure
from ._report import build_report, gather, person_line, report_text
from ._terminal import Trends, pressure_text, unicode_terminal, view

USAGE_STATUS: int = COMMAND_LINE["usageStatus"]
FAILURE_STATUS: int = COMMAND_LINE["failureStatus"]
INTERRUPTED_STATUS: int = COMMAND_LINE["interruptedStatus"]
SENTENCES = COMMAND_LINE["sentences"]
# A terminal of our own while watching (the alternate screen, no cursor),
# given back as it was on the way out.
ENTER_SCREEN = "\x1b[?1049h\x1b[?25l"
LEAVE_SCREEN = "\x1b[?25h\x1b[?1049l"
# Home, each line cleared to its end, the rest of the screen cleared.
HOME, END_OF_LINE, REST_OF_SCREEN = "\x1b[H", "\x1b[K", "\x1b[J"
# How soon a resize is redrawn while waiting for the next snapshot.
RESIZE_CHECK_SECONDS = 0.1


# A report watches at this interval.
REPORT_INTERVAL_MS: int = COMMAND_LINE["report"]["intervalMs"]
# How long the one-shot view waits for the pressure helper's one line.
PRESSURE_TIMEOUT_SECONDS: float = COMMAND_LINE["pressureTimeoutMs"] / 1000


def table(snapshot: Snapshot, pressure_line: Optional[str] = None) -> str:
    """The whole view of one snapshot: per kind, the hottest part, every sensor."""
    return "\n".join(view(snapshot, first=pressure_line))


def _pressure_once(pressure_helper: Optional[List[str]]) -> Union[ThermalPressure, CalvexError, None]:
    """The pressure helper's one level, its failure, or None where there is
    no pressure helper."""
    command = pressure_command(pressure_helper, "--once")
    if command is None:
        return None
    try:
        return read_thermal_pressure(helper=command[:-1], timeout=PRESSURE_TIMEOUT_SECONDS)
    except CalvexError as error:
        return error


def _sentence(error: CalvexError) -> str:
    """What a person reads when the helper fails: one sentence."""
    said = f" (the helper said: {error.line})" if error.line is not None and error.code != "BAD_OUTPUT" else ""
    shared = SENTENCES.get(error.code)
    if shared is not None:
        return fill(shared, said=said, system=sys.platform, machine=platform.machine())
    return f"calvex: {error}"


class _ReportNotWritten(Exception):
    def __init__(self, output: str, error: OSError) -> None:
        super().__init__(fill(SENTENCES["cannotWriteReport"], file=output, reason=system_error(error)))


def _report_file(output: str) -> Tuple[str, "IO[bytes]"]:
    """A new file beside ``output``, made before the run so that a place it
    cannot be written is found at once; renamed over ``output`` only when
    the whole report is in it."""
    folder, name = os.path.split(output)
    temporary = os.path.join(folder, f".{name}.{os.getpid()}.tmp")
    try:
        if os.path.isdir(output):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR))
        return temporary, open(temporary, "xb")
    except OSError as error:
        raise _ReportNotWritten(output, error) from None


def _finish_report(temporary: str, file: "IO[bytes]", output: Optional[str], text: str) -> str:
    """Puts the whole report in place; returns where it went."""
    assert output is not None
    try:
        with file:
            file.write(text.encode("utf-8"))
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, output)
    except OSError as error:
        raise _ReportNotWritten(output, error) from None
    return output


def _write_report(options: CommandOptions, out: TextIO, err: TextIO) -> int:
    """Watches for the report's window, writes the document, and says in one
    line where it went."""
    assert options.report is not None
    sensors = helper_command(options.helper, str(REPORT_INTERVAL_MS))
    pressure = pressure_command(options.pressure_helper, str(REPORT_INTERVAL_MS))
    file = None if options.output is None else _report_file(options.output)
    try:
        client = {"name": "calvex (Python)", "version": package_version()}
        report = build_report(gather(options.report, REPORT_INTERVAL_MS, sensors, pressure, client, os.environ))
        text = report_text(report)
        if file is None:
            out.write(text)
            out.flush()
            where = "standard output"
        else:
            where = _finish_report(file[0], file[1], options.output, text)
    finally:
        if file is not None:
            file[1].close()
            if os.path.exists(file[0]):
                os.unlink(file[0])
    err.write(person_line(report, where) + "\n")
    return 0


def _raw_line(line: str) -> Union[str, CalvexError]:
    """A snapshot line kept as it is; anything else is the run's end."""
    parsed = parse_line(line)
    return parsed if isinstance(parsed, CalvexError) else line


def _print_json_lines(command: Sequence[str], once: bool, out: TextIO) -> int:
    """Every line the helper writes, unchanged; an error line too, which
    ends it with 1."""
    run = HelperRun(command, SENSOR_HELPER.with_parse(_raw_line), once=once)
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
        return FAILURE_STATUS
    if failure is not None:
        raise failure
    return 0


def _print_pressure_json(pressure_helper: Optional[List[str]], out: TextIO) -> None:
    """The pressure helper's one line as it wrote it, after the snapshot,
    when there is a pressure helper and it gave a level; its error line as
    it wrote it too."""
    level = _pressure_once(pressure_helper)
    if isinstance(level, ThermalPressure):
        out.write(json.dumps({"pressure": level.pressure, "level": level.level}, separators=(",", ":")) + "\n")
    elif isinstance(level, CalvexError) and level.line is not None:
        out.write(level.line + "\n")


class _PressureFollower:
    """The pressure helper run beside a watch, as the view's first line;
    on a terminal, with how long the level has held."""

    def __init__(self, command: Optional[List[str]]) -> None:
        self._run = None if command is None else HelperRun(command, PRESSURE_HELPER)
        self._latest: Union[ThermalPressure, CalvexError, None] = None
        self._since = time.monotonic()

    def line(self, with_held: bool = False) -> Optional[str]:
        if self._run is None:
            return None
        value: Union[ThermalPressure, CalvexError, None] = self._run.take()
        if value is None and self._run.ended and self._run.failure is not None:
            value = self._run.failure
        if value is not None:
            changed = not isinstance(value, ThermalPressure) or not isinstance(self._latest, ThermalPressure) or value.level != self._latest.level
            if changed:
                self._since = time.monotonic()
            self._latest = value
        held = int(time.monotonic() - self._since) if with_held and isinstance(self._latest, ThermalPressure) else None
        return pressure_text(self._latest, held)

    def close(self) -> None:
        if self._run is not None:
            self._run.close()


def _watch_piped(run: "HelperRun[Snapshot]", pressure: _PressureFollower, out: TextIO) -> int:
    """Plain text, one whole view per snapshot, a blank line between."""
    while run.wait():
        snapshot = run.take()
        if snapshot is None:
            break
        out.write(table(snapshot, pressure.line()) + "\n\n")
        out.flush()
    raise run.failure or helper_failed("stopped", role=SENSOR_HELPER.role)


def _watch_on_terminal(run: "HelperRun[Snapshot]", pressure: _PressureFollower, out: TextIO) -> int:
    """One view that fits the terminal, redrawn in place on each snapshot,
    each change of pressure and each resize; the terminal is given back as
    it was, Ctrl-C included."""
    resized = threading.Event()
    previous = signal.signal(signal.SIGWINCH, lambda number, frame: resized.set())
    trends = Trends()
    unicode = unicode_terminal(os.environ)
    out.write(ENTER_SCREEN)
    try:
        shown: Optional[Snapshot] = None
        shown_pressure: Optional[str] = None
        while True:
            run.wait(time.monotonic() + RESIZE_CHECK_SECONDS)
            snapshot = run.take()
            if snapshot is None and run.ended:
                break
            if snapshot is not None:
                trends.add(snapshot)
            pressure_line = pressure.line(with_held=True)
            if snapshot is not None or (shown is not None and (resized.is_set() or pressure_line != shown_pressure)):
                resized.clear()
                shown, shown_pressure = snapshot or shown, pressure_line
                assert shown is not None
                size = os.get_terminal_size(out.fileno())
                lines = view(shown, size.columns, size.lines, first=pressure_line, trends=trends, unicode=unicode)
                out.write(HOME + (END_OF_LINE + "\n").join(lines) + END_OF_LINE + REST_OF_SCREEN)
                out.flush()
    finally:
        out.write(LEAVE_SCREEN)
        out.flush()
        signal.signal(signal.SIGWINCH, previous)
    raise run.failure or helper_failed("stopped", role=SENSOR_HELPER.role)


def _watch(command: Sequence[str], pressure_command: Optional[List[str]], out: TextIO) -> int:
    run = HelperRun(command, SENSOR_HELPER)
    pressure = _PressureFollower(pressure_command)
    try:
        return _watch_on_terminal(run, pressure, out) if out.isatty() else _watch_piped(run, pressure, out)
    finally:
        run.close()
        pressure.close()


def run(arguments: Sequence[str], out: TextIO, err: TextIO) -> int:
    try:
        options = parse_command(arguments)
    except UsageError as problem:
        err.write(fill(COMMAND_LINE["usageError"], message=str(problem)))
        return USAGE_STATUS
    if options.help:
        out.write(fill(COMMAND_LINE["help"]))
        return 0
    if options.version:
        out.write(fill(COMMAND_LINE["version"], version=package_version()) + "\n")
        return 0
    helper: Optional[List[str]] = options.helper
    try:
        if options.report is not None:
            return _write_report(options, out, err)
        if options.json:
            argument = "--once" if options.watch is None else interval_argument(options.watch)
            status = _print_json_lines(helper_command(helper, argument), options.watch is None, out)
            if status == 0 and options.watch is None:
                _print_pressure_json(options.pressure_helper, out)
            return status
        if options.watch is None:
            snapshot = read_sensors(helper=helper)
            pressure = _pressure_once(options.pressure_helper)
            out.write(table(snapshot, None if pressure is None else pressure_text(pressure)) + "\n")
            return 0
        argument = interval_argument(options.watch)
        return _watch(helper_command(helper, argument), pressure_command(options.pressure_helper, argument), out)
    except CalvexError as error:
        if error.signal == "SIGINT":
            # Ctrl-C reaches the helpers too (one process group): a helper
            # that SIGINT ended is the same Ctrl-C, whichever is seen first.
            return INTERRUPTED_STATUS
        err.write(_sentence(error) + "\n")
        return FAILURE_STATUS
    except _ReportNotWritten as problem:
        err.write(f"{problem}\n")
        return FAILURE_STATUS
    except TypeError as problem:
        err.write(fill(COMMAND_LINE["usageError"], message=str(problem)))
        return USAGE_STATUS
    except KeyboardInterrupt:
        return INTERRUPTED_STATUS
    except BrokenPipeError:
        # The reader went (``| head``): nothing more to say to it.
        os.dup2(os.open(os.devnull, os.O_WRONLY), out.fileno())
        return FAILURE_STATUS


def main() -> None:
    sys.exit(run(sys.argv[1:], sys.stdout, sys.stderr))


if __name__ == "__main__":
    main()

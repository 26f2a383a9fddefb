"""The helper's line protocol: one line of its output becomes a Snapshot, or
a CalvexError for an error line or anything else."""

import json
from dataclasses import dataclass
from typing import Any, NamedTuple, Optional, Tuple, Union

from ._kinds import kind_of

# Error lines the helper writes at start-up, and the codes they become.
ERROR_CODES = {
    "IOKit not available": "IOKIT_NOT_AVAILABLE",
    "no HID event system": "NO_HID_EVENT_SYSTEM",
}

# A line longer than this is no calvex line (1024 sensors take about 100 kB).
LONGEST_LINE_BYTES = 4 * 1024 * 1024
# How much of an over-long line an error keeps.
KEPT_LINE_START = 200


class Sensor(NamedTuple):
    """One sensor's reading: its name (``sensor N`` when it has none; names
    repeat) and degrees Celsius with two decimals, from -40 to 150."""

    name: str
    celsius: float

    @property
    def kind(self) -> str:
        """What the sensor measures, from the shared table: ``kind_of(self.name)``."""
        return kind_of(self.name)


@dataclass(frozen=True)
class Snapshot:
    """Every sensor that had a valid reading at one moment, in the order the
    system lists them."""

    sensors: Tuple[Sensor, ...]


class CalvexError(Exception):
    """How a run failed. ``code`` says why:

    - ``IOKIT_NOT_AVAILABLE``: the helper could not load IOKit or CoreFoundation;
    - ``NO_HID_EVENT_SYSTEM``: the helper could not open the HID event system;
    - ``UNSUPPORTED_PLATFORM``: not macOS on arm64 and no ``helper`` given; nothing was run;
    - ``HELPER_FAILED``: the helper could not start, was killed, exited (without a
      line, or while being watched) or took longer than the timeout; the message says how;
    - ``BAD_OUTPUT``: the helper wrote a line that is neither a snapshot nor an error line.

    ``line`` holds the helper's line for ``BAD_OUTPUT`` and the two error codes.
    """

    def __init__(self, code: str, message: str, line: Optional[str] = None) -> None:
        super().__init__(message)
        self.code = code
        self.line = line

    def __reduce__(self) -> Any:
        return (CalvexError, (self.code, str(self), self.line))


def _bad_output(what: str, line: str) -> CalvexError:
    return CalvexError("BAD_OUTPUT", f"calvex wrote {what}: {line}", line)


def _entry(entry: Any) -> Optional[Sensor]:
    if not isinstance(entry, dict):
        return None
    name, celsius = entry.get("name"), entry.get("t")
    if not isinstance(name, str) or isinstance(celsius, bool) or not isinstance(celsius, (int, float)):
        return None
    return Sensor(name, float(celsius))


def _reject_constant(name: str) -> Any:
    # NaN and Infinity are not JSON, whatever Python's reader allows.
    raise ValueError(f"{name} is not JSON")


def parse_line(line: str) -> Union[Snapshot, CalvexError]:
    """One line of the helper's output, without its line feed."""
    try:
        message = json.loads(line, parse_constant=_reject_constant)
    except (ValueError, RecursionError):
        return _bad_output("a line that is not JSON", line)
    entries = message.get("sensors") if isinstance(message, dict) else None
    if isinstance(entries, list):
        sensors = []
        for entry in entries:
            sensor = _entry(entry)
            if sensor is None:
                return _bad_output("a sensor entry that is not {name, t}", line)
            sensors.append(sensor)
        return Snapshot(tuple(sensors))
    error = message.get("error") if isinstance(message, dict) else None
    code = ERROR_CODES.get(error) if isinstance(error, str) else None
    if code is not None:
        return CalvexError(code, f"calvex: {error}", line)
    return _bad_output("a line that is neither a snapshot nor an error", line)


def over_long_line(start: str) -> CalvexError:
    """The error for a line that went past LONGEST_LINE_BYTES."""
    kept = start[:KEPT_LINE_START]
    return CalvexError("BAD_OUTPUT", f"calvex wrote an over-long line: {kept}…", kept)

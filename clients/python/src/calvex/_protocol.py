"""The helper's line protocol: one line of its output becomes a Snapshot, or
a CalvexError for an error line or anything else. Imports nothing of the
package: everything else builds on it."""

import json
from dataclasses import dataclass
from functools import partial
from operator import itemgetter
from typing import Any, Callable, List, NamedTuple, Optional, Tuple, Union, cast

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


# The parse stays close to json.loads itself: the entries are taken apart,
# checked and made into Sensors by C-level loops (map, set, tuple.__new__),
# not by NamedTuple's Python-level __new__.
_name_of = itemgetter("name")
_celsius_of = itemgetter("t")
_new_sensor = cast(Callable[[Tuple[str, float]], Sensor], partial(tuple.__new__, Sensor))


def _sensors(entries: List[Any]) -> Optional[List[Sensor]]:
    """The entries as Sensors, or None when one is not {name: str, t: number}."""
    try:
        names = list(map(_name_of, entries))
        readings = list(map(_celsius_of, entries))
    except (TypeError, KeyError):
        return None
    if not set(map(type, names)) <= {str}:
        return None
    if not set(map(type, readings)) <= {float}:
        # Whole numbers are numbers too; true and false are not.
        if not all(isinstance(value, (int, float)) and not isinstance(value, bool) for value in readings):
            return None
        readings = [float(value) for value in readings]
    return list(map(_new_sensor, zip(names, readings)))


def _reject_constant(name: str) -> Any:
    # NaN and Infinity are not JSON, whatever Python's reader allows.
    raise ValueError(f"{name} is not JSON")


# Made once: json.loads with any option builds a new decoder per call.
_DECODER = json.JSONDecoder(parse_constant=_reject_constant)


def parse_line(line: str) -> Union[Snapshot, CalvexError]:
    """One line of the helper's output, without its line feed."""
    try:
        message = _DECODER.decode(line)
    except (ValueError, RecursionError):
        return _bad_output("a line that is not JSON", line)
    entries = message.get("sensors") if isinstance(message, dict) else None
    if isinstance(entries, list):
        sensors = _sensors(entries)
        if sensors is None:
            return _bad_output("a sensor entry that is not {name, t}", line)
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

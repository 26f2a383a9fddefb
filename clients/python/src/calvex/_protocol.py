"""The helper's line protocol: one line of its output becomes a Snapshot, or
a CalvexError for an error line or anything else. Imports only the kind
table, a leaf (for ``Sensor.kind``): everything else builds on it."""

import errno
import json
import math
import re
from dataclasses import dataclass
from functools import partial
from itertools import accumulate
from operator import itemgetter
from typing import Any, Callable, Dict, Generic, List, NamedTuple, Optional, Tuple, TypeVar, Union, cast

from ._contract import PROTOCOL
from ._kinds import kind_of

# Error lines the helpers write at start-up, and the codes they become.
ERROR_CODES: Dict[str, str] = dict(PROTOCOL["helpers"]["sensors"]["errorLines"])
PRESSURE_ERROR_CODES: Dict[str, str] = dict(PROTOCOL["helpers"]["pressure"]["errorLines"])
# The pressure helper's level names, by level: macOS's own scale.
PRESSURE_LEVELS: Tuple[str, ...] = tuple(PROTOCOL["pressureLevels"])
# What a level off that scale, or one not read, is called.
PRESSURE_LEVELS_UNKNOWN: str = PROTOCOL["unknownPressure"]
# Every failure code, with what it means.
CODE_MEANINGS: Dict[str, str] = dict(PROTOCOL["codes"])

# A line longer than this is no calvex line (1024 sensors take about 100 kB).
LONGEST_LINE_BYTES: int = PROTOCOL["longestLineBytes"]
# How much of an over-long line an error keeps, in code points.
KEPT_LINE_START: int = PROTOCOL["keptLineStart"]
# A line nested deeper than this is no JSON a client reads: checked before
# the decoder, whose recursion would otherwise decide.
DEEPEST_NESTING: int = PROTOCOL["deepestNesting"]
# The highest pressure level number a line may hold.
HIGHEST_LEVEL: int = PROTOCOL["highestLevel"]
# The errno names every client gives, by this system's numbers; the first
# name wins where two share a number.
_ERRNO_NAMES: Dict[int, str] = {}
for _name in PROTOCOL["errnoNames"]:
    _ERRNO_NAMES.setdefault(getattr(errno, _name, -1), _name)


def system_error(error: OSError) -> str:
    """The system's error in words, and by its name: the same from every client."""
    name = _ERRNO_NAMES.get(error.errno if error.errno is not None else -1)
    if name is None:
        return str(error.strerror or error)
    words = PROTOCOL["systemErrors"].get(name)
    return name if words is None else f"{words} ({name})"


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


class ThermalPressure(NamedTuple):
    """The system's thermal pressure level: ``pressure`` is ``nominal``,
    ``moderate``, ``heavy``, ``trapping``, ``sleeping`` or ``unknown``;
    ``level`` is macOS's number for it (0 to 4), the number the system gave
    when it is off that scale, or None when it could not be read."""

    pressure: str
    level: Optional[int]


class CalvexError(Exception):
    """How a run failed. ``code`` says why:

    - ``IOKIT_NOT_AVAILABLE``: the helper could not load IOKit or CoreFoundation;
    - ``NO_HID_EVENT_SYSTEM``: the helper could not open the HID event system;
    - ``UNSUPPORTED_PLATFORM``: not macOS on arm64 and no ``helper`` given; nothing was run;
    - ``HELPER_FAILED``: the helper could not start, was killed, exited (without a
      line, or while being watched) or took longer than the timeout; the message says how;
    - ``BAD_OUTPUT``: the helper wrote a line that is neither a snapshot nor an error line;
    - ``PRESSURE_NOT_AVAILABLE``: the pressure helper found no notify service;
    - ``NO_PRESSURE_NOTIFICATION``: the pressure helper could not register for the notification.

    ``line`` holds the helper's line for ``BAD_OUTPUT`` and the error-line codes;
    ``signal`` the signal's name (``SIGINT``) where one ended the helper.
    """

    def __init__(self, code: str, message: str, line: Optional[str] = None, signal: Optional[str] = None) -> None:
        super().__init__(message)
        self.code: str = code
        self.line: Optional[str] = line
        self.signal: Optional[str] = signal

    def __reduce__(self) -> Any:
        return (CalvexError, (self.code, str(self), self.line, self.signal))


def _bad_output(what: str, line: str) -> CalvexError:
    return CalvexError("BAD_OUTPUT", f"calvex wrote {what}: {line}", line)


# The parse stays close to json.loads itself: the entries are taken apart,
# checked and made into Sensors by C-level loops (map, set, tuple.__new__),
# not by NamedTuple's Python-level __new__.
_name_of = itemgetter("name")
_celsius_of = itemgetter("t")
_new_sensor = cast(Callable[[Tuple[str, float]], Sensor], partial(tuple.__new__, Sensor))


def _sensors(entries: List[Any], line: str) -> Optional[List[Sensor]]:
    """The entries as Sensors, or None when one is not {name: str, t: a
    finite number}."""
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
    if not all(map(math.isfinite, readings)):
        return None
    if _SURROGATE_ESCAPE.search(line) is not None:
        # A lone surrogate escape is no character: U+FFFD, as every client says.
        names = [_LONE_SURROGATE.sub("\ufffd", name) for name in names]
    return list(map(_new_sensor, zip(names, readings)))


_SURROGATE_ESCAPE = re.compile(r"\\u[dD][89a-fA-F]")
_LONE_SURROGATE = re.compile("[\ud800-\udfff]")


def _reject_constant(name: str) -> Any:
    # NaN and Infinity are not JSON, whatever Python's reader allows.
    raise ValueError(f"{name} is not JSON")


class _LongInteger(float):
    """A whole number written with more digits than any level or reading
    needs: a float as a reading (refused when infinite), beyond the highest
    level as a level."""


def _integer(text: str) -> Union[int, float]:
    # -0 is a float's zero, and stays negative; a long integer is never
    # made an int, whose conversion would cost or fail.
    if text == "-0":
        return -0.0
    return int(text) if len(text) <= 24 else _LongInteger(text)


# Made once: json.loads with any option builds a new decoder per call.
_DECODER = json.JSONDecoder(parse_constant=_reject_constant, parse_int=_integer)
_STRINGS = re.compile(r'"(?:[^"\\]|\\.)*"?', re.S)
_NOT_BRACKETS = re.compile(r"[^\[\]{}]+")
_DEPTH_STEP = {"[": 1, "{": 1, "]": -1, "}": -1}


def _nests_too_deeply(line: str) -> bool:
    """Whether the line's brackets, outside strings, go deeper than
    DEEPEST_NESTING; C-level passes, so a 4 MiB line costs little."""
    if line.count("[") + line.count("{") <= DEEPEST_NESTING:
        return False
    brackets = _NOT_BRACKETS.sub("", _STRINGS.sub("", line))
    return max(accumulate(map(_DEPTH_STEP.__getitem__, brackets)), default=0) > DEEPEST_NESTING


def _decode(line: str) -> Any:
    """The line's JSON value; ValueError when it is none (or nests too deeply)."""
    if _nests_too_deeply(line):
        raise ValueError("nested too deeply")
    return _DECODER.decode(line)


def parse_line(line: str) -> Union[Snapshot, CalvexError]:
    """One line of the helper's output, without its line feed."""
    try:
        message = _decode(line)
    except (ValueError, RecursionError):
        return _bad_output("a line that is not JSON", line)
    entries = message.get("sensors") if isinstance(message, dict) else None
    if isinstance(entries, list):
        sensors = _sensors(entries, line)
        if sensors is None:
            return _bad_output("a sensor entry that is not {name, t}", line)
        return Snapshot(tuple(sensors))
    return _error_line(message, ERROR_CODES, line) or _bad_output("a line that is neither a snapshot nor an error", line)


def _error_line(message: Any, codes: Dict[str, str], line: str) -> Optional[CalvexError]:
    error = message.get("error") if isinstance(message, dict) else None
    code = codes.get(error) if isinstance(error, str) else None
    return None if code is None else CalvexError(code, f"calvex: {error}", line)


def _pressure(message: Any) -> Optional[ThermalPressure]:
    """The line's level when it is one the helper writes, else None."""
    if not isinstance(message, dict) or set(message) != {"pressure", "level"}:
        return None
    pressure, level = message["pressure"], message["level"]
    if level is None:
        return ThermalPressure(pressure, None) if pressure == PRESSURE_LEVELS_UNKNOWN else None
    if isinstance(level, _LongInteger) or (isinstance(level, int) and level > HIGHEST_LEVEL):
        # More than every client can hold exactly: unknown, with no number.
        return ThermalPressure(pressure, None) if pressure == PRESSURE_LEVELS_UNKNOWN else None
    if isinstance(level, bool) or not isinstance(level, int) or level < 0:
        return None
    named = PRESSURE_LEVELS[level] if level < len(PRESSURE_LEVELS) else PRESSURE_LEVELS_UNKNOWN
    return ThermalPressure(pressure, level) if pressure == named else None


def parse_pressure_line(line: str) -> Union[ThermalPressure, CalvexError]:
    """One line of the pressure helper's output, without its line feed."""
    try:
        message = _decode(line)
    except (ValueError, RecursionError):
        return _bad_output("a line that is not JSON", line)
    pressure = _pressure(message)
    if pressure is not None:
        return pressure
    return _error_line(message, PRESSURE_ERROR_CODES, line) or _bad_output("a line that is neither a pressure level nor an error", line)


def over_long_line(start: str) -> CalvexError:
    """The error for a line that went past LONGEST_LINE_BYTES."""
    kept = start[:KEPT_LINE_START]
    return CalvexError("BAD_OUTPUT", f"calvex wrote an over-long line: {kept}…", kept)


def cannot_start(role: str, program: str, error: OSError) -> CalvexError:
    """The failure of a helper that could not be started."""
    return CalvexError("HELPER_FAILED", _fill(PROTOCOL["cannotStart"], role=role, program=program, reason=system_error(error)))


def helper_failed(sentence: str, **values: str) -> CalvexError:
    """HELPER_FAILED with one of the protocol's sentences (``timedOut``,
    ``silent``, ``readFailed``), filled."""
    return CalvexError("HELPER_FAILED", _fill(PROTOCOL[sentence], **values))


def _fill(template: str, **values: str) -> str:
    for name, value in values.items():
        template = template.replace("{" + name + "}", value)
    return template


Value = TypeVar("Value")


@dataclass(frozen=True)
class Helper(Generic[Value]):
    """One of the helpers as every run knows it: its program's name, the
    name its failures give it, and the parse of its lines."""

    program: str
    role: str
    parse: Callable[[str], Union[Value, CalvexError]]

    def with_parse(self, parse: Callable[[str], Union[Any, CalvexError]]) -> "Helper[Any]":
        """The same helper with its lines read by another parse."""
        return Helper(self.program, self.role, parse)


def _helper(name: str, parse: Callable[[str], Union[Value, CalvexError]]) -> Helper[Value]:
    record = PROTOCOL["helpers"][name]
    return Helper(record["program"], record["role"], parse)


SENSOR_HELPER: Helper[Snapshot] = _helper("sensors", parse_line)
PRESSURE_HELPER: Helper[ThermalPressure] = _helper("pressure", parse_pressure_line)

"""The blocking face: one value with a ``--once`` run, a stream with a
watch; both over the one process core. read_sensors and watch_sensors are
these for the sensor helper."""

import weakref
from types import TracebackType
from typing import Any, Dict, Generic, List, NamedTuple, Optional, Sequence, Type, TypeVar

from ._command import DEFAULT_INTERVAL_MS, bundled_pressure_helper_path, helper_command, interval_argument
from ._process import HelperRun, Value, deadline_after, timeout_failure
from ._kinds import kind_of
from ._protocol import PRESSURE_HELPER, SENSOR_HELPER, Helper, Snapshot, ThermalPressure

# A watch used as an iterator or a context manager is its own class, so a
# SensorWatch stays a SensorWatch in ``with ... as`` and ``iter()``.
SelfWatch = TypeVar("SelfWatch", bound="Watch[Any]")


def read_once(command: Sequence[str], helper: "Helper[Value]", timeout: Optional[float]) -> Value:
    """Runs a ``--once`` command to its end and returns its value, or raises
    how it failed (the timeout included: the helper is stopped first)."""
    deadline = deadline_after(timeout)
    run = HelperRun(command, helper, once=True)
    if not run.wait_end(deadline):
        run.stop(timeout_failure(helper))
        run.wait_end()
    return run.result()


class shwtemp(NamedTuple):  # noqa: N801: the familiar name, so existing code reads it unchanged
    """One reading as Linux code knows it: a label, the current temperature,
    and ``high`` and ``critical``, which macOS does not publish (None)."""

    label: str
    current: float
    high: Optional[float]
    critical: Optional[float]


class Watch(Generic[Value]):
    """Values from a helper running at an interval: an iterator (``iter(watch)
    is watch``) and a context manager. The helper starts with the first value
    asked for. It is stopped, and waited for, on ``close()``, on leaving a
    ``with`` block, at the end of the values (an error is the last of them),
    and when the watch itself is no longer held. A consumer slower than the
    interval gets the newest value; older unread ones are dropped. One
    consumer per watch."""

    def __init__(self, command: Sequence[str], helper: "Helper[Value]") -> None:
        self._command = list(command)
        self._helper = helper
        self._run: Optional[HelperRun[Value]] = None
        self._closed = False

    def __next__(self) -> Value:
        if self._closed:
            raise StopIteration
        if self._run is None:
            self._run = HelperRun(self._command, self._helper)
            # Dropping the watch stops its helper; the run's reader thread
            # holds only the run, so the watch can be collected.
            weakref.finalize(self, self._run.close)
        try:
            self._run.wait()
        except BaseException:  # Ctrl-C while waiting ends the watch, as a cancellation would
            self.close()
            raise
        value = self._run.take()
        if value is not None:
            return value
        self._closed = True
        self._run.close()
        if self._run.failure is not None:
            raise self._run.failure
        raise StopIteration

    def __iter__(self: SelfWatch) -> SelfWatch:
        return self

    def close(self) -> None:
        """Stops the helper and waits until it has exited. Idempotent."""
        self._closed = True
        if self._run is not None:
            self._run.close()

    def __enter__(self: SelfWatch) -> SelfWatch:
        return self

    def __exit__(
        self,
        kind: Optional[Type[BaseException]],
        value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        self.close()


class SensorWatch(Watch[Snapshot]):
    """Snapshots from the sensor helper running at an interval; see Watch."""

    def __init__(self, command: Sequence[str]) -> None:
        super().__init__(command, SENSOR_HELPER)


class PressureWatch(Watch[ThermalPressure]):
    """Thermal pressure levels from the pressure helper, one per interval
    whether or not the level changed; see Watch."""

    def __init__(self, command: Sequence[str]) -> None:
        super().__init__(command, PRESSURE_HELPER)


def read_sensors(*, helper: Optional[Sequence[str]] = None, timeout: Optional[float] = None) -> Snapshot:
    """Runs the helper once (``calvex --once``) and returns its snapshot once
    the helper has exited. Past ``timeout`` seconds the helper is stopped and
    CalvexError HELPER_FAILED is raised. Safe to call from any thread."""
    return read_once(helper_command(helper, "--once"), SENSOR_HELPER, timeout)


def watch_sensors(interval_ms: int = DEFAULT_INTERVAL_MS, *, helper: Optional[Sequence[str]] = None) -> SensorWatch:
    """Runs the helper every ``interval_ms`` milliseconds (raised to 200,
    capped at 4,294,967, as the helper does) and yields its snapshots; see
    SensorWatch. Raises UNSUPPORTED_PLATFORM at once, before any spawn."""
    return SensorWatch(helper_command(helper, interval_argument(interval_ms)))


def read_thermal_pressure(*, helper: Optional[Sequence[str]] = None, timeout: Optional[float] = None) -> ThermalPressure:
    """Runs the pressure helper once (``calvex-pressure --once``) and returns
    the system's thermal pressure level: ``ThermalPressure('nominal', 0)``
    when macOS is not holding the Mac back for heat. As read_sensors."""
    return read_once(helper_command(helper, "--once", bundled_pressure_helper_path), PRESSURE_HELPER, timeout)


def watch_thermal_pressure(interval_ms: int = DEFAULT_INTERVAL_MS, *, helper: Optional[Sequence[str]] = None) -> PressureWatch:
    """Runs the pressure helper every ``interval_ms`` milliseconds and yields
    its levels; as watch_sensors."""
    command = helper_command(helper, interval_argument(interval_ms), bundled_pressure_helper_path)
    return PressureWatch(command)


def sensors_temperatures(
    fahrenheit: bool = False, *, helper: Optional[Sequence[str]] = None, timeout: Optional[float] = None
) -> Dict[str, List[shwtemp]]:
    """The temperatures call that macOS lacks, in the shape Linux code
    expects: one snapshot (as read_sensors) as a dict from group to a list
    of ``shwtemp(label, current, high, critical)``. The groups are the
    sensor kinds (``cpu``, ``gpu``, ...) in first-seen order, each list in
    the helper's order; ``high`` and ``critical`` are None; degrees
    Fahrenheit when ``fahrenheit`` is true. ``helper`` and ``timeout`` are
    read_sensors' own."""
    groups: Dict[str, List[shwtemp]] = {}
    for name, celsius in read_sensors(helper=helper, timeout=timeout).sensors:
        current = celsius * 9 / 5 + 32 if fahrenheit else celsius
        groups.setdefault(kind_of(name), []).append(shwtemp(name, current, None, None))
    return groups

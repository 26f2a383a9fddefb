"""Small views of a snapshot: the hottest sensor, readings by name, and the
temperatures grouped by kind in the shape Linux code expects."""

from typing import Dict, List, NamedTuple, Optional, Sequence

from ._kinds import kind_of
from ._protocol import Sensor, Snapshot
from ._sync import read_sensors


class shwtemp(NamedTuple):  # noqa: N801: the familiar name, so existing code reads it unchanged
    """One reading as Linux code knows it: a label, the current temperature,
    and ``high`` and ``critical``, which macOS does not publish (None)."""

    label: str
    current: float
    high: Optional[float]
    critical: Optional[float]


def hottest(snapshot: Snapshot) -> Optional[Sensor]:
    """The hottest sensor of a snapshot (the first one when several are
    equal), or None when the snapshot has none."""
    best: Optional[Sensor] = None
    for sensor in snapshot.sensors:
        if best is None or sensor.celsius > best.celsius:
            best = sensor
    return best


def by_name(snapshot: Snapshot) -> Dict[str, List[float]]:
    """The temperatures of a snapshot by sensor name, in list order, since
    names repeat: ``by_name(snapshot)["PMU tdie1"]`` might be ``[45.99, 46.2]``."""
    readings: Dict[str, List[float]] = {}
    for name, celsius in snapshot.sensors:
        readings.setdefault(name, []).append(celsius)
    return readings


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

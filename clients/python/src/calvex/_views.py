"""Small views of a snapshot: the hottest sensor, readings by name, and the
temperatures grouped by kind in the shape Linux code expects."""

from typing import Dict, List, NamedTuple, Optional, Sequence

from ._kinds import KINDS, NOT_A_PART, kind_of
from ._protocol import Sensor, Snapshot
from ._sync import read_sensors


class shwtemp(NamedTuple):  # noqa: N801: the familiar name, so existing code reads it unchanged
    """One reading as Linux code knows it: a label, the current temperature,
    and ``high`` and ``critical``, which macOS does not publish (None)."""

    label: str
    current: float
    high: Optional[float]
    critical: Optional[float]


def hottest(snapshot: Snapshot, kind: Optional[str] = None) -> Optional[Sensor]:
    """The hottest reading of a snapshot (the first one when several are
    equal), or None: of one kind when ``kind`` is given (a name from
    ``KINDS``; anything else is a TypeError), else of every kind but
    ``calibration``, whose near-constant references are no temperature of
    any part."""
    if kind is not None and kind not in KINDS:
        raise TypeError(f"kind must be one of {', '.join(KINDS)}, not {kind!r}")
    best: Optional[Sensor] = None
    for sensor in snapshot.sensors:
        sensor_kind = kind_of(sensor.name)
        counts = sensor_kind != NOT_A_PART if kind is None else sensor_kind == kind
        if counts and (best is None or sensor.celsius > best.celsius):
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

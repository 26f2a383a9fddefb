"""Small views of a snapshot: the hottest sensor, a summary per kind, and
the readings by name."""

from dataclasses import dataclass
from typing import Dict, List, Optional

from ._kinds import KINDS, NOT_A_PART, kind_of, plausible
from ._protocol import Sensor, Snapshot


@dataclass(frozen=True)
class KindSummary:
    """The readings of one kind in a snapshot that can be temperatures: how
    many, the largest, and their mean (summed in list order, then divided
    by ``count``, so every calvex client gets the same number); and how many
    readings of the kind were left out as no temperature (placeholders,
    readings below the kind's floor)."""

    count: int
    max: float
    mean: float
    left_out: int = 0


def hottest(snapshot: Snapshot, kind: Optional[str] = None) -> Optional[Sensor]:
    """The hottest reading of a snapshot (the first one when several are
    equal), or None: of one kind when ``kind`` is given (a name from
    ``KINDS``; anything else is a TypeError), else of every kind but
    ``calibration``, whose near-constant references are no temperature of
    any part. Readings that cannot be temperatures (placeholders, readings
    below their kind's floor) are never the hottest."""
    if kind is not None and kind not in KINDS:
        raise TypeError(f"kind must be one of {', '.join(KINDS)}, not {kind!r}")
    best: Optional[Sensor] = None
    for sensor in snapshot.sensors:
        sensor_kind = kind_of(sensor.name)
        counts = sensor_kind != NOT_A_PART if kind is None else sensor_kind == kind
        if counts and plausible(sensor_kind, sensor.celsius) and (best is None or sensor.celsius > best.celsius):
            best = sensor
    return best


def by_name(snapshot: Snapshot) -> Dict[str, List[float]]:
    """The temperatures of a snapshot by sensor name, in list order, since
    names repeat: ``by_name(snapshot)["PMU tdie1"]`` might be ``[45.99, 46.2]``."""
    readings: Dict[str, List[float]] = {}
    for name, celsius in snapshot.sensors:
        readings.setdefault(name, []).append(celsius)
    return readings


def summary(snapshot: Snapshot) -> Dict[str, KindSummary]:
    """A KindSummary for each kind with at least one reading that can be a
    temperature (``other`` included), in the order the kinds first appear;
    each says how many of its readings it left out. A kind none of whose
    readings can be a temperature is absent, as if it had none."""
    totals: Dict[str, List[float]] = {}  # kind: [count, max, sum, left out]
    for name, celsius in snapshot.sensors:
        kind = kind_of(name)
        total = totals.setdefault(kind, [0, 0.0, 0.0, 0])
        if not plausible(kind, celsius):
            total[3] += 1
        elif total[0] == 0:
            total[:3] = [1, celsius, celsius]
        else:
            total[0] += 1
            total[2] += celsius
            if celsius > total[1]:
                total[1] = celsius
    return {
        kind: KindSummary(int(count), high, sum_ / count, int(left_out))
        for kind, (count, high, sum_, left_out) in totals.items()
        if count > 0
    }

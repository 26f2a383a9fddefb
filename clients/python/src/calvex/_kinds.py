"""What each sensor measures, from the shared table of sensor kinds (copied
into the package as sensor-kinds.json when it is built), and a summary per
kind."""

import json
import re
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, Dict, List, Pattern, Tuple

if TYPE_CHECKING:
    from ._protocol import Snapshot


def _table_file() -> Path:
    """In a checkout (clients/shared with its test vectors), the repository's
    table, which a copy left by a build could lag behind; in an installed
    package, the copy built into it."""
    here = Path(__file__).resolve().parent
    if len(here.parents) > 2:  # an installed package may sit near the root
        shared = here.parents[2] / "shared"
        if (shared / "sensor-kinds-vectors.json").exists():
            return shared / "sensor-kinds.json"
    return here / "sensor-kinds.json"


_TABLE: Dict[str, Any] = json.loads(_table_file().read_text(encoding="utf-8"))

_ROWS: List[Tuple[str, "Pattern[str]"]] = [
    (row["kind"], re.compile(row["pattern"], re.IGNORECASE if row["ignoreCase"] else 0)) for row in _TABLE["rows"]
]

# Every kind, in the table's order ("other" last).
KINDS: Tuple[str, ...] = tuple(_TABLE["kinds"])
# What no hottest part can be: a reference that reads near-constant.
NOT_A_PART = "calibration"

# Names repeat from snapshot to snapshot, so each is matched once; the bound
# keeps a helper that invents names from growing the cache.
_KNOWN_NAMES_KEPT = 4096
_known: Dict[str, str] = {}


@dataclass(frozen=True)
class KindSummary:
    """The readings of one kind in a snapshot: how many, the largest, and
    their mean (summed in list order, then divided by ``count``, so every
    calvex client gets the same number)."""

    count: int
    max: float
    mean: float


def _match_kind(name: str) -> str:
    for kind, pattern in _ROWS:
        if pattern.fullmatch(name):
            return kind
    unmatched: str = _TABLE["unmatched"]
    return unmatched


def kind_of(name: str) -> str:
    """The kind of a sensor name: ``cpu``, ``gpu``, ``soc``, ``neural``,
    ``storage``, ``battery``, ``calibration`` or ``other``, from the first row of the shared
    table that matches the whole name (``kind_of("PMU tdie3") == "cpu"``).
    Best-effort: a name the table does not know is ``other``."""
    if not isinstance(name, str):
        raise TypeError(f"a sensor name is a str, not {type(name).__name__}")
    kind = _known.get(name)
    if kind is None:
        kind = _match_kind(name)
        if len(_known) >= _KNOWN_NAMES_KEPT:
            _known.clear()
        _known[name] = kind
    return kind


def summary(snapshot: "Snapshot") -> Dict[str, KindSummary]:
    """A KindSummary for each kind with at least one reading in the snapshot
    (``other`` included), in the order the kinds first appear."""
    totals: Dict[str, List[float]] = {}  # kind: [count, max, sum]
    for name, celsius in snapshot.sensors:
        kind = kind_of(name)
        total = totals.get(kind)
        if total is None:
            totals[kind] = [1, celsius, celsius]
        else:
            total[0] += 1
            total[2] += celsius
            if celsius > total[1]:
                total[1] = celsius
    return {kind: KindSummary(int(count), high, sum_ / count) for kind, (count, high, sum_) in totals.items()}

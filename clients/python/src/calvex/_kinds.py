"""What each sensor measures, from the shared table of sensor kinds (written
into _contract.py by tools/shared-code.py). A leaf: it imports only the
contract's data, so the protocol's Sensor can ask it for a kind."""

import re
from typing import Any, Dict, List, Optional, Pattern, Tuple

from ._contract import KIND_TABLE

_TABLE: Dict[str, Any] = KIND_TABLE

_ROWS: List[Tuple[str, "Pattern[str]"]] = [
    (row["kind"], re.compile(row["pattern"], re.IGNORECASE if row["ignoreCase"] else 0)) for row in _TABLE["rows"]
]

# Every kind, in the table's order ("other" last).
KINDS: Tuple[str, ...] = tuple(_TABLE["kinds"])
# What no hottest part can be: a reference that reads near-constant.
NOT_A_PART: str = _TABLE["notAPart"]["kind"]
# The kind of a name no row matches: one calvex does not know yet.
UNCLASSIFIED: str = _TABLE["unmatched"]
# Below its kind's floor, or exactly the placeholder, a reading is no
# temperature (see the table's notes).
_LOWEST_PLAUSIBLE: Dict[str, Optional[float]] = _TABLE["lowestPlausible"]["celsius"]
PLACEHOLDER: float = _TABLE["placeholder"]["celsius"]

# Names repeat from snapshot to snapshot, so each is matched once; the bound
# keeps a helper that invents names from growing the cache.
_KNOWN_NAMES_KEPT = 4096
_known: Dict[str, str] = {}


def _match_kind(name: str) -> str:
    for kind, pattern in _ROWS:
        if pattern.fullmatch(name):
            return kind
    return UNCLASSIFIED


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


def plausible(kind: str, celsius: float) -> bool:
    """Whether a reading of this kind can be a temperature: not the
    placeholder, and not below the kind's lowest plausible reading."""
    floor = _LOWEST_PLAUSIBLE.get(kind)
    return celsius != PLACEHOLDER and (floor is None or celsius >= floor)

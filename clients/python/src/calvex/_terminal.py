"""The terminal view of ``python -m calvex``: a snapshot as lines of text,
the answer first (one line per kind, the hottest part), then the sensors,
hottest first, cut to a terminal's size when one is given."""

from typing import List, Optional

from ._kinds import KINDS, kind_of
from ._protocol import Snapshot
from ._views import hottest, summary

KIND_WIDTH = max(len(kind) for kind in KINDS)
NUMBER_WIDTH = 7  # -39.99 to 149.99, and a header


def _fit(text: str, width: Optional[int]) -> str:
    if width is None or len(text) <= width:
        return text
    return text[: max(0, width - 1)] + "…"


def kind_lines(snapshot: Snapshot) -> List[str]:
    """One line per kind present, in the table's order: count, max, mean."""
    kinds = summary(snapshot)
    lines = [f"{'kind':<{KIND_WIDTH}}  {'count':>5}  {'max °C':>{NUMBER_WIDTH}}  {'mean °C':>{NUMBER_WIDTH}}"]
    for kind in KINDS:
        if kind in kinds:
            each = kinds[kind]
            lines.append(f"{kind:<{KIND_WIDTH}}  {each.count:>5}  {each.max:>{NUMBER_WIDTH}.2f}  {each.mean:>{NUMBER_WIDTH}.2f}")
    return lines


def hottest_line(snapshot: Snapshot) -> str:
    top = hottest(snapshot)
    if top is None:
        return "hottest: no part has a reading"
    return f"hottest: {top.name} ({kind_of(top.name)}) {top.celsius:.2f} °C"


def sensor_lines(snapshot: Snapshot, name_width: int) -> List[str]:
    """A header and every sensor, hottest first (list order among equals)."""
    ordered = sorted(snapshot.sensors, key=lambda sensor: -sensor.celsius)
    lines = [f"{'sensor':<{name_width}}  {'kind':<{KIND_WIDTH}}  {'°C':>{NUMBER_WIDTH}}"]
    for name, celsius in ordered:
        shown = name if len(name) <= name_width else name[: name_width - 1] + "…"
        lines.append(f"{shown:<{name_width}}  {kind_of(name):<{KIND_WIDTH}}  {celsius:>{NUMBER_WIDTH}.2f}")
    return lines


def view(snapshot: Snapshot, width: Optional[int] = None, height: Optional[int] = None, first: Optional[str] = None) -> List[str]:
    """The whole view; with a width and a height, no line is wider and
    there are no more lines: the hottest sensors that fit, then a line that
    says how many are not shown. ``first`` is a line put above it all."""
    if not snapshot.sensors:
        return [line for line in (first, "no sensors with a reading") if line is not None]
    head = ([first] if first is not None else []) + kind_lines(snapshot) + [hottest_line(snapshot)]
    longest = max(len("sensor"), *(len(sensor.name) for sensor in snapshot.sensors))
    fixed = 2 + KIND_WIDTH + 2 + NUMBER_WIDTH
    name_width = longest if width is None else max(6, min(longest, width - fixed))
    sensors = sensor_lines(snapshot, name_width)
    if height is not None and len(head) + len(sensors) > height:
        room = max(0, height - len(head) - 1)  # the last line says what is cut
        left_out = len(sensors) - 1 - max(0, room - 1)
        sensors = sensors[:room] + [f"… {left_out} more sensors not shown"]
    return [_fit(line, width) for line in (head + sensors)[: height if height is not None else None]]

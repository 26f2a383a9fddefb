"""The terminal view of ``python -m calvex``: a snapshot as lines of text,
the answer first (the thermal pressure, one line per kind, the hottest
part), then the sensors, hottest first, cut to a terminal's size when one
is given; while watching, each kind's recent past drawn beside it. The
npm package's terminal.js renders the same bytes: the shared golden cases
(clients/shared/terminal-views.json) hold both to it."""

from typing import Dict, List, Mapping, Optional, Union

from ._contract import COMMAND_LINE
from ._kinds import KINDS, UNCLASSIFIED, kind_of
from ._protocol import CalvexError, Snapshot, ThermalPressure
from ._views import hottest, summary

KIND_WIDTH = max(len(kind) for kind in KINDS)
NUMBER_WIDTH: int = COMMAND_LINE["terminal"]["numberWidth"]  # -39.99 to 149.99, and a header
# How many snapshots a kind's trend covers, newest on the right.
TREND_LENGTH: int = COMMAND_LINE["terminal"]["trendLength"]
# The trend's levels, lowest first: block characters, or plain ASCII where
# the terminal cannot show them.
BLOCKS = "▁▂▃▄▅▆▇█"
ASCII_BLOCKS = "_.:-=+*#"


def unicode_terminal(environment: "Mapping[str, str]") -> bool:
    """Whether the terminal can show the trend's block characters: not a
    dumb one, and a UTF-8 locale (LC_ALL, else LC_CTYPE, else LANG)."""
    if environment.get("TERM", "") == "dumb":
        return False
    locale = environment.get("LC_ALL") or environment.get("LC_CTYPE") or environment.get("LANG") or ""
    return "utf-8" in locale.lower() or "utf8" in locale.lower()


def fixed2(value: float) -> str:
    """``value`` with two decimals, as every calvex client writes it."""
    return f"{value:.2f}"


def duration(seconds: int) -> str:
    """How long, for a person: 12 s, 4 min 05 s, 2 h 03 min."""
    if seconds < 60:
        return f"{seconds} s"
    if seconds < 3600:
        return f"{seconds // 60} min {seconds % 60:02d} s"
    return f"{seconds // 3600} h {seconds % 3600 // 60:02d} min"


def pressure_text(pressure: Union[ThermalPressure, CalvexError, None], held_seconds: Optional[int] = None) -> str:
    """The view's first line: is macOS holding the Mac back for heat? While
    watching, how long the level has held."""
    if pressure is None:
        return "thermal pressure: waiting for the helper"
    if isinstance(pressure, CalvexError):
        return f"thermal pressure: not available ({pressure.code})"
    if pressure.level is None:
        text = "thermal pressure: unknown (the system gave none)"
    else:
        text = f"thermal pressure: {pressure.pressure} (level {pressure.level})"
    return text if held_seconds is None else f"{text}, for {duration(held_seconds)}"


class Trends:
    """Each kind's largest reading in each of the last TREND_LENGTH
    snapshots (None where the kind had none), oldest first."""

    def __init__(self) -> None:
        self.maxima: Dict[str, List[Optional[float]]] = {kind: [] for kind in KINDS}

    def add(self, snapshot: Snapshot) -> None:
        kinds = summary(snapshot)
        for kind, past in self.maxima.items():
            past.append(kinds[kind].max if kind in kinds else None)
            del past[:-TREND_LENGTH]


def _centi(value: float) -> int:
    # Hundredths, rounded half up the same way in every client.
    return int((value * 100 + 0.5) // 1)


def trend_text(values: List[Optional[float]], unicode: bool) -> str:
    """One character per value, scaled to the range of those shown: the
    lowest at the bottom level, the highest at the top; a gap where the
    kind had no reading, the middle level when all are the same."""
    levels = BLOCKS if unicode else ASCII_BLOCKS
    centis = [None if value is None else _centi(value) for value in values]
    present = [centi for centi in centis if centi is not None]
    low, high = (min(present), max(present)) if present else (0, 0)
    top = len(levels) - 1
    text = ""
    for centi in centis:
        if centi is None:
            text += " "
        elif high == low:
            text += levels[top // 2]
        else:
            text += levels[((centi - low) * top * 2 + (high - low)) // (2 * (high - low))]
    return text


def _fit(text: str, width: Optional[int]) -> str:
    if width is None or len(text) <= width:
        return text
    return text[: max(0, width - 1)] + "…"


def kind_lines(snapshot: Snapshot, width: Optional[int], trends: Optional[Trends], unicode: bool) -> List[str]:
    """One line per kind present, in the table's order: count, max, mean,
    and with trends as many of the kind's last maxima as fit the width."""
    kinds = summary(snapshot)
    header = f"{'kind':<{KIND_WIDTH}}  {'count':>5}  {'max °C':>{NUMBER_WIDTH}}  {'mean °C':>{NUMBER_WIDTH}}"
    room = TREND_LENGTH if width is None else min(TREND_LENGTH, width - len(header) - 2)
    drawn = trends is not None and room > 0
    lines = [header + ("  trend" if drawn else "")]
    for kind in KINDS:
        if kind in kinds:
            each = kinds[kind]
            line = f"{kind:<{KIND_WIDTH}}  {each.count:>5}  {fixed2(each.max):>{NUMBER_WIDTH}}  {fixed2(each.mean):>{NUMBER_WIDTH}}"
            if drawn:
                assert trends is not None
                line += "  " + trend_text(trends.maxima[kind][-room:], unicode)
            lines.append(line)
    return lines


def hottest_line(snapshot: Snapshot) -> str:
    top = hottest(snapshot)
    if top is None:
        return "hottest: no part has a reading"
    return f"hottest: {top.name} ({kind_of(top.name)}) {fixed2(top.celsius)} °C"


def sensor_lines(snapshot: Snapshot, name_width: int) -> List[str]:
    """A header and every sensor, hottest first (list order among equals)."""
    ordered = sorted(snapshot.sensors, key=lambda sensor: -sensor.celsius)
    lines = [f"{'sensor':<{name_width}}  {'kind':<{KIND_WIDTH}}  {'°C':>{NUMBER_WIDTH}}"]
    for name, celsius in ordered:
        shown = name if len(name) <= name_width else name[: name_width - 1] + "…"
        lines.append(f"{shown:<{name_width}}  {kind_of(name):<{KIND_WIDTH}}  {fixed2(celsius):>{NUMBER_WIDTH}}")
    return lines


def unknown_line(snapshot: Snapshot) -> List[str]:
    """The last line when the kind table knows some readings' names not:
    how to get this Mac's sensors into it."""
    unknown = sum(1 for sensor in snapshot.sensors if kind_of(sensor.name) == UNCLASSIFIED)
    if unknown == 0:
        return []
    return [f"{unknown} sensor{'' if unknown == 1 else 's'} calvex does not know yet: run with --report"]


def view(
    snapshot: Snapshot,
    width: Optional[int] = None,
    height: Optional[int] = None,
    first: Optional[str] = None,
    trends: Optional[Trends] = None,
    unicode: bool = True,
) -> List[str]:
    """The whole view; with a width and a height, no line is wider and
    there are no more lines: the hottest sensors that fit, then a line that
    says how many are not shown. ``first`` is a line put above it all;
    ``trends``, when given, are drawn beside the kinds (in block characters,
    or plain ASCII when not ``unicode``)."""
    if not snapshot.sensors:
        return [_fit(line, width) for line in (first, "no sensors with a reading") if line is not None][:height]
    head = ([first] if first is not None else []) + kind_lines(snapshot, width, trends, unicode) + [hottest_line(snapshot)]
    longest = max(len("sensor"), *(len(sensor.name) for sensor in snapshot.sensors))
    fixed = 2 + KIND_WIDTH + 2 + NUMBER_WIDTH
    name_width = longest if width is None else max(6, min(longest, width - fixed))
    sensors = sensor_lines(snapshot, name_width)
    tail = unknown_line(snapshot)
    if height is not None and len(head) + len(sensors) + len(tail) > height:
        room = max(0, height - len(head) - len(tail) - 1)  # a line says what is cut
        left_out = len(sensors) - 1 - max(0, room - 1)
        sensors = sensors[:room] + [f"… {left_out} more sensors not shown"]
    return [_fit(line, width) for line in (head + sensors + tail)[: height if height is not None else None]]

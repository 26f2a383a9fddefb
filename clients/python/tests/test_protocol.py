"""Lines the real tool never writes, as a broken or foreign helper might:
each is a snapshot or the documented error, never an exception."""

import json
from typing import Any, List

import pytest
from conftest import ROOT

from calvex import CalvexError, Sensor, Snapshot, ThermalPressure
from calvex._protocol import parse_line, parse_pressure_line

BAD = "BAD_OUTPUT"


@pytest.mark.parametrize(
    "line, expected",
    [
        ('{"sensors":[]}', Snapshot(())),
        ('{"sensors":[{"name":"a","t":41}]}', Snapshot((Sensor("a", 41.0),))),
        ('{"sensors":[{"name":"a","t":-0.0,"extra":1}]}', Snapshot((Sensor("a", -0.0),))),
        ('{"error":"IOKit not available"}', "IOKIT_NOT_AVAILABLE"),
        ('{"error":"no HID event system"}', "NO_HID_EVENT_SYSTEM"),
        ('{"error":"disk full"}', BAD),
        ('{"error":1}', BAD),
        ('{"sensors":[{"name":"a","t":true}]}', BAD),
        ('{"sensors":[{"name":"a","t":"41"}]}', BAD),
        ('{"sensors":[{"name":1,"t":41.0}]}', BAD),
        ('{"sensors":[{"name":"a"}]}', BAD),
        ('{"sensors":["a"]}', BAD),
        ('{"sensors":[[1,2]]}', BAD),
        ('{"sensors":{"name":"a","t":1}}', BAD),
        ('{"sensors":[{"name":"a","t":NaN}]}', BAD),
        ('{"sensors":[{"name":"a","t":Infinity}]}', BAD),
        ("[" * 100000, BAD),
        ("", BAD),
        ("null", BAD),
        ('"sensors"', BAD),
    ],
)
def test_a_line_becomes_a_snapshot_or_an_error(line: str, expected: object) -> None:
    parsed = parse_line(line)
    if isinstance(expected, Snapshot):
        assert parsed == expected
    else:
        assert isinstance(parsed, CalvexError) and parsed.code == expected and parsed.line == line


PRESSURE_VECTORS: List[Any] = json.loads((ROOT / "clients" / "shared" / "pressure-line-vectors.json").read_text("utf-8"))["lines"]


@pytest.mark.parametrize("line, expected", PRESSURE_VECTORS)
def test_pressure_lines_of_the_shared_vectors(line: str, expected: Any) -> None:
    parsed = parse_pressure_line(line)
    if isinstance(expected, str):
        assert isinstance(parsed, CalvexError) and parsed.code == expected and parsed.line == line
    else:
        assert parsed == ThermalPressure(**expected)

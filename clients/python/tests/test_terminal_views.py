"""The terminal view against the shared golden cases: every case, byte for
byte, as ``npx calvex`` renders it too."""

import json
from typing import Any, Dict, List

import pytest
from conftest import ROOT

from calvex._protocol import CalvexError, parse_line, parse_pressure_line
from calvex._terminal import Trends, pressure_text, unicode_terminal, view

SHARED: Dict[str, Any] = json.loads((ROOT / "clients" / "shared" / "terminal-views.json").read_text(encoding="utf-8"))
CASES: List[Dict[str, Any]] = SHARED["cases"]


def rendered(case: Dict[str, Any]) -> List[str]:
    trends = Trends() if case["trends"] else None
    for line in case["snapshots"]:
        snapshot = parse_line(line)
        assert not isinstance(snapshot, CalvexError), line
        if trends is not None:
            trends.add(snapshot)
    first = None if case["pressure"] is None else pressure_text(parse_pressure_line(case["pressure"]), case["heldSeconds"])
    return view(snapshot, case["width"], case["height"], first=first, trends=trends, unicode=case["unicode"])


@pytest.mark.parametrize("case", CASES, ids=[case["name"] for case in CASES])
def test_each_golden_view_byte_for_byte(case: Dict[str, Any]) -> None:
    assert rendered(case) == case["lines"]


def test_the_cases_cover_each_size_and_each_kind_missing() -> None:
    sizes = {(case["width"], case["height"]) for case in CASES}
    assert {(80, 24), (50, 14), (40, 10), (None, None)} <= sizes
    assert sum(case["name"].startswith("every kind but ") for case in CASES) == 8
    assert any(case["trends"] and not case["unicode"] for case in CASES)



@pytest.mark.parametrize("case", SHARED["blockCharacters"], ids=lambda case: str(case["environment"]))
def test_the_trend_is_drawn_in_blocks_only_where_the_terminal_can(case: Dict[str, Any]) -> None:
    assert unicode_terminal(case["environment"]) is case["blocks"]

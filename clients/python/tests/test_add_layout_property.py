"""Reports generated from the schema's own bounds, valid and a little past
them, with hostile text in every string: add-layout either makes a
scenario that holds exactly the report's data, or refuses it with one
sentence and status 2 and changes nothing. Never a traceback."""

import contextlib
import importlib.util
import io
import json
import sys
import tempfile
from pathlib import Path
from typing import Any, Dict, List

import pytest
from conftest import ROOT, SIMRUN, TOOL
from test_add_layout import assert_scenario_holds_exactly, tree, workspace

hypothesis = pytest.importorskip("hypothesis", reason="hypothesis is not installed (Debian package python3-hypothesis)")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

SCHEMA: Dict[str, Any] = json.loads((ROOT / "docs" / "calvex-report.schema.json").read_text(encoding="utf-8"))
DEFINITIONS = SCHEMA["definitions"]
PROPERTIES = SCHEMA["properties"]
LINE_LONGEST = DEFINITIONS["line"]["maxLength"]
NAME_LONGEST = DEFINITIONS["sensorName"]["maxLength"]
KINDS = DEFINITIONS["kind"]["enum"]
FLAGS = PROPERTIES["sensors"]["items"]["properties"]["flags"]["items"]["enum"]
LOWEST, HIGHEST = DEFINITIONS["celsius"]["exclusiveMinimum"], DEFINITIONS["celsius"]["exclusiveMaximum"]

_spec = importlib.util.spec_from_file_location("add_layout", ROOT / "tools" / "add-layout.py")
assert _spec is not None and _spec.loader is not None
add_layout = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(add_layout)

# What a stranger would try in a string: line breaks, directives, quotes,
# escapes, NUL and other controls, lone surrogates, non-ASCII.
HOSTILE_PIECES = ["\n", "\r", "\x00", "\x1b[2J", "# env: LD_AUDIT=/tmp/x.so", "sensor 149.00 \"PMU tdie99\"", "snapshot",
                  "null-list", '"', "\\", "\\x0A", "\ud800", "\u2028", "é", "🔥", " ", "PMU tdie"]


# What a report may hold in a line of text, and yet reads like a directive.
TAME_PIECES = ["# env: LD_AUDIT=/tmp/x.so", "sensor 149.00 \"x\"", "snapshot", '"', "\\", "\\x0A", "é", "🔥", " ", "Mac15,7"]


def text(longest: int, tame: bool) -> "st.SearchStrategy[str]":
    """Hostile pieces and plain characters, up to a little past ``longest``;
    a tame report's only such characters as its schema allows."""
    if tame:
        return st.lists(st.sampled_from(TAME_PIECES), min_size=1, max_size=4).map("".join).map(lambda text: text[:longest])
    piece = st.one_of(st.sampled_from(HOSTILE_PIECES), st.text(max_size=4))
    short = st.lists(piece, max_size=6).map("".join)
    return st.one_of(short, st.integers(longest - 2, longest + 2).map(lambda size: "x" * size))


@st.composite
def reports(draw: Any) -> Dict[str, Any]:
    tame = draw(st.booleans())
    snapshots = draw(st.integers(1 if tame else 0, 5))
    sensors: List[Dict[str, Any]] = []
    for _ in range(draw(st.integers(1 if tame else 0, 4))):
        first = draw(st.integers(0, max(0, snapshots - 1)))
        seen = draw(st.integers(1, max(1, snapshots - first)))
        low = draw(st.floats(LOWEST + 0.01, HIGHEST - 0.01))
        high = draw(st.floats(low, HIGHEST - 0.01))
        sensors.append({
            "name": draw(text(NAME_LONGEST, tame)), "occurrence": draw(st.integers(0, 2)), "firstSeen": first,
            "kind": draw(st.sampled_from(KINDS)), "snapshots": seen, "min": low, "max": high, "mean": (low + high) / 2,
            "flags": draw(st.lists(st.sampled_from(FLAGS), unique=True)),
        })
    nullable = st.one_of(st.none(), text(LINE_LONGEST, tame))
    report = {
        "format": 1,
        "client": {"name": draw(text(LINE_LONGEST, tame)), "version": draw(text(LINE_LONGEST, tame))},
        "machine": {field: draw(nullable) for field in ("model", "chip", "macos", "arch")},
        "window": {"seconds": 1.5, "intervalMs": 500, "snapshots": snapshots},
        "helpers": {"sensors": {"sha256": None, "firstLineMs": 10, "errorCodes": [], "endedWhenAsked": True}},
        "sensors": sensors,
        "layout": {"servicesPerSnapshot": {"least": 0, "most": len(sensors)}, "distinctNames": len(sensors), "repeatedNames": {}},
        "answers": None,
        "pressure": None,
    }
    return report


@settings(max_examples=60, deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow])
@given(reports())
def test_every_generated_report_becomes_its_data_or_one_refusal(report: Dict[str, Any]) -> None:
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(scratch)
        scenarios, layouts = workspace(folder)
        before = tree(folder)
        path = folder / "report.json"
        path.write_bytes(json.dumps(report, ensure_ascii=False).encode("utf-8", "surrogatepass"))
        said, printed = io.StringIO(), io.StringIO()
        with contextlib.redirect_stderr(said), contextlib.redirect_stdout(printed):
            status = add_layout.main([str(path), "learned", "--scenarios", str(scenarios), "--layouts", str(layouts),
                                      "--simrun", SIMRUN, "--calvex", TOOL])
        after = {name: data for name, data in tree(folder).items() if name != "report.json"}
        if status == 2:
            assert len(said.getvalue().splitlines()) == 1 and said.getvalue().startswith(f"add-layout: {path} is refused: ")
            assert printed.getvalue() == "" and after == before
            return
        assert status == 0, said.getvalue()
        assert_scenario_holds_exactly((scenarios / "learned.scenario").read_text(encoding="utf-8"), report)


def test_the_generator_reaches_both_outcomes() -> None:
    """Without accepted reports the property would hold vacuously."""
    outcomes = set()

    @settings(max_examples=40, deadline=None, database=None)
    @given(reports())
    def sample(report: Dict[str, Any]) -> None:
        try:
            add_layout.validate(json.loads(json.dumps(report)))
            outcomes.add("accepted")
        except add_layout.Refused:
            outcomes.add("refused")

    sample()
    assert outcomes == {"accepted", "refused"}, sys.stderr

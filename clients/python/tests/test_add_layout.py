"""A report becomes a test in one step, end to end: the report of a shipped
scenario, through tools/add-layout.py, gives a scenario whose own report has
the same sensors (names, occurrences, kinds, flags), an expected output and
the clients' answers for it."""

import json
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Any, Dict, List, Tuple

import pytest
from conftest import PACKAGE, ROOT, SIMRUN, TIME_SCALE, TOOL, scenario, simulated


def report_of(helper: List[str], folder: Path) -> Dict[str, Any]:
    out = folder / "report.json"
    done = subprocess.run(
        [sys.executable, "-m", "calvex", "--report", "2.0", "--output", str(out), "--helper", *helper],
        capture_output=True, text=True, timeout=60 * TIME_SCALE, env={"PYTHONPATH": str(PACKAGE), "PATH": "/usr/bin:/bin"},
    )
    assert done.returncode == 0, done.stderr
    report: Dict[str, Any] = json.loads(out.read_text(encoding="utf-8"))
    return report


def layout_of(report: Dict[str, Any]) -> List[Tuple[str, int, str, List[str]]]:
    return [(sensor["name"], sensor["occurrence"], sensor["kind"], sensor["flags"]) for sensor in report["sensors"]]


@pytest.mark.parametrize("shipped", ["macos-update", "m3-pro", "odd-names"])
def test_a_report_turns_into_a_scenario_with_the_same_layout(tmp_path: Path, shipped: str) -> None:
    first = report_of(simulated(CALVEX_SIM_SCENARIO=scenario(shipped)), tmp_path)
    (tmp_path / "first.json").write_text(json.dumps(first))
    layouts = tmp_path / "reported-layouts.json"
    shutil.copyfile(ROOT / "clients" / "shared" / "reported-layouts.json", layouts)
    done = subprocess.run(
        [sys.executable, str(ROOT / "tools" / "add-layout.py"), str(tmp_path / "first.json"), "learned",
         "--scenarios", str(tmp_path), "--layouts", str(layouts), "--simrun", SIMRUN, "--calvex", TOOL],
        capture_output=True, text=True, timeout=60 * TIME_SCALE,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    again = report_of(simulated(CALVEX_SIM_SCENARIO=str(tmp_path / "learned.scenario")), tmp_path)
    assert layout_of(again) == layout_of(first)
    expected = (tmp_path / "learned.expected").read_text(encoding="utf-8").splitlines()
    answers = json.loads(layouts.read_text(encoding="utf-8"))["scenarios"]["learned"]
    assert len(answers) == len(expected) == first["window"]["snapshots"]
    if shipped == "macos-update":
        assert any("intermittent" in flags for *_, flags in layout_of(first))
    if shipped == "m3-pro":
        flagged = {name: flags for name, _, _, flags in layout_of(first)}
        assert "placeholder" in flagged["noname"] and "constant" in flagged["PMU tcal"]

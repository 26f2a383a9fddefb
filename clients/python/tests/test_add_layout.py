"""A report becomes a test in one step, end to end: the report of a shipped
scenario, through tools/add-layout.py, gives a scenario whose own report has
the same sensors (names, occurrences, kinds, flags), an expected output and
the clients' answers for it. And a report is a stranger's: each hand-made
hostile one (tests/hostile-reports/) either becomes a scenario holding
exactly its data, or is refused with one sentence, status 2, nothing
written; an existing name is kept unless --replace; a failure midway
leaves the tree as it was."""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Any, Dict, List, Tuple

import pytest
from conftest import PACKAGE, ROOT, SIMRUN, TIME_SCALE, TOOL, scenario, simulated

sys.path.insert(0, str(ROOT / "tools"))
import scenario_file  # noqa: E402: the scenario format's writer and reader

ADD_LAYOUT = str(ROOT / "tools" / "add-layout.py")
HOSTILE = ROOT / "tests" / "hostile-reports"
HOSTILE_CASES: List[Dict[str, Any]] = json.loads((HOSTILE / "cases.json").read_text(encoding="utf-8"))["cases"]


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


def workspace(folder: Path) -> Tuple[Path, Path]:
    """A scenarios folder holding one shipped machine, and a copy of the
    shared answers: what add-layout may change."""
    scenarios = folder / "scenarios"
    scenarios.mkdir()
    for suffix in ("scenario", "expected"):
        shutil.copyfile(ROOT / "sim" / "scenarios" / f"m1-laptop.{suffix}", scenarios / f"m1-laptop.{suffix}")
    layouts = folder / "reported-layouts.json"
    shutil.copyfile(ROOT / "clients" / "shared" / "reported-layouts.json", layouts)
    return scenarios, layouts


def tree(folder: Path) -> Dict[str, bytes]:
    return {str(path.relative_to(folder)): path.read_bytes() for path in sorted(folder.rglob("*")) if path.is_file()}


def add_layout(report: Path, name: str, scenarios: Path, layouts: Path, *words: str, calvex: str = TOOL) -> "subprocess.CompletedProcess[str]":
    return subprocess.run(
        [sys.executable, ADD_LAYOUT, str(report), name, *words, "--scenarios", str(scenarios), "--layouts", str(layouts),
         "--simrun", SIMRUN, "--calvex", calvex],
        capture_output=True, text=True, timeout=60 * TIME_SCALE, env={"PATH": "/usr/bin:/bin", "PYTHONDONTWRITEBYTECODE": "1"},
    )


def served(report: Dict[str, Any]) -> List[List[Tuple[float, bytes]]]:
    """The sensors each snapshot of the report's scenario must serve: the
    report's own, in its order, each while it was seen."""
    snapshots = []
    for index in range(report["window"]["snapshots"]):
        snapshots.append([
            (each["min"] if each["snapshots"] == 1 or "constant" in each["flags"] else None, each["name"].encode("utf-8"))
            for each in report["sensors"] if 0 <= index - each["firstSeen"] < each["snapshots"]
        ])
    return snapshots


def assert_scenario_holds_exactly(scenario_text: str, report: Dict[str, Any]) -> None:
    """The scenario's header gives the runner only the tool's own lines, its
    machine and client lines decode to the report's fields, and it serves
    exactly the report's sensors."""
    header, snapshots = scenario_file.read(scenario_text)
    assert scenario_file.run_directives(header) == {"args:": ["200"], "env:": [f"CALVEX_SIM_PPID={report['window']['snapshots']}:1"]}
    machine = [line for line in header if line.startswith("# machine: ")]
    client = [line for line in header if line.startswith("# client: ")]
    assert len(machine) == len(client) == 1 and len(header) == 7
    expected_machine = [None if report["machine"][key] is None else report["machine"][key].encode("utf-8") for key in ("model", "chip", "macos", "arch")]
    assert scenario_file.quoted_fields(machine[0][len("# machine: "):]) == expected_machine
    assert scenario_file.quoted_fields(client[0][len("# client: "):]) == [report["client"][key].encode("utf-8") for key in ("name", "version")]
    wanted = served(report)
    assert [[name for _, name in each] for each in snapshots] == [[name for _, name in each] for each in wanted]
    for got, want in zip(snapshots, wanted):
        for (reading, _), (fixed, _) in zip(got, want):
            assert fixed is None or reading == round(fixed, 2)


@pytest.mark.parametrize("case", HOSTILE_CASES, ids=[case["file"] for case in HOSTILE_CASES])
def test_a_hostile_report_becomes_its_data_or_is_refused_with_nothing_written(tmp_path: Path, case: Dict[str, Any]) -> None:
    scenarios, layouts = workspace(tmp_path)
    before = tree(tmp_path)
    report = HOSTILE / case["file"]
    done = add_layout(report, "learned", scenarios, layouts)
    assert "Traceback" not in done.stderr
    if "refused" in case:
        assert (done.returncode, done.stdout, done.stderr) == (2, "", case["refused"].format(report=report) + "\n")
        assert tree(tmp_path) == before
        return
    assert done.returncode == 0, done.stderr
    data = json.loads(report.read_text(encoding="utf-8"))
    assert_scenario_holds_exactly((scenarios / "learned.scenario").read_text(encoding="utf-8"), data)
    assert json.loads(layouts.read_text(encoding="utf-8"))["machines"]["learned"] == data["machine"]
    assert sorted(tree(tmp_path)) == sorted([*before, "scenarios/learned.scenario", "scenarios/learned.expected"])


def test_an_existing_machine_is_replaced_only_when_asked(tmp_path: Path) -> None:
    scenarios, layouts = workspace(tmp_path)
    before = tree(tmp_path)
    done = add_layout(HOSTILE / "plain.json", "m1-laptop", scenarios, layouts)
    assert (done.returncode, done.stderr) == (2, "add-layout: m1-laptop is refused: NAME must be new: m1-laptop is already there"
                                              " (m1-laptop.scenario, m1-laptop.expected, its answers); give --replace to replace it.\n")
    assert tree(tmp_path) == before
    done = add_layout(HOSTILE / "plain.json", "m1-laptop", scenarios, layouts, "--replace")
    assert done.returncode == 0 and "replaced the earlier m1-laptop (m1-laptop.scenario, m1-laptop.expected, its answers)" in done.stdout
    assert tree(tmp_path)["scenarios/m1-laptop.scenario"] != before["scenarios/m1-laptop.scenario"]


@pytest.mark.parametrize("where", ["a FIFO", "a folder", "missing", "too large"])
def test_a_report_that_is_no_regular_file_of_bounded_size_is_refused(tmp_path: Path, where: str) -> None:
    scenarios, layouts = workspace(tmp_path)
    before = tree(tmp_path)
    report = tmp_path / "report.json"
    if where == "a FIFO":
        os.mkfifo(report)  # nobody ever writes it: a read would wait for ever
    elif where == "a folder":
        report.mkdir()
    elif where == "too large":
        report.write_bytes(b" " * (4 << 20) + b"{}")
    done = add_layout(report, "learned", scenarios, layouts)
    assert done.returncode == 2 and done.stdout == "" and len(done.stderr.splitlines()) == 1, done.stderr
    assert done.stderr.startswith(f"add-layout: {report} is refused: the report file ")
    assert {name: data for name, data in tree(tmp_path).items() if name != "report.json"} == before


@pytest.mark.parametrize("name", ["M5", "a" * 300, "../escape", "x_y", "x/y", ""])
def test_a_name_that_is_no_plain_file_name_is_refused(tmp_path: Path, name: str) -> None:
    scenarios, layouts = workspace(tmp_path)
    before = tree(tmp_path)
    done = add_layout(HOSTILE / "plain.json", name, scenarios, layouts)
    assert done.returncode == 2 and done.stderr.startswith("add-layout: the name is refused: NAME must match"), done.stderr
    assert tree(tmp_path) == before


def test_a_failure_midway_leaves_the_tree_as_it_was(tmp_path: Path) -> None:
    scenarios, layouts = workspace(tmp_path)
    before = tree(tmp_path)
    done = add_layout(HOSTILE / "plain.json", "learned", scenarios, layouts, calvex="/bin/false")
    assert done.returncode == 1 and done.stderr.startswith("add-layout: nothing written: calvex on the scenario ended with status"), done.stderr
    assert tree(tmp_path) == before


def test_a_long_report_is_made_on_the_virtual_clock(tmp_path: Path) -> None:
    """400 snapshots, as a --report 200 gives: real sleeping would take 80 s."""
    scenarios, layouts = workspace(tmp_path)
    report = json.loads((HOSTILE / "plain.json").read_text(encoding="utf-8"))
    report["window"] = {"seconds": 200, "intervalMs": 500, "snapshots": 400}
    for sensor in report["sensors"]:
        sensor.update(firstSeen=0, snapshots=400, flags=[f for f in sensor["flags"] if f != "intermittent"])
    (tmp_path / "long.json").write_text(json.dumps(report), encoding="utf-8")
    done = add_layout(tmp_path / "long.json", "long", scenarios, layouts)
    assert done.returncode == 0, done.stderr
    assert len((scenarios / "long.expected").read_text(encoding="utf-8").splitlines()) == 400

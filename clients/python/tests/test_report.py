"""The layout report: the shared golden cases (the npm package's builder
makes the same documents), every document valid against its schema, a real
``python -m calvex --report`` on the simulated platform with nothing in it
that names a person or a machine, and a helper that fails still giving a
report."""

import getpass
import json
import os
import socket
import subprocess
import sys
from pathlib import Path
from typing import Any, Dict, List

import pytest
from conftest import PACKAGE, ROOT, TIME_SCALE, scenario, simulated, simulated_pressure

from calvex._protocol import parse_line, parse_pressure_line
from calvex._report import build_report, report_text

CASES: List[Dict[str, Any]] = json.loads((ROOT / "clients" / "shared" / "report-cases.json").read_text(encoding="utf-8"))["cases"]
SCHEMA = json.loads((ROOT / "docs" / "calvex-report.schema.json").read_text(encoding="utf-8"))
MACHINE = {"model": "Mac15,7", "chip": "Apple M3 Pro", "macos": "15.2", "arch": "arm64"}


def valid(document: Dict[str, Any]) -> None:
    jsonschema = pytest.importorskip("jsonschema", reason="jsonschema is not installed (Debian package python3-jsonschema)")
    jsonschema.validate(document, SCHEMA)


@pytest.mark.parametrize("case", CASES, ids=[case["name"] for case in CASES])
def test_each_golden_record_makes_its_document(case: Dict[str, Any]) -> None:
    record = {key: case[key] for key in ("client", "machine", "window", "helpers")}
    record["snapshots"] = [parse_line(line) for line in case["snapshotLines"]]
    record["pressures"] = [parse_pressure_line(line) for line in case["pressureLines"]]
    # As bytes: the same numbers written the same way by every client.
    assert report_text(build_report(record)) == case["text"]
    valid(json.loads(case["text"]))


def report(tmp_path: Path, *words: str) -> "subprocess.CompletedProcess[str]":
    return subprocess.run(
        [sys.executable, "-m", "calvex", "--report", "1.2", *words], capture_output=True, text=True, timeout=30 * TIME_SCALE,
        env={"PYTHONPATH": str(PACKAGE), "PATH": "/usr/bin:/bin", "HOME": str(tmp_path), "CALVEX_REPORT_MACHINE": json.dumps(MACHINE)},
    )


def test_a_real_report_is_valid_and_names_no_person_and_no_machine(tmp_path: Path) -> None:
    out = tmp_path / "report.json"
    done = report(tmp_path, "--output", str(out), "--helper", *simulated(CALVEX_SIM_SCENARIO=scenario("m3-pro")),
                  "--pressure-helper", *simulated_pressure(CALVEX_SIM_PRESSURE="1"))
    assert done.returncode == 0 and done.stdout == "", done.stderr
    assert done.stderr == (
        f"calvex: 46 sensors, 17 of them unknown to the kind table; report written to {out}."
        " Attach it to a bug report: that is how a new Mac gets supported.\n"
    )
    text = out.read_text(encoding="utf-8")
    document = json.loads(text)
    valid(document)
    assert document["machine"] == MACHINE and document["window"]["intervalMs"] == 500
    assert document["pressure"] == {"levels": ["moderate"], "error": None}
    # Both helpers end on the SIGTERM they are asked to end with: that is ending when asked.
    assert [document["helpers"][role]["endedWhenAsked"] for role in ("sensors", "pressure")] == [True, True]
    assert {"name": "noname", "occurrence": 0} == {key: document["sensors"][-1][key] for key in ("name", "occurrence")}
    assert "placeholder" in document["sensors"][-1]["flags"]
    for private in (socket.gethostname(), getpass.getuser(), str(tmp_path), os.path.expanduser("~")):
        assert private not in text, private


def test_a_helper_that_fails_still_gives_a_report_with_its_error(tmp_path: Path) -> None:
    done = report(tmp_path, "--helper", *simulated(CALVEX_SIM_FAULT="no-client"))
    assert done.returncode == 0, done.stderr
    document = json.loads(done.stdout)
    valid(document)
    assert document["helpers"]["sensors"]["errorCodes"] == ["NO_HID_EVENT_SYSTEM"]
    assert (document["sensors"], document["answers"]) == ([], None)
    assert done.stderr == (
        "calvex: the sensor helper failed (NO_HID_EVENT_SYSTEM: the helper could not open the HID event system), so the report"
        " holds no sensors; it was written to standard output. Attach it to a bug report all the same: it shows how the helper failed.\n"
    )


def test_each_helper_is_recorded_as_it_ended_when_both_fail(tmp_path: Path) -> None:
    """The sensor helper ends the window at once; the pressure helper's own
    failure is still heard and recorded, never as a clean stop."""
    done = report(tmp_path, "--helper", *simulated(CALVEX_SIM_FAULT="no-client"),
                  "--pressure-helper", *simulated_pressure(CALVEX_SIM_FAULT="no-pressure-notification"))
    assert done.returncode == 0, done.stderr
    document = json.loads(done.stdout)
    assert document["helpers"]["pressure"]["errorCodes"] == ["NO_PRESSURE_NOTIFICATION"]
    assert document["helpers"]["pressure"]["endedWhenAsked"] is None
    assert document["pressure"] == {"levels": [], "error": "NO_PRESSURE_NOTIFICATION"}


def test_an_existing_output_is_replaced_whole_and_nothing_else_is_left(tmp_path: Path) -> None:
    out = tmp_path / "report.json"
    out.write_text("an older report\n", encoding="utf-8")
    done = report(tmp_path, "--output", str(out), "--helper", *simulated(CALVEX_SIM_SCENARIO=scenario("m3-pro")))
    assert done.returncode == 0, done.stderr
    valid(json.loads(out.read_text(encoding="utf-8")))
    assert sorted(path.name for path in tmp_path.iterdir()) == ["report.json"]

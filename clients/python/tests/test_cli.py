"""``python -m calvex`` as people run it: the table, the raw lines, errors as
one sentence, and Ctrl-C during a watch."""

import json
import signal
import subprocess
import sys
from typing import List

import pytest
from conftest import PACKAGE, TIME_SCALE, children, expected_lines, scenario, simulated, simulated_pressure, within


def calvex(*arguments: str) -> "subprocess.CompletedProcess[str]":
    return subprocess.run(
        [sys.executable, "-m", "calvex", *arguments],
        capture_output=True,
        text=True,
        timeout=20 * TIME_SCALE,
        env={"PYTHONPATH": str(PACKAGE), "PATH": "/usr/bin:/bin"},
    )


def test_the_answer_comes_first_then_every_sensor_hottest_first() -> None:
    done = calvex("--helper", *simulated(CALVEX_SIM_SCENARIO=scenario("m5-pro")))
    lines = done.stdout.splitlines()
    hottest_at = next(at for at, line in enumerate(lines) if line.startswith("hottest: "))
    kinds = [line.split()[0] for line in lines[1:hottest_at]]
    assert kinds == ["cpu", "gpu", "storage", "battery", "calibration", "other"]  # the table's order
    assert lines[hottest_at] == "hottest: PMU tdie4 (cpu) 44.56 °C"  # not the 51.9 °C calibration references
    assert lines[hottest_at + 1].split() == ["sensor", "kind", "°C"]
    assert lines[-1].endswith("calvex does not know yet: run with --report")
    rows = [line.rsplit(maxsplit=2) for line in lines[hottest_at + 2 : -1]]
    readings = [float(row[-1]) for row in rows]
    assert readings == sorted(readings, reverse=True)
    assert len(rows) == len(json.loads(expected_lines("m5-pro")[0])["sensors"])
    assert (done.returncode, done.stderr) == (0, "")


@pytest.mark.parametrize(
    "arguments, fault, status, stdout, stderr",
    [
        (["--json"], "", 0, expected_lines("laptop")[0] + "\n", ""),
        ([], "no-client", 1, "", "calvex: the HID event system could not be opened"),
        (["--json"], "no-client", 1, '{"error":"no HID event system"}\n', ""),
        (["--json"], "no-iokit", 1, '{"error":"IOKit not available"}\n', ""),
    ],
)
def test_json_lines_and_errors(arguments: List[str], fault: str, status: int, stdout: str, stderr: str) -> None:
    done = calvex(*arguments, "--helper", *simulated(CALVEX_SIM_SCENARIO=scenario("laptop"), CALVEX_SIM_FAULT=fault))
    assert (done.returncode, done.stdout) == (status, stdout)
    assert done.stderr.startswith(stderr) and done.stderr.count("\n") == (1 if stderr else 0)


def test_unsupported_platform_is_one_sentence() -> None:
    done = calvex()
    assert done.returncode == 1
    assert done.stderr.startswith("calvex: the bundled helper runs on macOS on Apple Silicon only, and this is ") and done.stderr.count("\n") == 1
    assert done.stderr.endswith(": give one with --helper.\n")


def test_a_helper_that_sigint_ended_is_the_same_ctrl_c_not_a_failure() -> None:
    # Ctrl-C reaches the whole process group: the helper may be seen to die
    # of it before the command's own SIGINT is.
    done = calvex("--watch", "200", "--helper", "/bin/sh", "-c", "echo '{\"sensors\":[]}'; kill -INT $$")
    assert (done.returncode, done.stderr) == (130, "")


@pytest.mark.parametrize("json_lines", [False, True])
def test_ctrl_c_ends_a_watch_with_130_and_no_helper_left(json_lines: bool) -> None:
    arguments = ["--json"] * json_lines + ["--watch", "200", "--helper", *simulated()]
    child = subprocess.Popen(
        [sys.executable, "-m", "calvex", *arguments],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env={"PYTHONPATH": str(PACKAGE), "PATH": "/usr/bin:/bin"},
    )
    assert child.stdout is not None
    first = within(10, child.stdout.readline)
    assert first.startswith('{"sensors":[' if json_lines else "kind ")
    helpers = [pid for pid in _grandchildren(child.pid)]
    child.send_signal(signal.SIGINT)
    _, err = child.communicate(timeout=10 * TIME_SCALE)
    assert (child.returncode, err) == (130, "")
    assert helpers and all(not _alive(pid) for pid in helpers)
    assert children() == []


def _grandchildren(pid: int) -> List[int]:
    out = subprocess.run(["pgrep", "-P", str(pid)], capture_output=True, text=True).stdout
    return [int(word) for word in out.split()]


def _alive(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().split(") ")[1][0] != "Z"
    except OSError:
        return False


def test_the_thermal_pressure_comes_first_when_its_helper_is_there() -> None:
    sensors = ["--helper", *simulated(CALVEX_SIM_SCENARIO=scenario("laptop"))]
    for variables, first in [
        ({"CALVEX_SIM_PRESSURE": "2"}, "thermal pressure: heavy (level 2)"),
        ({"CALVEX_SIM_PRESSURE": "fail"}, "thermal pressure: unknown (the system gave none)"),
        ({"CALVEX_SIM_FAULT": "no-pressure-notification"}, "thermal pressure: not available (NO_PRESSURE_NOTIFICATION)"),
    ]:
        done = calvex(*sensors, "--pressure-helper", *simulated_pressure(**variables))
        assert (done.returncode, done.stdout.splitlines()[:2]) == (0, [first, "kind         count   max °C  mean °C"]), done.stderr
    assert calvex(*sensors).stdout.startswith("kind "), "no pressure helper here, so no pressure line"
    done = calvex("--pressure-helper", "--helper", "x")
    assert done.returncode == 2 and "--pressure-helper needs a command" in done.stderr

"""The process core below every face: how a run ends, whose status is
reported, newest wins, and a stop that never waits on a grandchild that
holds the pipe. The faces' own tests then check one way out each."""

import re
import subprocess
import sys
import threading
from pathlib import Path
from typing import List, Optional, Tuple, Union

import pytest
from conftest import ROOT, TIME_SCALE, script, within

from calvex._process import HelperRun, signal_name
from calvex._protocol import SENSOR_HELPER, CalvexError


def raw_line(line: str) -> Union[str, CalvexError]:
    return CalvexError("BAD_OUTPUT", line, line) if line.startswith("bad") else line


raw = SENSOR_HELPER.with_parse(raw_line)


def ended(run: "HelperRun[str]") -> Tuple[Optional[str], Optional[str]]:
    """(the value left to take, the failure's message) once the run ended."""
    assert within(10, run.wait_end, None)
    return run.take(), None if run.failure is None else str(run.failure)


@pytest.mark.parametrize(
    "text, once, value, failure",
    [
        ("echo a; exit 0", True, "a", None),
        ("echo a; echo b; exit 0", True, "a", None),
        ("exit 1", True, None, "exited with status 1 without writing a line"),
        ("echo a; exit 3", True, None, "exited with status 3$"),
        ("echo bad; exec sleep 30", True, None, "^bad$"),
        ("echo a; exit 0", False, None, "exited with status 0$"),
        ("echo a; kill -KILL $$", False, None, "killed by SIGKILL"),
        ("echo said >&2; exit 2", False, None, "status 2; it said: said"),
    ],
)
def test_a_run_ends_once_with_its_value_or_its_failure(text: str, once: bool, value: Optional[str], failure: Optional[str]) -> None:
    run = HelperRun(script(text), raw, once=once)
    got_value, got_failure = ended(run)
    assert got_value == value
    if failure is None:
        assert got_failure is None
    else:
        assert got_failure is not None
        assert re.search(failure, got_failure), got_failure


def test_a_stop_does_not_wait_for_a_grandchild_that_holds_the_pipe() -> None:
    # A wrapper script without exec: its child keeps stdout open after it is gone.
    wrapper = script("sleep 30 & echo a; wait")
    run = HelperRun(wrapper, raw)
    assert within(5, run.wait, None) and run.take() == "a"
    within(3, run.close)
    assert run.failure is None and run.status is not None


def test_a_wrapper_killed_from_outside_ends_the_run_though_its_child_holds_the_pipe() -> None:
    run = HelperRun(script("sleep 30 & echo a; kill -KILL $$"), raw)
    assert ended(run)[1] == "the calvex helper was killed by SIGKILL"


def test_the_newest_value_wins_and_silence_is_a_failure() -> None:
    five = script("for i in 1 2 3 4 5; do echo $i; done; exec sleep 30")
    assert ended(HelperRun(five, raw, silence=0.5 * TIME_SCALE)) == (
        None, f"the calvex helper wrote no line for {0.5 * TIME_SCALE:g} s and was stopped"
    )
    delivered: List[str] = []
    all_five = threading.Event()

    def changed(run: "HelperRun[str]") -> None:
        delivered.append("value")
        if len(delivered) == 5:
            all_five.set()

    run = HelperRun(five, raw, on_change=changed)
    assert all_five.wait(5 * TIME_SCALE)
    assert (run.take(), run.take()) == ("5", None)
    within(5, run.close)


def test_a_run_that_cannot_start_has_ended_already() -> None:
    run = HelperRun(["/nonexistent/calvex"], raw)
    assert run.ended and run.failure is not None and "cannot start" in str(run.failure)


def test_a_fault_in_the_reader_ends_the_call_and_kills_the_helper() -> None:
    def faulty(line: str) -> str:
        raise OverflowError("injected")

    # A helper that ignores SIGTERM: only the reader's own SIGKILL ends it.
    run = HelperRun(script("trap '' TERM; echo a; exec sleep 30"), SENSOR_HELPER.with_parse(faulty))
    assert ended(run) == (None, "reading the calvex helper's output failed: OverflowError('injected')")


def test_a_start_failure_outside_the_errno_table_is_named(tmp_path: Path) -> None:
    # A program still open for writing cannot be run: ETXTBSY.
    program = tmp_path / "busy"
    with open(program, "w") as writing:
        writing.write("#!/bin/sh\n")
        program.chmod(0o755)
        run = HelperRun([str(program)], raw)
    assert run.failure is not None and run.failure.code == "HELPER_FAILED"
    assert str(run.failure) == f"cannot start the calvex helper {program}: ETXTBSY"


@pytest.mark.parametrize(
    "number, name",
    [(24, "SIGXCPU"), (31, "SIGSYS"), (27, "SIGPROF"), (26, "SIGVTALRM"), (29, "SIGIO"), (6, "SIGABRT"), (16, "SIGSTKFLT"),
     (30, "SIGPWR"), (34, "signal 34"), (64, "signal 64")],
)
def test_signals_are_named_by_the_shared_list(number: int, name: str) -> None:
    # Linux's numbers: Python's own enum says SIGRTMIN for 34, the other clients cannot.
    assert sys.platform == "linux" and signal_name(number) == name


def test_a_death_by_a_signal_is_told_by_its_name() -> None:
    run = HelperRun(script("echo a; kill -XCPU $$"), raw)
    assert ended(run)[1] == "the calvex helper was killed by SIGXCPU"


def test_a_fresh_checkout_imports_without_a_build(tmp_path: Path) -> None:
    # The package's sources alone: the shared data and the version are in
    # _contract.py, no file beside them is read.
    package = tmp_path / "clients" / "python" / "src" / "calvex"
    package.mkdir(parents=True)
    for source in (ROOT / "clients" / "python" / "src" / "calvex").glob("*.py"):
        (package / source.name).write_bytes(source.read_bytes())
    done = subprocess.run(
        [sys.executable, "-c", "import calvex, calvex._commandline as c; print(calvex.kind_of('PMU tdie1'), c.package_version())"],
        capture_output=True, text=True, cwd=package.parent, timeout=30,
    )
    assert (done.returncode, done.stdout, done.stderr) == (0, f"cpu {(ROOT / 'VERSION').read_text().strip()}\n", "")

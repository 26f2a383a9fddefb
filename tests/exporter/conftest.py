"""What the exporter tests share: the calvex-exporter binary under test,
the built calvex on the simulated platform as its helper, scripts as
helpers, and a check after every test that no child of this process is
left."""

import os
import signal
import time
from pathlib import Path
from typing import Iterator, List

import pytest

ROOT = Path(__file__).resolve().parents[2]
SIMRUN = os.environ.get("CALVEX_TEST_SIMRUN", str(ROOT / "build" / "sim" / "simrun"))
TOOL = os.environ.get("CALVEX_TEST_TOOL", str(ROOT / "build" / "calvex"))
PRESSURE_TOOL = os.environ.get("CALVEX_TEST_PRESSURE_TOOL", str(Path(TOOL).parent / "calvex-pressure"))
# The binary under test, built with the race detector by tests/go_exporter_test.sh.
EXPORTER = os.environ.get("CALVEX_TEST_EXPORTER", str(ROOT / "build" / "exporter-test" / "calvex-exporter"))
# The same without the race detector, where memory is measured.
PLAIN_EXPORTER = os.environ.get("CALVEX_TEST_PLAIN_EXPORTER", EXPORTER)
# Real-time margins, widened in slow lanes.
TIME_SCALE = float(os.environ.get("CALVEX_TEST_TIME_SCALE", "1"))


def simulated(**variables: str) -> List[str]:
    """The helper command, with simulated-platform variables in front of it."""
    assignments = [f"{name}={value}" for name, value in {"CALVEX_SIM_CLOCK": "real", **variables}.items()]
    return ["/usr/bin/env", *assignments, SIMRUN, TOOL]


def simulated_pressure(**variables: str) -> List[str]:
    """The pressure helper's command on the simulated notify service."""
    return simulated(**variables)[:-1] + [PRESSURE_TOOL]


def script(text: str) -> List[str]:
    """A helper command made of one shell script."""
    return ["/bin/sh", "-c", text, "sh"]


def children() -> List[int]:
    """Pids of this process's children, zombies included."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            stat = Path(f"/proc/{entry}/stat").read_text()
        except OSError:
            continue
        if int(stat[stat.rindex(")") + 2 :].split()[1]) == os.getpid():
            found.append(int(entry))
    return found


@pytest.fixture(autouse=True)
def no_child_left() -> Iterator[None]:
    yield
    left = children()
    for _ in range(40):
        for pid in children():
            try:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, os.WNOHANG)
            except OSError:
                pass
        if not children():
            break
        time.sleep(0.05)
    assert left == [], "a process is left behind"

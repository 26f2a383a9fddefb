"""What the client tests share: the built calvex on the simulated platform
as the helper command, scenarios, the shared kind table put in place, and
a check after every test that no child of this process is left."""

import os
import signal
import sys
import threading
import time
from pathlib import Path
from typing import Any, Callable, Dict, Iterator, List

import pytest

ROOT = Path(__file__).resolve().parents[3]
PACKAGE = ROOT / "clients" / "python" / "src"
sys.path.insert(0, str(PACKAGE))

SIMRUN = os.environ.get("CALVEX_TEST_SIMRUN", str(ROOT / "build" / "sim" / "simrun"))
TOOL = os.environ.get("CALVEX_TEST_TOOL", str(ROOT / "build" / "calvex"))
PRESSURE_TOOL = os.environ.get("CALVEX_TEST_PRESSURE_TOOL", str(Path(TOOL).parent / "calvex-pressure"))
# Real-time margins, widened in slow lanes (emulation).
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


def scenario(name: str) -> str:
    return str(ROOT / "sim" / "scenarios" / f"{name}.scenario")


def expected_lines(name: str) -> List[str]:
    return (ROOT / "sim" / "scenarios" / f"{name}.expected").read_text(encoding="utf-8").split("\n")[:-1]  # a name may hold U+2028


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


def kill_children() -> None:
    for _ in range(40):
        left = children()
        if not left:
            return
        for pid in left:
            try:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, os.WNOHANG)
            except OSError:
                pass
        time.sleep(0.05)


@pytest.fixture(autouse=True)
def no_child_left() -> Iterator[None]:
    yield
    left = children()
    kill_children()
    assert left == [], "a helper process is left behind"


# A slow consumer waits until the helper has written this many snapshots
# past the one it holds; then its next read must skip most of them.
SKIPPED_WHILE_SLOW = 5


def wait_for_snapshots_written(trace: Path, more_than: float) -> None:
    """Waits until the simulated platform's trace shows more than
    ``more_than`` snapshots written (a flush each), for a generous time."""
    deadline = time.monotonic() + 30 * TIME_SCALE
    while (trace.read_text().count("fflush") if trace.exists() else 0) <= more_than:
        assert time.monotonic() < deadline, f"the helper wrote no more than {more_than} snapshots"
        time.sleep(0.02)


def within(seconds: float, call: Callable[..., Any], *arguments: Any) -> Any:
    """call(*arguments), which must return or raise within the time: a client
    that stalls (in a stop that never kills, say) fails its test at once."""
    outcome: Dict[str, Any] = {}

    def run() -> None:
        try:
            outcome["value"] = call(*arguments)
        except BaseException as error:  # handed to the test's thread
            outcome["error"] = error

    worker = threading.Thread(target=run, daemon=True)
    worker.start()
    worker.join(seconds * TIME_SCALE)
    if worker.is_alive():
        raise AssertionError(f"{getattr(call, '__name__', call)}: no answer within {seconds * TIME_SCALE} s")
    if "error" in outcome:
        raise outcome["error"]
    return outcome.get("value")

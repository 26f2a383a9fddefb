"""The Python client's costs, on the simulated platform:
 1. per snapshot of the built-in machine's line (55 sensors), the client's
    parse into a Snapshot against bare json.loads of the same line:
    alternating rounds in one run, medians, and their ratio;
 2. CPU time of Python plus the helper over 300 snapshots at 200 ms.
Usage: /usr/bin/python3 bench/python_client.py BUILD_DIR [SNAPSHOTS]"""

import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path
from typing import Any, Callable

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "clients" / "python" / "src"))

from calvex import hottest, summary, watch_sensors  # noqa: E402
from calvex._protocol import parse_line  # noqa: E402

build = sys.argv[1] if len(sys.argv) > 1 else "build"
snapshots = int(sys.argv[2]) if len(sys.argv) > 2 else 300
helper = [f"{build}/sim/simrun", f"{build}/calvex"]


def seconds_per_call(parse: Callable[[str], Any], line: str, calls: int) -> float:
    started = time.perf_counter()
    for _ in range(calls):
        parse(line)
    return (time.perf_counter() - started) / calls


def parse_cost() -> "tuple[int, float, float, float, float]":
    """The line's size, then medians: bare json.loads, the client's parse,
    summary and hottest of the parsed snapshot, all in the same rounds."""
    line = subprocess.run([*helper, "--once"], capture_output=True, text=True, check=True).stdout.rstrip("\n")
    snapshot = parse_line(line)
    calls, bare, client, kinds, tops = 2000, [], [], [], []
    for _ in range(41):
        bare.append(seconds_per_call(json.loads, line, calls))
        client.append(seconds_per_call(parse_line, line, calls))
        kinds.append(seconds_per_call(lambda _: summary(snapshot), line, calls))  # type: ignore[arg-type]
        tops.append(seconds_per_call(lambda _: hottest(snapshot), line, calls))  # type: ignore[arg-type]
    return len(line), *(statistics.median(each) for each in (bare, client, kinds, tops))  # type: ignore[return-value]


def helper_cpu_seconds(pid: int) -> float:
    stat = Path(f"/proc/{pid}/stat").read_text()
    fields = stat[stat.rindex(")") + 2 :].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def watch_cost() -> "tuple[float, float, float]":
    before, started, seen, helper_cpu = time.process_time(), time.monotonic(), 0, 0.0
    with watch_sensors(200, helper=helper) as watch:
        for snapshot in watch:
            assert snapshot.sensors, "empty snapshot"
            seen += 1
            if seen == snapshots:
                helper_cpu = helper_cpu_seconds(watch._run.process.pid)  # type: ignore[union-attr]
                break
    return time.monotonic() - started, time.process_time() - before, helper_cpu


size, bare, client, kinds, tops = parse_cost()
took, python_cpu, helper_cpu = watch_cost()
rows = [
    (f"Python client: parse of the built-in machine's line ({size} bytes, 55 sensors) into a `Snapshot`, median", f"{client * 1e6:.1f} µs"),
    ("Python client: bare `json.loads` of the same line, median of the same run", f"{bare * 1e6:.1f} µs"),
    ("Python client: ratio client / bare `json.loads`", f"{client / bare:.2f}x"),
    ("Python client: `summary` of that snapshot, median of the same run", f"{kinds * 1e6:.1f} µs"),
    ("Python client: `hottest` of that snapshot (calibration left out), median of the same run", f"{tops * 1e6:.1f} µs"),
    ("Python client: ratio `summary` / `hottest` / the client's parse", f"{kinds / client:.2f}x / {tops / client:.2f}x"),
    (f"Python client: CPU over {snapshots} snapshots at 200 ms ({took:.0f} s): python / helper", f"{python_cpu:.2f} s / {helper_cpu:.2f} s"),
]
for label, figure in rows:
    print(f"| {label} | {figure} |")

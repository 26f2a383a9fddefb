"""The layout report of ``python -m calvex --report``: what the helpers
showed of this Mac over a window of snapshots, as one JSON document that
an owner attaches to a bug report and ``tools/add-layout.py`` turns into a
test scenario. Built from a record of the run, so that the npm package's
report.js, given the same record, builds the same document (the shared
golden cases in clients/shared/report-cases.json hold both to it).
docs/calvex-report.schema.json describes it."""

import hashlib
import json
import os
import platform
import signal
import subprocess
import sys
import threading
import time
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

from ._commandline import fill
from ._contract import COMMAND_LINE
from ._kinds import KINDS, NOT_A_PART, PLACEHOLDER, UNCLASSIFIED, kind_of, plausible
from ._process import HelperRun
from ._protocol import CODE_MEANINGS, PRESSURE_HELPER, SENSOR_HELPER, CalvexError, Helper, Snapshot, ThermalPressure
from ._terminal import fixed2
from ._views import hottest, summary

# The document's layout; a change that readers must know of raises it.
REPORT_FORMAT: int = COMMAND_LINE["report"]["format"]
# At least this many snapshots before a reading that never changes is
# called constant.
CONSTANT_AFTER_SNAPSHOTS: int = COMMAND_LINE["report"]["constantAfterSnapshots"]
# Where a machine's facts come from in tests, where there is no Mac.
MACHINE_VARIABLE = "CALVEX_REPORT_MACHINE"
MACHINE_FIELDS = ("model", "chip", "macos", "arch")
# How long a report waits to hear once from the pressure helper.
HEARD_WITHIN_SECONDS: float = COMMAND_LINE["report"]["heardWithinMs"] / 1000


def _sensor_entries(snapshots: Sequence[Snapshot]) -> List[Dict[str, Any]]:
    """Every sensor by name and occurrence, in the order of the first
    snapshot (then of first appearance), with its readings summed up."""
    seen: Dict[Tuple[str, int], Dict[str, Any]] = {}
    for index, snapshot in enumerate(snapshots):
        occurrences: Dict[str, int] = {}
        for name, celsius in snapshot.sensors:
            occurrence = occurrences.get(name, 0)
            occurrences[name] = occurrence + 1
            entry = seen.setdefault((name, occurrence), {"name": name, "occurrence": occurrence, "firstSeen": index, "readings": []})
            entry["readings"].append(celsius)
    return [_summed(entry, len(snapshots)) for entry in seen.values()]


def _summed(entry: Dict[str, Any], snapshots: int) -> Dict[str, Any]:
    readings: List[float] = entry.pop("readings")
    kind = kind_of(entry["name"])
    total = 0.0
    for celsius in readings:
        total += celsius
    flags = []
    if len(readings) >= CONSTANT_AFTER_SNAPSHOTS and len(set(readings)) == 1:
        flags.append("constant")
    if all(celsius == PLACEHOLDER for celsius in readings):
        flags.append("placeholder")
    if any(not plausible(kind, celsius) and celsius != PLACEHOLDER for celsius in readings):
        flags.append("implausible")
    if len(readings) < snapshots:
        flags.append("intermittent")
    return {
        **entry,
        "kind": kind,
        "snapshots": len(readings),
        "min": min(readings),
        "max": max(readings),
        "mean": _rounded(total / len(readings)),
        "flags": flags,
    }


def _rounded(mean: float) -> float:
    # A mean to the hundredth, as the terminal view writes it: no float noise.
    return float(fixed2(mean))


def _whole_numbers_plain(value: Any) -> Any:
    """The document with each whole float as an int, so that it is written
    2, not 2.0, as every client writes it."""
    if isinstance(value, float) and value.is_integer():
        return int(value)
    if isinstance(value, dict):
        return {key: _whole_numbers_plain(each) for key, each in value.items()}
    if isinstance(value, list):
        return [_whole_numbers_plain(each) for each in value]
    return value


def report_text(report: Dict[str, Any]) -> str:
    """The document as the file holds it, byte for byte the same from every
    client: two-space indents, characters as they are, whole numbers
    without a fraction, a line feed at the end."""
    return json.dumps(_whole_numbers_plain(report), indent=2, ensure_ascii=False) + "\n"


def _layout(snapshots: Sequence[Snapshot]) -> Dict[str, Any]:
    sizes = [len(snapshot.sensors) for snapshot in snapshots]
    repeated: Dict[str, int] = {}
    names = set()
    for snapshot in snapshots:
        counts: Dict[str, int] = {}
        for name, _ in snapshot.sensors:
            counts[name] = counts.get(name, 0) + 1
            names.add(name)
        for name, count in counts.items():
            if count > 1:
                repeated[name] = max(repeated.get(name, 0), count)
    return {
        "servicesPerSnapshot": {"least": min(sizes) if sizes else 0, "most": max(sizes) if sizes else 0},
        "distinctNames": len(names),
        "repeatedNames": dict(sorted(repeated.items())),
    }


def _reading(sensor: Any) -> Optional[Dict[str, Any]]:
    return None if sensor is None else {"name": sensor.name, "celsius": sensor.celsius}


def _answers(snapshots: Sequence[Snapshot]) -> Optional[Dict[str, Any]]:
    """What the client answers at the last snapshot."""
    if not snapshots:
        return None
    last = snapshots[-1]
    top = hottest(last)
    return {
        "hottest": None if top is None else {"name": top.name, "celsius": top.celsius, "kind": kind_of(top.name)},
        "hottestByKind": {kind: _reading(hottest(last, kind)) for kind in KINDS if kind != NOT_A_PART},
        "summary": {
            kind: {"count": each.count, "max": each.max, "mean": _rounded(each.mean), "leftOut": each.left_out}
            for kind, each in summary(last).items()
        },
    }


def _pressure(levels: Sequence[Union[ThermalPressure, CalvexError]], helper: Optional[Dict[str, Any]]) -> Optional[Dict[str, Any]]:
    if helper is None:
        return None
    seen: List[str] = []
    for level in levels:
        if isinstance(level, ThermalPressure) and level.pressure not in seen:
            seen.append(level.pressure)
    errors = [level.code for level in levels if isinstance(level, CalvexError)]
    return {"levels": seen, "error": errors[0] if errors else None}


def build_report(record: Dict[str, Any]) -> Dict[str, Any]:
    """The document for a record of a run: ``client``, ``machine``,
    ``window`` (seconds, intervalMs), ``helpers`` (per role: sha256,
    firstLineMs, errorCodes, endedWhenAsked; pressure absent or None where
    none ran), ``snapshots`` (Snapshots) and ``pressures`` (its values and
    failures, in order)."""
    snapshots: List[Snapshot] = record["snapshots"]
    sensors = _sensor_entries(snapshots)
    return {
        "format": REPORT_FORMAT,
        "client": record["client"],
        "machine": record["machine"],
        "window": {**record["window"], "snapshots": len(snapshots)},
        "helpers": record["helpers"],
        "sensors": sensors,
        "layout": _layout(snapshots),
        "answers": _answers(snapshots),
        "pressure": _pressure(record["pressures"], record["helpers"].get("pressure")),
    }


def unknown_sensors(report: Dict[str, Any]) -> int:
    return sum(1 for sensor in report["sensors"] if sensor["kind"] == UNCLASSIFIED)


def person_line(report: Dict[str, Any], where: str) -> str:
    """The one line for the person who ran it, on standard error: where the
    report went, and whether the sensor helper failed."""
    sentences = COMMAND_LINE["sentences"]
    codes = report["helpers"]["sensors"]["errorCodes"]
    if codes:
        return fill(sentences["reportHelperFailed"], code=codes[0], meaning=CODE_MEANINGS.get(codes[0], "a failure"), where=where)
    count = len(report["sensors"])
    return fill(sentences["reportWritten"], count=count, sensors="sensor" if count == 1 else "sensors",
                unknown=unknown_sensors(report), where=where)


def _sysctl(name: str) -> Optional[str]:
    try:
        done = subprocess.run(["/usr/sbin/sysctl", "-n", name], capture_output=True, text=True, timeout=5)
    except (OSError, subprocess.TimeoutExpired):
        return None
    return done.stdout.strip() or None if done.returncode == 0 else None


def machine_facts(environment: "os._Environ[str]") -> Dict[str, Optional[str]]:
    """The model, chip, macOS version and architecture; nothing that names a
    person or a machine. From CALVEX_REPORT_MACHINE when it is set (a test
    hook: a JSON object with those four keys), else on macOS from sysctl
    and the system version, else null for each."""
    given = environment.get(MACHINE_VARIABLE)
    if given is not None:
        facts = json.loads(given)
        if not isinstance(facts, dict):
            raise ValueError(f"{MACHINE_VARIABLE} must be a JSON object with {', '.join(MACHINE_FIELDS)}")
        return {field: facts.get(field) for field in MACHINE_FIELDS}
    if sys.platform != "darwin":
        return {field: None for field in MACHINE_FIELDS}
    return {
        "model": _sysctl("hw.model"),
        "chip": _sysctl("machdep.cpu.brand_string"),
        "macos": platform.mac_ver()[0] or None,
        "arch": platform.machine() or None,
    }


def program_sha256(command: Sequence[str]) -> Optional[str]:
    """The SHA-256 of the helper's program: the last word of its command
    (before the client's own argument) that names a file, so a helper run
    behind env or a wrapper is still the one hashed."""
    for word in reversed(command[:-1] or command):
        if os.path.isfile(word):
            digest = hashlib.sha256()
            with open(word, "rb") as program:
                for block in iter(lambda: program.read(1 << 16), b""):
                    digest.update(block)
            return digest.hexdigest()
    return None


class _Collector:
    """One helper run for the report: every value it writes, how soon the
    first came, and how it ended."""

    def __init__(self, command: List[str], helper: "Helper[Any]") -> None:
        self.command = command
        self.values: List[Any] = []
        self.started = time.monotonic()
        self.first_line_ms: Optional[int] = None
        self.run: HelperRun[Any] = HelperRun(command, helper)
        self.thread = threading.Thread(target=self._collect, daemon=True)
        self.thread.start()

    def _collect(self) -> None:
        while self.run.wait():
            value = self.run.take()
            if value is None:
                break
            if self.first_line_ms is None:
                self.first_line_ms = int((time.monotonic() - self.started) * 1000)
            self.values.append(value)

    def wait_heard(self, deadline: float) -> None:
        """Until its first value or its end, or the deadline."""
        while not self.values and not self.run.ended and time.monotonic() < deadline:
            self.run.wait_end(min(deadline, time.monotonic() + 0.05))

    def behaviour(self) -> Dict[str, Any]:
        """After close(): how the helper behaved."""
        failure = self.run.failure
        return {
            "sha256": program_sha256(self.command),
            "firstLineMs": self.first_line_ms,
            "errorCodes": [] if failure is None else [failure.code],
            # A helper that failed ended before it was asked; one that had
            # to be killed did not end when asked.
            "endedWhenAsked": None if failure is not None else self.run.status != -signal.SIGKILL,
        }

    def close(self) -> None:
        self.run.close()
        self.thread.join()


def gather(
    seconds: float,
    interval_ms: int,
    sensors: List[str],
    pressure: Optional[List[str]],
    client: Dict[str, str],
    environment: "os._Environ[str]",
) -> Dict[str, Any]:
    """Runs the helpers for ``seconds`` and returns the record of the run;
    a helper that fails still gives one, with its error in it."""
    collectors = {"sensors": _Collector(sensors, SENSOR_HELPER)}
    if pressure is not None:
        collectors["pressure"] = _Collector(pressure, PRESSURE_HELPER)
    deadline = time.monotonic() + seconds
    sensor_run = collectors["sensors"].run
    while not sensor_run.ended and time.monotonic() < deadline:
        sensor_run.wait_end(min(deadline, time.monotonic() + 0.1))
    if "pressure" in collectors:
        # Its outcome is recorded as it happened: it is heard from once (a
        # level, or its failure) before it is stopped, even when the sensor
        # helper ended the window at once.
        collectors["pressure"].wait_heard(time.monotonic() + HEARD_WITHIN_SECONDS)
    for collector in collectors.values():
        collector.close()
    pressure_values: List[Union[ThermalPressure, CalvexError]] = []
    if "pressure" in collectors:
        pressure_values = list(collectors["pressure"].values)
        if collectors["pressure"].run.failure is not None:
            pressure_values.append(collectors["pressure"].run.failure)
    return {
        "client": client,
        "machine": machine_facts(environment),
        "window": {"seconds": seconds, "intervalMs": interval_ms},
        "helpers": {role: collector.behaviour() for role, collector in collectors.items()},
        "snapshots": collectors["sensors"].values,
        "pressures": pressure_values,
    }

#!/usr/bin/python3
"""Turns a layout report (python -m calvex --report, npx calvex --report)
into a test scenario in one step: sim/scenarios/NAME.scenario reproduces
the reported layout (every name in order with its repeats, readings from
each sensor's observed range, the constant, placeholder and intermittent
ones as observed), NAME.expected is what calvex writes for it, and
clients/shared/reported-layouts.json gains the machine with the answers
the clients give for each snapshot, which both clients' suites then hold.

Usage: add-layout.py REPORT NAME [--scenarios DIR] [--layouts FILE] [--simrun PATH] [--calvex PATH]
  (defaults: sim/scenarios, clients/shared/reported-layouts.json, and the
  build in build/: build/sim/simrun, build/calvex)"""

import argparse
import json
import re
import subprocess
import sys
from pathlib import Path
from typing import Any, Dict, List

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "clients" / "python" / "src"))

from calvex._protocol import CalvexError, Sensor, Snapshot, parse_line  # noqa: E402: from the checkout
from calvex._views import hottest, summary  # noqa: E402

REPORT_FORMAT = 1
NAME_PATTERN = r"[a-z0-9][a-z0-9-]*"


def _quoted(name: str) -> str:
    """A product name as the scenario format writes it: quoted, with the
    quote and the backslash escaped, and every byte outside printable
    ASCII as \\xHH, so the file holds the name's bytes exactly."""
    text = ""
    for byte in name.encode("utf-8"):
        if byte in (0x22, 0x5C):
            text += "\\" + chr(byte)
        elif byte < 0x20 or byte >= 0x7F:
            text += f"\\x{byte:02X}"
        else:
            text += chr(byte)
    return '"' + text + '"'


def _reading(sensor: Dict[str, Any], at: int) -> float:
    """The sensor's reading at its ``at``-th snapshot: its one value when it
    was constant (or seen once), else a step from its least to its most."""
    low, high, count = sensor["min"], sensor["max"], sensor["snapshots"]
    if "constant" in sensor["flags"] or count == 1 or low == high:
        return float(low)
    return round(low + (high - low) * at / (count - 1), 2)


def scenario_text(report: Dict[str, Any], name: str) -> str:
    snapshots = max(1, report["window"]["snapshots"])
    machine = report["machine"]
    described = ", ".join(str(machine[field]) for field in ("model", "chip", "macos") if machine.get(field)) or "an unnamed Mac"
    lines = [
        f"# {described}: made by tools/add-layout.py from a layout report ({report['client']['name']} {report['client']['version']}),",
        f"# {len(report['sensors'])} sensors over {snapshots} snapshots, each in its observed range.",
        f"#   CALVEX_SIM_SCENARIO=sim/scenarios/{name}.scenario build/sim/simrun build/calvex 200",
        "# args: 200",
        f"# env: CALVEX_SIM_PPID={snapshots}:1",
    ]
    for index in range(snapshots):
        lines.append("snapshot")
        for sensor in report["sensors"]:
            at = index - sensor["firstSeen"]
            if 0 <= at < sensor["snapshots"]:
                lines.append(f"sensor {_reading(sensor, at):.2f} {_quoted(sensor['name'])}")
    return "\n".join(lines) + "\n"


def expected_output(scenario: Path, snapshots: int, simrun: Path, calvex: Path) -> str:
    done = subprocess.run(
        [str(simrun), str(calvex), "200"],
        env={"CALVEX_SIM_SCENARIO": str(scenario), "CALVEX_SIM_PPID": f"{snapshots}:1", "PATH": "/usr/bin:/bin"},
        capture_output=True, text=True, timeout=60,
    )
    if done.returncode != 0:
        raise SystemExit(f"add-layout: calvex on {scenario} ended with {done.returncode}: {done.stderr.strip()}")
    return done.stdout


def answers(expected: str) -> List[Dict[str, Any]]:
    """What every client must answer for each snapshot of the output."""
    found = []
    for line in expected.splitlines():
        snapshot = parse_line(line)
        assert not isinstance(snapshot, CalvexError), line
        top, cpu = hottest(snapshot), hottest(snapshot, "cpu")
        kinds = summary(snapshot)
        found.append({
            "hottest": None if top is None else list(top),
            "cpu": None if cpu is None else list(cpu),
            "counts": {kind: each.count for kind, each in kinds.items()},
            "leftOut": {kind: each.left_out for kind, each in kinds.items() if each.left_out},
        })
    return found


def add(report_path: Path, name: str, scenarios: Path, layouts: Path, simrun: Path, calvex: Path) -> None:
    report = json.loads(report_path.read_text(encoding="utf-8"))
    if report.get("format") != REPORT_FORMAT:
        raise SystemExit(f"add-layout: {report_path} is no calvex report of format {REPORT_FORMAT}")
    if not report["sensors"]:
        raise SystemExit(f"add-layout: {report_path} has no sensors: its helper failed ({report['helpers']['sensors']['errorCodes']})")
    scenario = scenarios / f"{name}.scenario"
    scenario.write_text(scenario_text(report, name), encoding="utf-8")
    expected = expected_output(scenario, max(1, report["window"]["snapshots"]), simrun, calvex)
    (scenarios / f"{name}.expected").write_text(expected, encoding="utf-8")
    known = json.loads(layouts.read_text(encoding="utf-8"))
    known["scenarios"][name] = answers(expected)
    known.setdefault("machines", {})[name] = report["machine"]
    layouts.write_text(json.dumps(known, indent=1, ensure_ascii=False) + "\n", encoding="utf-8")
    print(f"add-layout: {scenario}: {len(report['sensors'])} sensors, {len(expected.splitlines())} snapshots; answers added to {layouts}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("report", type=Path)
    parser.add_argument("name", help="the scenario's name, e.g. m5-max")
    parser.add_argument("--scenarios", type=Path, default=ROOT / "sim" / "scenarios")
    parser.add_argument("--layouts", type=Path, default=ROOT / "clients" / "shared" / "reported-layouts.json")
    parser.add_argument("--simrun", type=Path, default=ROOT / "build" / "sim" / "simrun")
    parser.add_argument("--calvex", type=Path, default=ROOT / "build" / "calvex")
    options = parser.parse_args()
    if not re.fullmatch(NAME_PATTERN, options.name):
        parser.error(f"the name must match {NAME_PATTERN}, like m5-max")
    add(options.report, options.name, options.scenarios, options.layouts, options.simrun, options.calvex)
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""The pure run core against the shared run cases: the same events give
the same actions, the same value and the same failure as npm's runcore.js."""

import json
from typing import Any, Dict, List, Optional

import pytest
from conftest import ROOT

from calvex._protocol import PRESSURE_HELPER, SENSOR_HELPER, CalvexError, Snapshot, ThermalPressure
from calvex._runcore import Action, RunCore

CASES: List[Dict[str, Any]] = json.loads((ROOT / "clients" / "shared" / "run-cases.json").read_text(encoding="utf-8"))["cases"]


def plain(value: Any) -> Any:
    if isinstance(value, Snapshot):
        return {"sensors": [[sensor.name, sensor.celsius] for sensor in value.sensors]}
    if isinstance(value, ThermalPressure):
        return {"pressure": value.pressure, "level": value.level}
    assert value is None
    return None


def said(action: Action) -> str:
    return {"value": "value", "signal": f"signal {action.name}", "timer": f"timer {action.ms}", "end": "end"}[action.kind]


def failure(error: Optional[CalvexError]) -> Optional[Dict[str, Any]]:
    return None if error is None else {"code": error.code, "message": str(error), "line": error.line, "signal": error.signal}


def feed(core: "RunCore[Any]", event: Dict[str, Any]) -> List[Action]:
    (kind, value), = event.items()
    if kind == "output":
        return core.output(value.encode("utf-8"))
    if kind == "outputHex":
        return core.output(bytes.fromhex(value))
    if kind == "outputRepeat":
        return core.output((value["text"] * value["times"]).encode("utf-8"))
    if kind == "errorOutput":
        return core.error_output(value.encode("utf-8"))
    if kind == "outputEnd":
        return core.output_end()
    if kind == "exited":
        return core.exited(value["code"], value["signal"])
    if kind == "stop":
        return core.stop()
    assert kind == "timerFired", kind
    return core.timer_fired()


@pytest.mark.parametrize("case", CASES, ids=[case["name"] for case in CASES])
def test_each_run_case(case: Dict[str, Any]) -> None:
    core: "RunCore[Any]" = RunCore(SENSOR_HELPER if case["parse"] == "sensors" else PRESSURE_HELPER, once=case["once"])
    actions = [[said(action) for action in feed(core, event)] for event in case["events"]]
    got = {"actions": actions, "ended": core.ended, "taken": plain(core.take()), "failure": failure(core.failure)}
    # As JSON, so that -0.0 and 0.0 differ as they do in the data.
    assert json.dumps(got, sort_keys=True) == json.dumps(case["expect"], sort_keys=True)

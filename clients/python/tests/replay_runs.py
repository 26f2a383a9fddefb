"""The Python run core replaying run cases: what each case's events make
it answer (actions, end, the value taken, the failure), as plain JSON.
The shared run-case test holds it to the data; tools/transcripts.py runs
it beside the other clients' replays and compares.

  replay_runs.py CASES.json ANSWERS.json"""

import json
import sys
from pathlib import Path
from typing import Any, Dict, List, Optional

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "src"))

from calvex._protocol import PRESSURE_HELPER, SENSOR_HELPER, CalvexError, Snapshot, ThermalPressure  # noqa: E402
from calvex._runcore import Action, RunCore  # noqa: E402


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
    if kind == "errorOutputHex":
        return core.error_output(bytes.fromhex(value))
    if kind == "outputEnd":
        return core.output_end()
    if kind == "exited":
        return core.exited(value["code"], value["signal"])
    if kind == "stop":
        return core.stop()
    assert kind == "timerFired", kind
    return core.timer_fired()


def answer(case: Dict[str, Any]) -> Dict[str, Any]:
    """What the core answers to one case's events."""
    core: "RunCore[Any]" = RunCore(SENSOR_HELPER if case["parse"] == "sensors" else PRESSURE_HELPER, once=case["once"])
    actions = [[said(action) for action in feed(core, event)] for event in case["events"]]
    return {"actions": actions, "ended": core.ended, "taken": plain(core.take()), "failure": failure(core.failure)}


def answers(cases: List[Dict[str, Any]]) -> List[Dict[str, Any]]:
    return [answer(case) for case in cases]


def _signed_zero(value: Any) -> Any:
    """-0.0 as the text "-0": not every client's JSON writer keeps its sign."""
    if isinstance(value, float) and value == 0 and str(value).startswith("-"):
        return "-0"
    if isinstance(value, dict):
        return {key: _signed_zero(each) for key, each in value.items()}
    if isinstance(value, list):
        return [_signed_zero(each) for each in value]
    return value


if __name__ == "__main__":
    given = json.loads(Path(sys.argv[1]).read_text(encoding="utf-8"))["cases"]
    Path(sys.argv[2]).write_text(json.dumps(_signed_zero(answers(given)), ensure_ascii=False), encoding="utf-8")

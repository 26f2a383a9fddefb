"""The shared vectors of the sensor-kind table, as every client runs them."""

import json
from typing import Any, Dict, List, Optional

import pytest
from conftest import ROOT

from calvex import KindSummary, Sensor, Snapshot, hottest, kind_of, summary

VECTORS: Dict[str, Any] = json.loads((ROOT / "clients" / "shared" / "sensor-kinds-vectors.json").read_text("utf-8"))


def test_every_name_of_the_shared_vectors_gets_its_kind() -> None:
    wrong = [f"{name!r}: {kind_of(name)}, expected {kind}" for name, kind in VECTORS["names"] if kind_of(name) != kind]
    assert wrong == []
    with pytest.raises(TypeError):
        kind_of(None)  # type: ignore[arg-type]


@pytest.mark.parametrize("vector", VECTORS["snapshots"], ids=lambda vector: vector["about"])
def test_every_snapshot_of_the_shared_vectors_gets_its_summary(vector: Dict[str, Any]) -> None:
    got = summary(Snapshot(tuple(Sensor(name, celsius) for name, celsius in vector["sensors"])))
    expected = {kind: KindSummary(each["count"], each["max"], each["mean"], each["leftOut"]) for kind, each in vector["summary"].items()}
    assert list(got.items()) == list(expected.items())


def _sensor(pair: Optional[List[Any]]) -> Optional[Sensor]:
    return None if pair is None else Sensor(pair[0], pair[1])


@pytest.mark.parametrize("vector", VECTORS["hottest"], ids=lambda vector: vector["about"])
def test_every_snapshot_of_the_shared_vectors_gets_its_hottest_reading(vector: Dict[str, Any]) -> None:
    snapshot = Snapshot(tuple(Sensor(name, celsius) for name, celsius in vector["sensors"]))
    assert hottest(snapshot) == _sensor(vector["hottest"])
    assert {kind: hottest(snapshot, kind) for kind in vector["byKind"]} == {kind: _sensor(each) for kind, each in vector["byKind"].items()}


@pytest.mark.parametrize("kind", ["fan", "CPU", "", 1])
def test_an_unknown_kind_is_a_type_error(kind: Any) -> None:
    with pytest.raises(TypeError):
        hottest(Snapshot(()), kind)


LAYOUTS: Dict[str, Any] = json.loads((ROOT / "clients" / "shared" / "reported-layouts.json").read_text("utf-8"))["scenarios"]


def _snapshots(scenario: str) -> List[Snapshot]:
    lines = (ROOT / "sim" / "scenarios" / f"{scenario}.expected").read_text("utf-8").split("\n")[:-1]
    return [Snapshot(tuple(Sensor(entry["name"], entry["t"]) for entry in json.loads(line)["sensors"])) for line in lines]


@pytest.mark.parametrize("scenario", sorted(LAYOUTS))
def test_every_reported_machine_gets_the_answer_a_user_wants(scenario: str) -> None:
    snapshots = _snapshots(scenario)
    assert len(snapshots) == len(LAYOUTS[scenario])
    for snapshot, answer in zip(snapshots, LAYOUTS[scenario]):
        top, cpu = hottest(snapshot), hottest(snapshot, "cpu")
        assert top is not None and cpu is not None
        assert [list(top), list(cpu)] == [answer["hottest"], answer["cpu"]]
        assert {kind: each.count for kind, each in summary(snapshot).items()} == answer["counts"]
        assert {kind: each.left_out for kind, each in summary(snapshot).items() if each.left_out} == answer["leftOut"]
        # What a user wants, whatever the file says: never a calibration
        # reference, and the CPU whenever it is the hottest part.
        parts = [sensor for sensor in snapshot.sensors if kind_of(sensor.name) != "calibration"]
        assert kind_of(top.name) != "calibration" and kind_of(cpu.name) == "cpu"
        if max(sensor.celsius for sensor in parts) == cpu.celsius:
            assert kind_of(top.name) == "cpu", f"{scenario}: {top} while the CPU is hottest"

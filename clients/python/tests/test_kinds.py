"""The shared vectors of the sensor-kind table, as every client runs them."""

import json
from typing import Any, Dict

import pytest
from conftest import ROOT

from calvex import KindSummary, Sensor, Snapshot, kind_of, summary

VECTORS: Dict[str, Any] = json.loads((ROOT / "clients" / "shared" / "sensor-kinds-vectors.json").read_text("utf-8"))


def test_every_name_of_the_shared_vectors_gets_its_kind() -> None:
    wrong = [f"{name!r}: {kind_of(name)}, expected {kind}" for name, kind in VECTORS["names"] if kind_of(name) != kind]
    assert wrong == []
    with pytest.raises(TypeError):
        kind_of(None)  # type: ignore[arg-type]


@pytest.mark.parametrize("vector", VECTORS["snapshots"], ids=lambda vector: vector["about"])
def test_every_snapshot_of_the_shared_vectors_gets_its_summary(vector: Dict[str, Any]) -> None:
    got = summary(Snapshot(tuple(Sensor(name, celsius) for name, celsius in vector["sensors"])))
    expected = {kind: KindSummary(**each) for kind, each in vector["summary"].items()}
    assert list(got.items()) == list(expected.items())

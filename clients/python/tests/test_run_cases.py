"""The pure run core against the shared run cases and the generated
transcripts: the same events give the same actions, the same value and the
same failure as the other clients' run cores."""

import json
from typing import Any, Dict, List

import pytest
from conftest import ROOT
from replay_runs import answer

SHARED = ROOT / "clients" / "shared"
CASES: List[Dict[str, Any]] = [
    *json.loads((SHARED / "run-cases.json").read_text(encoding="utf-8"))["cases"],
    *json.loads((SHARED / "run-transcripts.json").read_text(encoding="utf-8"))["cases"],
]


@pytest.mark.parametrize("case", CASES, ids=[case["name"] for case in CASES])
def test_each_run_case(case: Dict[str, Any]) -> None:
    # As JSON, so that -0.0 and 0.0 differ as they do in the data.
    assert json.dumps(answer(case), sort_keys=True) == json.dumps(case["expect"], sort_keys=True)

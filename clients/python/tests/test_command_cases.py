"""python -m calvex against the shared command cases, byte for byte: the
same words give the same exit status, standard output and standard error
as npx calvex, the program's name aside."""

import json
import subprocess
import sys
from pathlib import Path
from typing import Any, Dict, List

import pytest
from conftest import PACKAGE, PRESSURE_TOOL, ROOT, SIMRUN, TIME_SCALE, TOOL

SHARED: Dict[str, Any] = json.loads((ROOT / "clients" / "shared" / "command-cases.json").read_text(encoding="utf-8"))
PLACES = {"simrun": SIMRUN, "calvex": TOOL, "calvex-pressure": PRESSURE_TOOL, "scenarios": str(ROOT / "sim" / "scenarios"),
          "missing": SHARED["missing"]}
PROGRAM = "python -m calvex"


def expand(words: List[str], scratch: str) -> List[str]:
    filled = {**PLACES, "scratch": scratch}
    expanded: List[str] = []
    for word in words:
        if word == "{env}":
            expanded += ["/usr/bin/env", "CALVEX_SIM_CLOCK=virtual"]
            continue
        for name, value in filled.items():
            word = word.replace("{" + name + "}", value)
        expanded.append(word)
    return expanded


@pytest.mark.parametrize("case", SHARED["cases"], ids=[case["name"] for case in SHARED["cases"]])
def test_each_command_case_byte_for_byte(tmp_path: Path, case: Dict[str, Any]) -> None:
    scratch = str(tmp_path)
    done = subprocess.run(
        [sys.executable, "-m", "calvex", *expand(case["words"], scratch)], capture_output=True, timeout=30 * TIME_SCALE,
        env={"PATH": "/usr/bin:/bin", "PYTHONPATH": str(PACKAGE), "CALVEX_REPORT_MACHINE": json.dumps(SHARED["machine"])},
    )

    def named(text: str) -> str:
        return text.replace("{prog}", PROGRAM)

    got = (done.returncode, done.stdout.decode("utf-8").replace(scratch, "{scratch}"), done.stderr.decode("utf-8").replace(scratch, "{scratch}"))
    assert got == (case["status"], named(case["stdout"]), named(case["stderr"]))

"""The Python client's public face running real helper programs: each
program's value or failure, as plain JSON, for tools/transcripts.py to
compare with the other clients'.

  replay_helpers.py PROGRAMS.json ANSWERS.json"""

import json
import sys
from pathlib import Path
from typing import Any, Dict, List

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "src"))
sys.path.insert(0, str(Path(__file__).resolve().parent))

from calvex import CalvexError, read_sensors, read_thermal_pressure  # noqa: E402
from replay_runs import _signed_zero, plain  # noqa: E402


def outcome(program: Dict[str, Any]) -> Dict[str, Any]:
    read = read_sensors if program["parse"] == "sensors" else read_thermal_pressure
    try:
        return {"value": plain(read(helper=program["command"], timeout=10)), "failure": None}
    except CalvexError as error:
        return {"value": None, "failure": {"code": error.code, "message": str(error), "signal": error.signal}}


if __name__ == "__main__":
    programs: List[Dict[str, Any]] = json.loads(Path(sys.argv[1]).read_text(encoding="utf-8"))["programs"]
    Path(sys.argv[2]).write_text(json.dumps(_signed_zero([outcome(each) for each in programs]), ensure_ascii=False), encoding="utf-8")

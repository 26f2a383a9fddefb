#!/usr/bin/python3
"""Random helper transcripts for the three run cores, and their comparison.

A transcript is what a run core is fed: output split at any byte (lines of
every kind the helpers write and many they never do: over-long, invalid
UTF-8, nested, numbers out of range, error lines of every code), standard
error, the end of output, exits by status and signal, stops and timers, in
any order. Hypothesis makes them from a fixed seed.

  transcripts.py --write [COUNT]   writes clients/shared/run-transcripts.json:
                                   COUNT transcripts (default 2000) with the
                                   Python core's answers, which every client's
                                   run-case test then holds its core to
  transcripts.py --compare [SECONDS]
                                   makes fresh transcripts for SECONDS (default
                                   60; the seed is fixed, the time bounds how
                                   many) and has the Python, Node and Go cores
                                   replay them: any answer that differs, in any
                                   client, fails, with the first transcript
                                   that shows it
  transcripts.py --helpers [COUNT]
                                   what no core sees: COUNT (default 150) small
                                   real helper programs (lines, standard error,
                                   an exit by status or by any signal the OS
                                   names, a start that fails) each run by every
                                   client's public face (a --once read), whose
                                   values and failures must be the same
"""

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional

from hypothesis import HealthCheck, Phase, Verbosity, given, seed, settings
from hypothesis import strategies as st

ROOT = Path(__file__).resolve().parents[1]
SHARED = ROOT / "clients" / "shared"
CORPUS = SHARED / "run-transcripts.json"
PROTOCOL = json.loads((SHARED / "protocol.json").read_text(encoding="utf-8"))
SEED = 40
SIGNALS = ["SIGTERM", "SIGKILL", "SIGINT", "SIGSEGV", "SIGXCPU", "SIGSYS", "signal 34"]

# Pieces of lines, as bytes: what the helpers write, and what they never do.
names = st.one_of(
    st.sampled_from(["PMU tdie1", "PMU tcal", "gas gauge battery", "NAND CH0 temp", "sensor 7", "", "x"]),
    st.text(min_size=0, max_size=12),
)
readings = st.one_of(
    st.sampled_from(["41.50", "-0", "-0.0", "0", "149.99", "-39.99", "1e309", "-1e309", "1" + "0" * 30, "9" * 401,
                     "1E2", "2.5e-3", "true", "null", "\"41\"", "NaN"]),
    st.floats(min_value=-50, max_value=160, allow_nan=False).map(lambda value: f"{value:.2f}"),
)


def entry(name: str, reading: str) -> str:
    return "{\"name\":" + json.dumps(name, ensure_ascii=False) + ",\"t\":" + reading + "}"


snapshot_lines = st.lists(st.tuples(names, readings), max_size=3).map(
    lambda entries: "{\"sensors\":[" + ",".join(entry(*each) for each in entries) + "]}")
error_lines = st.sampled_from([*PROTOCOL["helpers"]["sensors"]["errorLines"], *PROTOCOL["helpers"]["pressure"]["errorLines"],
                               "toString", "IOKit"]).map(lambda text: "{\"error\":" + json.dumps(text) + "}")
levels = st.one_of(st.sampled_from(["0", "1", "4", "5", "1.0", "1e0", "-0", "-1", "null", "9007199254740991",
                                    "9007199254740992", "18446744073709551615", "\"2\""]),
                   st.integers(min_value=0, max_value=9).map(str))
pressure_lines = st.tuples(st.sampled_from(PROTOCOL["pressureLevels"] + ["unknown", "hot"]), levels).map(
    lambda pair: "{\"pressure\":" + json.dumps(pair[0]) + ",\"level\":" + pair[1] + "}")
nested = st.integers(min_value=60, max_value=70).map(lambda depth: "{\"sensors\":[],\"x\":" + "[" * depth + "]" * depth + "}")
garbage = st.one_of(st.sampled_from(["", "garbage", "{", "[]", "{\"sensors\":{}}", "{\"sensors\":[]} x", "\\ud800",
                                     "{\"sensors\":[{\"name\":\"a\\ud800\",\"t\":1}]}"]),
                    st.text(max_size=20))
lines = st.one_of(snapshot_lines, snapshot_lines, error_lines, pressure_lines, nested, garbage).map(
    lambda text: text.encode("utf-8", "surrogatepass"))
raw_bytes = st.binary(max_size=8)  # invalid UTF-8 and stray line feeds among them


@st.composite
def output_events(draw: Callable[..., Any]) -> List[Dict[str, Any]]:
    """A stream of lines (and stray bytes), split into chunks at any byte."""
    stream = b""
    for _ in range(draw(st.integers(min_value=0, max_value=3))):
        stream += draw(st.one_of(lines, lines, lines, raw_bytes))
        stream += b"\n" if draw(st.integers(min_value=0, max_value=5)) else b""
    cuts = sorted(set(draw(st.lists(st.integers(min_value=0, max_value=max(0, len(stream))), max_size=4))))
    pieces = [stream[start:end] for start, end in zip([0, *cuts], [*cuts, len(stream)]) if end > start]
    return [{"outputHex": piece.hex()} for piece in pieces]


over_long = st.just([{"output": "{\"sensors\":["}, {"outputRepeat": {"text": "é", "times": PROTOCOL["longestLineBytes"] // 2 + 1}}])
other_events = st.one_of(
    st.builds(lambda text: {"errorOutputHex": text.hex()}, st.binary(max_size=12)),
    st.builds(lambda text: {"errorOutput": text}, st.text(max_size=12)),
    st.just({"outputEnd": None}),
    st.builds(lambda code: {"exited": {"code": code, "signal": None}}, st.sampled_from([0, 0, 1, 2, 3, 127])),
    st.builds(lambda name: {"exited": {"code": None, "signal": name}}, st.sampled_from(SIGNALS)),
    st.just({"stop": None}),
    st.just({"timerFired": None}),
)


@st.composite
def transcripts(draw: Callable[..., Any]) -> Dict[str, Any]:
    events: List[Dict[str, Any]] = []
    for _ in range(draw(st.integers(min_value=1, max_value=5))):
        kind = draw(st.integers(min_value=0, max_value=20))
        if kind < 10:
            events += draw(output_events())
        elif kind == 10 and draw(st.integers(min_value=0, max_value=4)) == 0:
            events += draw(over_long)
        else:
            events.append(draw(other_events))
    return {"parse": draw(st.sampled_from(["sensors", "pressure"])), "once": draw(st.booleans()), "events": events}


class _Enough(Exception):
    """Ends the generation: as many as asked for, or the time is up."""


def generate(count: Optional[int], seconds: Optional[float]) -> List[Dict[str, Any]]:
    made: List[Dict[str, Any]] = []
    deadline = None if seconds is None else time.monotonic() + seconds

    @seed(SEED)
    @settings(max_examples=1_000_000, database=None, deadline=None, phases=[Phase.generate],
              verbosity=Verbosity.quiet, suppress_health_check=list(HealthCheck))
    @given(transcripts())
    def collect(transcript: Dict[str, Any]) -> None:
        if (count is not None and len(made) >= count) or (deadline is not None and time.monotonic() > deadline):
            raise _Enough
        made.append(transcript)

    try:
        collect()
    except _Enough:
        pass
    for number, transcript in enumerate(made):
        transcript["name"] = f"transcript {number}"
    return [{"name": each["name"], "parse": each["parse"], "once": each["once"], "events": each["events"]} for each in made]


def python_answers(cases: List[Dict[str, Any]]) -> List[Dict[str, Any]]:
    sys.path.insert(0, str(ROOT / "clients" / "python" / "src"))
    sys.path.insert(0, str(ROOT / "clients" / "python" / "tests"))
    from replay_runs import answers  # noqa: E402: the client's own replay

    return answers(cases)


def replay_all(cases: List[Dict[str, Any]]) -> Dict[str, List[Any]]:
    """Each client's answers to the same transcripts, as plain JSON."""
    with tempfile.TemporaryDirectory() as folder:
        given = Path(folder) / "cases.json"
        given.write_text(json.dumps({"cases": cases}, ensure_ascii=False), encoding="utf-8")
        python = Path(folder) / "python.json"
        node = Path(folder) / "node.json"
        go = Path(folder) / "go.json"
        env = {**os.environ, "PYTHONDONTWRITEBYTECODE": "1"}
        subprocess.run(["/usr/bin/python3", str(ROOT / "clients/python/tests/replay_runs.py"), str(given), str(python)],
                       check=True, env=env)
        subprocess.run(["node", str(ROOT / "clients/node/tests/replay-runs.js"), str(given), str(node)], check=True)
        subprocess.run(["go", "test", "-count=1", "-run", "^TestReplayRuns$", "."], check=True, cwd=ROOT / "clients/go",
                       env={**os.environ, "CALVEX_REPLAY_IN": str(given), "CALVEX_REPLAY_OUT": str(go), "GOFLAGS": "-buildvcs=false"},
                       stdout=subprocess.DEVNULL)
        return {name: json.loads(path.read_text(encoding="utf-8")) for name, path in
                (("python", python), ("node", node), ("go", go))}


def _numbers_alike(value: Any) -> Any:
    """Every number as a float: 41 and 41.0 are one reading, whichever
    client's JSON writer wrote it (each writes -0 as the text "-0")."""
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return float(value)
    if isinstance(value, dict):
        return {key: _numbers_alike(each) for key, each in value.items()}
    if isinstance(value, list):
        return [_numbers_alike(each) for each in value]
    return value


def compare(seconds: float) -> int:
    cases = generate(None, seconds)
    answers = replay_all(cases)
    differing = 0
    for number, case in enumerate(cases):
        said = {client: json.dumps(_numbers_alike(answers[client][number]), sort_keys=True, ensure_ascii=False) for client in answers}
        if len(set(said.values())) > 1:
            differing += 1
            if differing == 1:
                print(f"transcripts: the clients differ on {case['name']}: {json.dumps(case, ensure_ascii=False)[:2000]}")
                for client, text in said.items():
                    print(f"  {client}: {text[:2000]}")
    print(f"transcripts: {len(cases)} fresh transcripts, {differing} answered differently")
    return 1 if differing else 0


def write(count: int) -> int:
    cases = generate(count, None)
    for case, expect in zip(cases, python_answers(cases)):
        case["expect"] = expect
    about = ("Random helper transcripts (tools/transcripts.py, hypothesis from a fixed seed) with the answers every "
             "client's run core must give, as in run-cases.json; outputHex and errorOutputHex are bytes in hex.")
    CORPUS.write_text(json.dumps({"about": about, "cases": cases}, ensure_ascii=False, separators=(",", ":")) + "\n",
                      encoding="utf-8")
    print(f"transcripts: wrote {len(cases)} to {CORPUS.relative_to(ROOT)} ({CORPUS.stat().st_size} bytes)")
    return 0


# Real helpers: what a run core is never fed by hand.
START_FAILURES = [
    ["/nonexistent/calvex"],  # ENOENT
    ["/"],  # a folder: EACCES
    ["/etc/passwd"],  # not executable: EACCES
    ["calvex-no-such-helper-in-path"],  # not in PATH: ENOENT
]
# A program the system cannot run (ENOEXEC) is left out: Node's spawn runs
# it with /bin/sh instead, as the npm README says.
HELPER_SIGNALS = [int(getattr(signal, f"SIG{name}")) for name in
                  ("HUP", "INT", "QUIT", "ABRT", "KILL", "USR1", "SEGV", "USR2", "PIPE", "ALRM", "TERM", "XCPU", "XFSZ",
                   "VTALRM", "PROF", "IO", "SYS", "PWR", "STKFLT", "TRAP", "BUS", "FPE", "ILL")]


def _printf(data: bytes) -> str:
    """A printf command that writes exactly these bytes."""
    return "printf '" + "".join(f"\\{byte:03o}" for byte in data) + "'"


@st.composite
def helper_programs(draw: Callable[..., Any]) -> Dict[str, Any]:
    if draw(st.integers(min_value=0, max_value=9)) == 0:
        return {"parse": draw(st.sampled_from(["sensors", "pressure"])), "command": draw(st.sampled_from(START_FAILURES))}
    steps = []
    for _ in range(draw(st.integers(min_value=0, max_value=2))):
        line = draw(lines) + (b"\n" if draw(st.integers(min_value=0, max_value=4)) else b"")
        steps.append(_printf(line))
    if draw(st.booleans()):
        steps.append(_printf(draw(st.binary(max_size=20))) + " >&2")
    ending = draw(st.one_of(st.sampled_from(HELPER_SIGNALS).map(lambda number: f"kill -{number} $$"),
                            st.sampled_from([0, 0, 1, 3, 126]).map(lambda code: f"exit {code}")))
    steps.append(ending)
    return {"parse": draw(st.sampled_from(["sensors", "pressure"])), "command": ["/bin/sh", "-c", "; ".join(steps), "sh"]}


def generate_helpers(count: int) -> List[Dict[str, Any]]:
    made: List[Dict[str, Any]] = []

    @seed(SEED)
    @settings(max_examples=1_000_000, database=None, deadline=None, phases=[Phase.generate],
              verbosity=Verbosity.quiet, suppress_health_check=list(HealthCheck))
    @given(helper_programs())
    def collect(program: Dict[str, Any]) -> None:
        if len(made) >= count:
            raise _Enough
        made.append(program)

    try:
        collect()
    except _Enough:
        pass
    return made


def compare_helpers(count: int) -> int:
    programs = generate_helpers(count)
    with tempfile.TemporaryDirectory() as folder:
        given = Path(folder) / "programs.json"
        given.write_text(json.dumps({"programs": programs}), encoding="utf-8")
        outputs = {client: Path(folder) / f"{client}.json" for client in ("python", "node", "go")}
        environment = {**os.environ, "PYTHONDONTWRITEBYTECODE": "1", "PATH": "/usr/bin:/bin"}
        subprocess.run(["/usr/bin/python3", str(ROOT / "clients/python/tests/replay_helpers.py"), str(given), str(outputs["python"])],
                       check=True, env=environment)
        subprocess.run(["node", str(ROOT / "clients/node/tests/replay-helpers.js"), str(given), str(outputs["node"])],
                       check=True, env=environment)
        subprocess.run([shutil.which("go") or "go", "test", "-count=1", "-run", "^TestReplayHelpers$", "."], check=True,
                       cwd=ROOT / "clients/go", stdout=subprocess.DEVNULL,
                       env={**environment, "PATH": os.environ["PATH"], "CALVEX_REPLAY_HELPERS_PATH": "/usr/bin:/bin",
                            "CALVEX_REPLAY_IN": str(given), "CALVEX_REPLAY_OUT": str(outputs["go"]), "GOFLAGS": "-buildvcs=false"})
        answers = {client: json.loads(path.read_text(encoding="utf-8")) for client, path in outputs.items()}
    differing = 0
    for number, program in enumerate(programs):
        said = {client: json.dumps(_numbers_alike(answers[client][number]), sort_keys=True, ensure_ascii=False) for client in answers}
        if len(set(said.values())) > 1:
            differing += 1
            if differing <= 20:
                print(f"transcripts: the clients differ on helper {number}: {json.dumps(program)[:1000]}")
                for client, text in said.items():
                    print(f"  {client}: {text[:1000]}")
    print(f"transcripts: {len(programs)} real helpers, {differing} answered differently")
    return 1 if differing else 0


def main(arguments: List[str]) -> int:
    if arguments[:1] == ["--helpers"]:
        return compare_helpers(int(arguments[1]) if len(arguments) > 1 else 150)
    if arguments[:1] == ["--write"]:
        return write(int(arguments[1]) if len(arguments) > 1 else 2000)
    if arguments[:1] == ["--compare"]:
        return compare(float(arguments[1]) if len(arguments) > 1 else 60.0)
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

#!/usr/bin/python3
"""Turns a layout report (python -m calvex --report, npx calvex --report)
into a test scenario in one step: sim/scenarios/NAME.scenario reproduces
the reported layout (every name in order with its repeats, readings from
each sensor's observed range, the constant, placeholder and intermittent
ones as observed), NAME.expected is what calvex writes for it, and
clients/shared/reported-layouts.json gains the machine with the answers
the clients give for each snapshot, which both clients' suites then hold.

A report comes from a stranger and its scenario then runs in every
checkout and in CI, so it is untrusted: it is checked against
docs/calvex-report.schema.json before anything is written, every string
from it is written as quoted data, an existing NAME is replaced only with
--replace, and the three files change together or not at all.

Usage: add-layout.py REPORT NAME [--replace] [--scenarios DIR] [--layouts FILE] [--simrun PATH] [--calvex PATH]
  (defaults: sim/scenarios, clients/shared/reported-layouts.json, and the
  build in build/: build/sim/simrun, build/calvex)

Exit status: 0 when added, 2 when the report or NAME is refused (one
sentence on standard error, nothing written), 1 when the tool itself
could not finish (nothing written)."""

import argparse
import json
import os
import re
import stat
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Any, Dict, List, NoReturn, Optional, Sequence, Tuple

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "clients" / "python" / "src"))
sys.path.insert(0, str(ROOT / "tools"))

from calvex._protocol import CalvexError, parse_line  # noqa: E402: from the checkout
from calvex._views import hottest, summary  # noqa: E402
from scenario_file import quoted  # noqa: E402

SCHEMA_PATH = ROOT / "docs" / "calvex-report.schema.json"
NAME_PATTERN = r"[a-z0-9][a-z0-9-]{0,63}"
REFUSED_STATUS = 2
FAILED_STATUS = 1
# A report of the largest machine over the longest window is well under
# this; anything larger is no report.
LONGEST_REPORT_BYTES = 4 << 20
# The scenario holds one line per reading: bounded, whatever the counts
# in the schema would allow together.
MOST_READINGS = 250_000
# calvex runs on the virtual clock here, so this bound is met only by a fault.
CALVEX_SECONDS = 120


class Refused(Exception):
    """The report or NAME breaks a rule: the sentence says which."""

    def __init__(self, sentence: str, subject: Optional[str]) -> None:
        super().__init__(sentence)
        self.subject = subject


def refuse(field: str, rule: str, subject: Optional[str] = None) -> NoReturn:
    """``subject`` is what is refused, when it is not the report."""
    raise Refused(f"{field} {rule}", subject)


# -- reading the report, trusting nothing in it


def _no_constants(word: str) -> NoReturn:
    refuse("the report", f"holds {word}, which is no JSON number")


def _no_repeated_keys(pairs: List[Tuple[str, Any]]) -> Dict[str, Any]:
    found: Dict[str, Any] = {}
    for key, value in pairs:
        if key in found:
            refuse("the report", f"names the key {_shown(key)} twice in one object")
        found[key] = value
    return found


def read_report(path: Path) -> Any:
    """The report's JSON, from a regular file of a bounded size in UTF-8."""
    try:
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY)
    except OSError as error:
        refuse("the report file", f"cannot be opened ({error.strerror})")
    if not stat.S_ISREG(os.fstat(descriptor).st_mode):
        os.close(descriptor)
        refuse("the report file", "must be a regular file")
    with os.fdopen(descriptor, "rb") as file:
        data = file.read(LONGEST_REPORT_BYTES + 1)
    if len(data) > LONGEST_REPORT_BYTES:
        refuse("the report file", f"must be at most {LONGEST_REPORT_BYTES} bytes long")
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        refuse("the report file", f"must be UTF-8 text (byte {error.start} is not)")
    try:
        return json.loads(text, parse_constant=_no_constants, object_pairs_hook=_no_repeated_keys)
    except RecursionError:
        refuse("the report", "is nested too deeply")
    except json.JSONDecodeError as error:
        refuse("the report", f"must be one JSON document (line {error.lineno}, column {error.colno}: {error.msg})")


def _shown(key: Any) -> str:
    """A key or index of the report as an error names it: ASCII, escaped,
    short, so nothing in it reaches the terminal as it was."""
    text = json.dumps(key, ensure_ascii=True)
    return text if len(text) <= 40 else text[:36] + '..."'


def _field(path: Sequence[Any]) -> str:
    if not path:
        return "the report"
    named = ""
    for step in path:
        if isinstance(step, int):
            named += f"[{step}]"
        elif re.fullmatch(r"[A-Za-z][A-Za-z0-9]*", step):
            named += ("." if named else "") + step
        else:
            named += f"[{_shown(step)}]"
    return named


_TYPE_WORDS = {
    "string": "a string", "null": "null", "integer": "an integer", "number": "a number",
    "object": "an object", "array": "an array", "boolean": "true or false"}


def _rule(error: Any) -> str:
    """One rule of the schema, said as a person would."""
    kind, value = error.validator, error.validator_value
    if kind == "type":
        return "must be " + " or ".join(_TYPE_WORDS[each] for each in ([value] if isinstance(value, str) else value))
    if kind == "required":
        missing = [key for key in value if isinstance(error.instance, dict) and key not in error.instance]
        return f"lacks the key {_shown(missing[0] if missing else value[0])}"
    if kind == "additionalProperties":
        return "has a key that a report of this format does not have"
    if kind in ("const", "enum"):
        allowed = [value] if kind == "const" else value
        return "must be " + " or ".join(json.dumps(each) for each in allowed)
    if kind == "pattern":
        return _PATTERN_WORDS.get(value, "does not have the form the schema gives")
    bounds = {
        "minLength": "must be at least {} characters long", "maxLength": "must be at most {} characters long",
        "minimum": "must be at least {}", "maximum": "must be at most {}",
        "exclusiveMinimum": "must be above {}", "exclusiveMaximum": "must be below {}",
        "minItems": "must hold at least {} items", "maxItems": "must hold at most {} items",
        "maxProperties": "must hold at most {} keys",
    }
    if kind == "minLength" and value == 1:
        return "must not be empty"
    if kind in bounds:
        return bounds[kind].format(value)
    if kind == "uniqueItems":
        return "must not hold the same item twice"
    if kind == "propertyNames":
        return "has a key that is not a kind or sensor name the format allows"
    if kind == "oneOf":
        return "must be null or an object of the form the schema gives"
    return f"breaks the schema's rule {kind}"


def _pattern_words(schema: Dict[str, Any]) -> Dict[str, str]:
    definitions = schema["definitions"]
    return {
        definitions["line"]["pattern"]: "must hold no control character and no lone surrogate",
        definitions["sensorName"]["pattern"]: "must hold no NUL character and no lone surrogate",
        definitions["helper"]["properties"]["sha256"]["pattern"]: "must be 64 lowercase hexadecimal digits",
        definitions["helper"]["properties"]["errorCodes"]["items"]["pattern"]: "must be an error code such as NO_HID_EVENT_SYSTEM",
    }


SCHEMA: Dict[str, Any] = json.loads(SCHEMA_PATH.read_text(encoding="utf-8"))
_PATTERN_WORDS = _pattern_words(SCHEMA)


def _deepest(error: Any) -> Any:
    """Within a oneOf, the branch that came furthest names the real fault."""
    while error.validator == "oneOf" and error.context:
        branches = [each for each in error.context if each.validator != "type" or len(error.context) == 1]
        error = max(branches or error.context, key=lambda each: len(each.absolute_path))
        if len(error.absolute_path) == 0:
            break
    return error


def validate(report: Any) -> None:
    """The schema's rules, then the ones it cannot say: each sensor within
    the window, its range in order, and a bounded number of readings."""
    import jsonschema  # Debian's python3-jsonschema; imported late so --help works without it

    errors = sorted(jsonschema.Draft7Validator(SCHEMA).iter_errors(report), key=lambda each: list(map(str, each.absolute_path)))
    if errors:
        error = _deepest(errors[0])
        refuse(_field(list(error.absolute_path)), _rule(error))
    snapshots = report["window"]["snapshots"]
    if not report["sensors"]:
        codes = ", ".join(report["helpers"]["sensors"]["errorCodes"]) or "none"
        refuse("sensors", f"must hold at least one sensor (this report has none: its helper's error codes: {codes})")
    readings = 0
    for index, sensor in enumerate(report["sensors"]):
        if sensor["firstSeen"] + sensor["snapshots"] > snapshots:
            refuse(f"sensors[{index}]", "must lie within the window's snapshots (firstSeen + snapshots)")
        if not sensor["min"] <= sensor["mean"] <= sensor["max"]:
            refuse(f"sensors[{index}]", "must have min <= mean <= max")
        readings += sensor["snapshots"]
    if readings > MOST_READINGS:
        refuse("sensors", f"must hold at most {MOST_READINGS} readings in all")


# -- the three files, made from data only


def _reading(sensor: Dict[str, Any], at: int) -> float:
    """The sensor's reading at its ``at``-th snapshot: its one value when it
    was constant (or seen once), else a step from its least to its most."""
    low, high, count = sensor["min"], sensor["max"], sensor["snapshots"]
    if "constant" in sensor["flags"] or count == 1 or low == high:
        return float(low)
    return round(low + (high - low) * at / (count - 1), 2)


def scenario_text(report: Dict[str, Any], name: str) -> str:
    snapshots = report["window"]["snapshots"]
    machine, client = report["machine"], report["client"]
    lines = [
        "# made by tools/add-layout.py from a layout report; the machine and the client as the report gives them:",
        "# machine: " + " ".join(quoted(machine[field]) for field in ("model", "chip", "macos", "arch")),
        "# client: " + " ".join(quoted(client[field]) for field in ("name", "version")),
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
                lines.append(f"sensor {_reading(sensor, at):.2f} {quoted(sensor['name'])}")
    return "\n".join(lines) + "\n"


def expected_output(scenario: Path, snapshots: int, simrun: Path, calvex: Path) -> str:
    """What calvex writes for the scenario, on the simulated platform's
    virtual clock: no real sleeping, however many snapshots."""
    environment = {"CALVEX_SIM_SCENARIO": str(scenario), "CALVEX_SIM_PPID": f"{snapshots}:1",
                   "CALVEX_SIM_CLOCK": "virtual", "PATH": "/usr/bin:/bin"}
    try:
        done = subprocess.run([str(simrun), str(calvex), "200"], env=environment, capture_output=True, timeout=CALVEX_SECONDS)
    except (OSError, subprocess.TimeoutExpired) as error:
        raise RuntimeError(f"calvex on the scenario could not run: {error}") from None
    if done.returncode != 0:
        said = done.stderr.decode("utf-8", "replace").strip()[:200]
        raise RuntimeError(f"calvex on the scenario ended with status {done.returncode}: {said}")
    return done.stdout.decode("utf-8", "surrogateescape")


def output_lines(output: str) -> List[str]:
    """calvex's lines: ended by a line feed alone. A sensor name may hold
    U+2028 or U+0085, which str.splitlines() would take for line ends."""
    lines = output.split("\n")
    return lines[:-1] if lines[-1] == "" else lines


def answers(expected: str) -> List[Dict[str, Any]]:
    """What every client must answer for each snapshot of the output."""
    found = []
    for line in output_lines(expected):
        snapshot = parse_line(line)
        if isinstance(snapshot, CalvexError):
            raise RuntimeError(f"calvex wrote a line that is no snapshot: {snapshot}")
        top, cpu = hottest(snapshot), hottest(snapshot, "cpu")
        kinds = summary(snapshot)
        found.append({
            "hottest": None if top is None else list(top),
            "cpu": None if cpu is None else list(cpu),
            "counts": {kind: each.count for kind, each in kinds.items()},
            "leftOut": {kind: each.left_out for kind, each in kinds.items() if each.left_out},
        })
    return found


class Staged:
    """Files written under temporary names beside their places, put in
    place together only by commit(); whatever is left is removed."""

    def __init__(self) -> None:
        self.files: List[Tuple[Path, Path]] = []

    def write(self, place: Path, data: bytes) -> Path:
        descriptor, temporary = tempfile.mkstemp(prefix=f".{place.name}.", suffix=".tmp", dir=place.parent)
        self.files.append((Path(temporary), place))
        with os.fdopen(descriptor, "wb") as file:
            file.write(data)
        return Path(temporary)

    def commit(self) -> None:
        for temporary, place in self.files:
            os.replace(temporary, place)
        self.files = []

    def discard(self) -> None:
        for temporary, _ in self.files:
            temporary.unlink(missing_ok=True)


def _replaced(name: str, scenarios: Path, known: Dict[str, Any]) -> List[str]:
    found = [f"{name}.{suffix}" for suffix in ("scenario", "expected") if (scenarios / f"{name}.{suffix}").exists()]
    return found + (["its answers"] if name in known.get("scenarios", {}) else [])


def add(report_path: Path, name: str, replace: bool, scenarios: Path, layouts: Path, simrun: Path, calvex: Path) -> str:
    """Checks the report, writes the three files, and says what it did."""
    if not re.fullmatch(NAME_PATTERN, name):
        refuse("NAME", f"must match {NAME_PATTERN}, like m5-max", subject="the name")
    report = read_report(report_path)
    validate(report)
    known = json.loads(layouts.read_text(encoding="utf-8"))
    replaced = _replaced(name, scenarios, known)
    if replaced and not replace:
        refuse("NAME", f"must be new: {name} is already there ({', '.join(replaced)}); give --replace to replace it", subject=name)
    snapshots = report["window"]["snapshots"]
    staged = Staged()
    try:
        scenario = staged.write(scenarios / f"{name}.scenario", scenario_text(report, name).encode("utf-8"))
        expected = expected_output(scenario, snapshots, simrun, calvex)
        staged.write(scenarios / f"{name}.expected", expected.encode("utf-8", "surrogateescape"))
        known.setdefault("scenarios", {})[name] = answers(expected)
        known.setdefault("machines", {})[name] = report["machine"]
        staged.write(layouts, (json.dumps(known, indent=1, ensure_ascii=False) + "\n").encode("utf-8"))
        staged.commit()
    finally:
        staged.discard()
    note = f"add-layout: {scenarios / name}.scenario: {len(report['sensors'])} sensors, {len(output_lines(expected))} snapshots; answers added to {layouts}"
    return note + (f"; replaced the earlier {name} ({', '.join(replaced)})" if replaced else "")


def _options(arguments: Sequence[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0], allow_abbrev=False)
    parser.add_argument("report", type=Path)
    parser.add_argument("name", help="the scenario's name, e.g. m5-max")
    parser.add_argument("--replace", action="store_true", help="replace a scenario of that name, with its answers")
    parser.add_argument("--scenarios", type=Path, default=ROOT / "sim" / "scenarios")
    parser.add_argument("--layouts", type=Path, default=ROOT / "clients" / "shared" / "reported-layouts.json")
    parser.add_argument("--simrun", type=Path, default=ROOT / "build" / "sim" / "simrun")
    parser.add_argument("--calvex", type=Path, default=ROOT / "build" / "calvex")
    return parser.parse_args(arguments)


def main(arguments: Optional[Sequence[str]] = None) -> int:
    options = _options(sys.argv[1:] if arguments is None else arguments)
    try:
        print(add(options.report, options.name, options.replace, options.scenarios, options.layouts, options.simrun, options.calvex))
    except Refused as refusal:
        print(f"add-layout: {refusal.subject or options.report} is refused: {refusal}.", file=sys.stderr)
        return REFUSED_STATUS
    except (RuntimeError, OSError) as error:
        print(f"add-layout: nothing written: {error}", file=sys.stderr)
        return FAILED_STATUS
    return 0


if __name__ == "__main__":
    sys.exit(main())

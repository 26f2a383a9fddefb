#!/usr/bin/python3
"""Writes the contract every client follows from the data in clients/shared/
into each client's code, so that no client restates a fact by hand:

  protocol.json, command-line.json, -> clients/node/contract.js
  sensor-kinds.json (and VERSION,     clients/python/src/calvex/_contract.py
  for Python's)
  protocol.json                    -> tests/protocol_facts.h (the native tests)
  protocol.json, sensor-kinds.json -> the unions in clients/node/index.d.ts,
                                      and copies in clients/go/shared/ (embedded)
  protocol.json                    -> clients/go/names.go, names_linux.go, names_darwin.go
                                      and codes.go

Usage: shared-code.py           write the files
       shared-code.py --check   exit 1, naming each stale file, when one
                                differs from what the data gives"""

import json
import pprint
import re
import sys
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

ROOT = Path(__file__).resolve().parents[1]
SHARED = ROOT / "clients" / "shared"
MADE = "made by tools/shared-code.py from {}: do not edit"
START = "// <{}: {}>"
END = "// </{}>"


def _data(name: str) -> Dict[str, Any]:
    loaded: Dict[str, Any] = json.loads((SHARED / name).read_text(encoding="utf-8"))
    return {key: value for key, value in loaded.items() if key != "about"}


SOURCES = "clients/shared/protocol.json, command-line.json and sensor-kinds.json"


def node_contract(protocol: Dict[str, Any], command_line: Dict[str, Any], kinds: Dict[str, Any]) -> str:
    def frozen(name: str, value: Any) -> str:
        return f"export const {name} = deepFreeze({json.dumps(value, indent=2, ensure_ascii=False)});\n"

    return (
        f"// The contract every client follows, {MADE.format(SOURCES)}.\n"
        "function deepFreeze(value) {\n"
        "  if (value !== null && typeof value === 'object') for (const each of Object.values(value)) deepFreeze(each);\n"
        "  return Object.freeze(value);\n"
        "}\n\n" + frozen("PROTOCOL", protocol) + "\n" + frozen("COMMAND_LINE", command_line) + "\n" + frozen("KIND_TABLE", kinds)
    )


def python_contract(protocol: Dict[str, Any], command_line: Dict[str, Any], kinds: Dict[str, Any], version: str) -> str:
    def literal(value: Any) -> str:
        return pprint.pformat(value, width=110, sort_dicts=False)

    return (
        "\"\"\"The contract every client follows, " + MADE.format(SOURCES + ", and VERSION") + ".\"\"\"\n\n"
        "from typing import Any, Dict\n\n"
        f"PROTOCOL: Dict[str, Any] = {literal(protocol)}\n\n"
        f"COMMAND_LINE: Dict[str, Any] = {literal(command_line)}\n\n"
        f"KIND_TABLE: Dict[str, Any] = {literal(kinds)}\n\n"
        f"VERSION: str = {version!r}\n"
    )


def _c_string(text: str) -> str:
    return json.dumps(text)  # a JSON string of ASCII is a C string literal too


def native_facts(protocol: Dict[str, Any]) -> str:
    lines = [f"// The helpers' protocol, {MADE.format('clients/shared/protocol.json')}.", "#pragma once", ""]
    for role, helper in protocol["helpers"].items():
        table = helper["errorLines"]
        entries = ", ".join("{" + _c_string(line) + ", " + _c_string(code) + "}" for line, code in table.items())
        lines.append(f"constexpr const char* PROTOCOL_{role.upper()}_ERROR_LINES[][2] = {{{entries}}};")
    levels = ", ".join(_c_string(level) for level in protocol["pressureLevels"])
    lines.append(f"constexpr const char* PROTOCOL_PRESSURE_LEVELS[] = {{{levels}}};")
    lines.append(f"constexpr const char* PROTOCOL_UNKNOWN_PRESSURE = {_c_string(protocol['unknownPressure'])};")
    for name, value in protocol["intervalMs"].items():
        lines.append(f"constexpr long PROTOCOL_{name.upper()}_INTERVAL_MS = {value};")
    return "\n".join(lines) + "\n"


def go_system_names(protocol: Dict[str, Any], system: Optional[str]) -> str:
    """The errno and signal names of the data by the system's numbers: Go
    has no table of either. The names every system has are written once
    (names.go); a system's own signals in names_GOOS.go, since a name the
    system lacks would not build."""

    def entries(names: List[str]) -> str:
        return "".join(f"\t{{syscall.{name}, \"{name}\"}},\n" for name in names)

    head = f"// The errno and signal names every client gives, {MADE.format('clients/shared/protocol.json')}.\n\npackage calvex\n\nimport \"syscall\"\n\n"
    if system is None:
        return (head + "var errnoNamed = []named[syscall.Errno]{\n" + entries(protocol["errnoNames"]) + "}\n\n"
                "var signalNamed = []named[syscall.Signal]{\n" + entries(protocol["signalNames"]["everywhere"]) + "}\n")
    return head + "var signalNamedHere = []named[syscall.Signal]{\n" + entries(protocol["signalNames"][system]) + "}\n"


_GO_WORDS = {"IOKIT": "IOKit", "HID": "HID"}


def go_code_name(code: str) -> str:
    """IOKIT_NOT_AVAILABLE -> CodeIOKitNotAvailable: Go's initialisms kept."""
    return "Code" + "".join(_GO_WORDS.get(part, part.capitalize()) for part in code.split("_"))


def go_codes(protocol: Dict[str, Any]) -> str:
    """The failure codes as Go constants of their own type, each with its meaning."""
    constants = "".join(f"\t// {go_code_name(code)}: {meaning}.\n\t{go_code_name(code)} Code = \"{code}\"\n"
                        for code, meaning in protocol["codes"].items())
    general = [code for code in protocol["codes"]
               if all(code not in helper["errorLines"].values() for helper in protocol["helpers"].values())]

    def codes_of(helper: Dict[str, Any]) -> str:
        return ", ".join(go_code_name(code) for code in [*helper["errorLines"].values(), *general])

    return (
        f"// The failure codes every client shares, {MADE.format('clients/shared/protocol.json')}.\n\n"
        "package calvex\n\n"
        "// The codes an *Error carries.\n"
        "const (\n" + constants + ")\n\n"
        "// The codes a failure of each helper can carry: its error lines' own, then the others.\n"
        f"var (\n\tsensorCodes   = []Code{{{codes_of(protocol['helpers']['sensors'])}}}\n"
        f"\tpressureCodes = []Code{{{codes_of(protocol['helpers']['pressure'])}}}\n)\n"
    )


def _union(name: str, members: List[str]) -> str:
    one_line = f"export type {name} = " + " | ".join(f"'{member}'" for member in members) + ";"
    if len(one_line) <= 110:
        return one_line
    return f"export type {name} =\n" + "\n".join(f"  | '{member}'" for member in members) + ";"


_CODE_MEANINGS = re.compile(r"(  /\*\*\n)((?:   \* - `[A-Z_]+`: [^\n]*\n)+)(   \*/\n  code: CalvexErrorCode;)")


def _code_meanings(text: str, protocol: Dict[str, Any]) -> str:
    """The doc comment of CalvexError.code: each code's meaning, from the data."""
    bullets = "".join(f"   * - `{code}`: {meaning}.\n" for code, meaning in protocol["codes"].items())
    text, count = _CODE_MEANINGS.subn(lambda found: found.group(1) + bullets + found.group(3), text)
    if count != 1:
        raise SystemExit("shared-code: index.d.ts must document CalvexError.code with one bullet per code, exactly once")
    return text


def declarations(text: str, protocol: Dict[str, Any], kinds: Dict[str, Any]) -> str:
    text = _code_meanings(text, protocol)
    unions = {"CalvexErrorCode": list(protocol["codes"]), "SensorKind": list(kinds["kinds"]),
              "PressureName": [*protocol["pressureLevels"], protocol["unknownPressure"]]}
    for name, members in unions.items():
        start, end = START.format(name, MADE.format("the shared tables") + " the type"), END.format(name)
        region = re.compile(re.escape(start) + r"\n(.*?)\n" + re.escape(end), re.S)
        found = region.findall(text)
        if len(found) != 1 or len(re.findall(rf"export type {name} [^;]*;", found[0])) != 1:
            raise SystemExit(f"shared-code: index.d.ts must hold the {name} markers, around its type, exactly once")
        inside = re.sub(rf"export type {name} [^;]*;", lambda _: _union(name, members), found[0])
        text = region.sub(lambda _: f"{start}\n{inside}\n{end}", text)
    return text


def outputs() -> List[Tuple[Path, str]]:
    protocol, command_line, kinds = _data("protocol.json"), _data("command-line.json"), _data("sensor-kinds.json")
    version = (ROOT / "VERSION").read_text(encoding="utf-8").strip()
    typings = ROOT / "clients" / "node" / "index.d.ts"
    # The Go module embeds copies: go:embed reaches no file outside it.
    embedded = [(ROOT / "clients" / "go" / "shared" / name, (SHARED / name).read_text(encoding="utf-8"))
                for name in ("protocol.json", "sensor-kinds.json")]
    return [*embedded,
        (ROOT / "clients" / "node" / "contract.js", node_contract(protocol, command_line, kinds)),
        (ROOT / "clients" / "python" / "src" / "calvex" / "_contract.py", python_contract(protocol, command_line, kinds, version)),
        (ROOT / "tests" / "protocol_facts.h", native_facts(protocol)),
        (ROOT / "clients" / "go" / "names.go", go_system_names(protocol, None)),
        *[(ROOT / "clients" / "go" / f"names_{system}.go", go_system_names(protocol, system)) for system in ("linux", "darwin")],
        (ROOT / "clients" / "go" / "codes.go", go_codes(protocol)),
        (typings, declarations(typings.read_text(encoding="utf-8"), protocol, kinds)),
    ]


def main() -> int:
    check = sys.argv[1:] == ["--check"]
    stale = []
    for path, text in outputs():
        current = path.read_text(encoding="utf-8") if path.exists() else None
        if current == text:
            continue
        if check:
            stale.append(str(path.relative_to(ROOT)))
        else:
            path.write_text(text, encoding="utf-8")
    for path in stale:
        print(f"shared-code: {path} is stale: run tools/shared-code.py", file=sys.stderr)
    return 1 if stale else 0


if __name__ == "__main__":
    sys.exit(main())

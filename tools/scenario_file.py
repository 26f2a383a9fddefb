"""Scenario files as text: the one way a string from outside is written into
one (quoted, every byte that is not printable ASCII as \\xHH, so no string
can begin a line or end one), and a reader of what a scenario holds, which
reverses it. tools/add-layout.py writes with it; its tests read with it."""

from typing import Dict, List, Optional, Tuple

# The header lines that the golden runner acts on (the rest are comments).
RUN_DIRECTIVES = ("args:", "env:", "exit:", "scenario:")


def quoted(text: Optional[str]) -> str:
    """A string as the scenario format writes it: quoted, with the quote and
    the backslash escaped and every byte outside printable ASCII as \\xHH,
    so the file holds the string's UTF-8 bytes exactly; ``none`` for None."""
    if text is None:
        return "none"
    written = ""
    for byte in text.encode("utf-8"):
        if byte in (0x22, 0x5C):
            written += "\\" + chr(byte)
        elif byte < 0x20 or byte >= 0x7F:
            written += f"\\x{byte:02X}"
        else:
            written += chr(byte)
    return '"' + written + '"'


def unquoted(token: str) -> bytes:
    """The bytes a quoted string stands for; ValueError when it is not one."""
    if len(token) < 2 or token[0] != '"' or token[-1] != '"':
        raise ValueError(f"not a quoted string: {token!r}")
    body, found, at = token[1:-1], bytearray(), 0
    while at < len(body):
        if body[at] == '"':
            raise ValueError(f"a bare quote inside {token!r}")
        if body[at] != "\\":
            found.append(ord(body[at]))
            at += 1
        elif body[at + 1:at + 2] in ('"', "\\"):
            found.append(ord(body[at + 1]))
            at += 2
        elif body[at + 1:at + 2] == "x" and len(body[at + 2:at + 4]) == 2:
            found.append(int(body[at + 2:at + 4], 16))
            at += 4
        else:
            raise ValueError(f"a bad escape inside {token!r}")
    return bytes(found)


def quoted_fields(rest: str) -> List[Optional[bytes]]:
    """The quoted strings (and ``none``s) of a header line, in order."""
    fields: List[Optional[bytes]] = []
    at = 0
    while at < len(rest):
        if rest[at] == " ":
            at += 1
        elif rest.startswith("none", at):
            fields.append(None)
            at += 4
        else:
            end = at + 1
            while end < len(rest) and rest[end] != '"':
                end += 2 if rest[end] == "\\" else 1
            fields.append(unquoted(rest[at:end + 1]))
            at = end + 1
    return fields


def read(text: str) -> Tuple[List[str], List[List[Tuple[float, bytes]]]]:
    """A scenario's leading comment lines and its snapshots, each a list of
    (reading, product name bytes): the sensors the simulated platform will
    serve. Only what add-layout writes is understood: ValueError otherwise."""
    header: List[str] = []
    snapshots: List[List[Tuple[float, bytes]]] = []
    for line in text.split("\n")[:-1]:
        if line.startswith("#") and not snapshots:
            header.append(line)
        elif line == "snapshot":
            snapshots.append([])
        elif line.startswith("sensor ") and snapshots:
            _, reading, name = line.split(" ", 2)
            snapshots[-1].append((float(reading), unquoted(name)))
        else:
            raise ValueError(f"a line add-layout does not write: {line!r}")
    return header, snapshots


def run_directives(header: List[str]) -> Dict[str, List[str]]:
    """What the golden runner reads from a header: each run directive's lines."""
    found: Dict[str, List[str]] = {}
    for line in header:
        words = line[1:].split()
        if words and words[0] in RUN_DIRECTIVES:
            found.setdefault(words[0], []).append(" ".join(words[1:]))
    return found

"""How a helper's run goes, as a pure state machine: fed what happened
(output bytes, the end of output, the helper's exit, a stop asked for, a
timer that ran out) and answering with what to do (send a signal, set a
timer, tell that a value came, end the run). No I/O, no clock, no thread:
the driver in _process.py does those. npm's runcore.js is the same
machine, and clients/shared/run-cases.json holds both to it."""

from dataclasses import dataclass
from typing import Callable, Generic, List, Optional, Tuple, TypeVar, Union

from ._contract import PROTOCOL
from ._protocol import LONGEST_LINE_BYTES, CalvexError, Helper, over_long_line

Value = TypeVar("Value")
Parse = Callable[[str], Union[Value, CalvexError]]

# How long a helper gets to end after SIGTERM before SIGKILL, to exit once
# its output has ended, and for its output to end once it has exited (a
# grandchild may hold the pipe for ever).
STOP_GRACE_MS: int = PROTOCOL["stopGraceMs"]
# The last bytes of what the helper wrote on standard error, kept for the
# failure message, and the characters trimmed from its ends (no others).
KEPT_STDERR_BYTES: int = PROTOCOL["keptStderrBytes"]
STDERR_TRIMMED: str = PROTOCOL["stderrTrimmed"]
# How much of an over-long line is decoded for its error.
OVER_LONG_START_BYTES: int = PROTOCOL["overLongStartBytes"]


@dataclass(frozen=True)
class Action:
    """One thing for the driver to do: ``value`` (a value came: wake the
    waiters), ``signal`` (send ``name``), ``timer`` (call timer_fired()
    after ``ms``, replacing any timer set before) or ``end`` (the run is
    over with ``failure``, or cleanly: close the pipes, reap, wake)."""

    kind: str
    name: str = ""
    ms: int = 0
    failure: Optional[CalvexError] = None


def exit_failure(code: Optional[int], signal: Optional[str], stderr_tail: bytes, without_line: bool, role: str) -> CalvexError:
    """HELPER_FAILED saying how the helper ended."""
    how = f"was killed by {signal}" if signal is not None else f"exited with status {code}"
    if without_line:
        how += " without writing a line"
    said = stderr_tail.decode("utf-8", "replace").strip(STDERR_TRIMMED)
    return CalvexError("HELPER_FAILED", f"{role} {how}" + (f"; it said: {said}" if said else ""), signal=signal)


class RunCore(Generic[Value]):
    """One run from start to end. ``once``: the helper writes one line and
    exits; the first value is the result, and a bad exit after it is still
    a failure. Otherwise (a watch) any exit not asked for is a failure.
    Values are parsed as lines complete; the newest waits in take()."""

    def __init__(self, helper: "Helper[Value]", once: bool = False) -> None:
        self._parse = helper.parse
        self._once = once
        self._role = helper.role
        self._pieces: List[bytes] = []  # the start of a line not yet ended
        self._pending_bytes = 0
        self._stderr_tail = b""
        self._newest: Optional[Value] = None
        self.values_seen = 0
        self.stop_asked = False
        self._terminating = False  # signalled after its output ended: not a stop asked for
        self.output_ended = False
        self.exit: Optional[Tuple[Optional[int], Optional[str]]] = None  # (code, signal name) once it has exited
        self.failure: Optional[CalvexError] = None
        self.ended = False

    # What the faces call.

    def take(self) -> Optional[Value]:
        """The newest value not yet taken, or None; older unread ones are gone."""
        newest, self._newest = self._newest, None
        return newest

    def values_waiting(self) -> bool:
        return self._newest is not None

    def stop(self, failure: Optional[CalvexError] = None) -> List[Action]:
        """A stop asked for; a failure given becomes the run's end."""
        if self.ended:
            return []
        if self.failure is None:
            self.failure = failure
        self._newest = None
        if self.stop_asked:
            return []
        self.stop_asked = True
        if self.exit is not None:
            return self._end()
        return [Action("signal", name="SIGTERM"), Action("timer", ms=STOP_GRACE_MS)]

    # What happened to the helper.

    def start_failed(self, failure: CalvexError) -> List[Action]:
        self.failure = failure
        return self._end()

    def output(self, chunk: bytes) -> List[Action]:
        """A chunk of standard output: each line that it completes is parsed;
        a line that grows past the cap ends the run."""
        if self.ended or self.stop_asked:
            return []
        actions: List[Action] = []
        start = 0
        newline = chunk.find(b"\n")
        while newline != -1 and not self.stop_asked:
            line = b"".join([*self._pieces, chunk[start:newline]])
            self._pieces, self._pending_bytes = [], 0
            actions += self._deliver(self._parse(line.decode("utf-8", "replace")))
            start = newline + 1
            newline = chunk.find(b"\n", start)
        if self.stop_asked:
            return actions
        if start < len(chunk):
            self._pieces.append(chunk[start:])
            self._pending_bytes += len(chunk) - start
        if self._pending_bytes > LONGEST_LINE_BYTES:
            begun = b"".join(self._pieces)[:OVER_LONG_START_BYTES].decode("utf-8", "replace")
            self._pieces, self._pending_bytes = [], 0
            actions += self.stop(over_long_line(begun))
        return actions

    def error_output(self, chunk: bytes) -> List[Action]:
        self._stderr_tail = (self._stderr_tail + chunk)[-KEPT_STDERR_BYTES:]
        return []

    def output_end(self) -> List[Action]:
        """Its standard output closed: once it has exited too, the run ends;
        a helper that ended its output by itself gets the grace period to
        exit, so its own status is the one told."""
        if self.ended or self.output_ended:
            return []
        self.output_ended = True
        if self.exit is not None:
            return self._end()
        if self.stop_asked:
            return []
        return [Action("timer", ms=STOP_GRACE_MS)]

    def exited(self, code: Optional[int], signal: Optional[str]) -> List[Action]:
        """It exited (``signal`` the name of the one that ended it). A
        stopped helper's output is dropped at once; one that ended by itself
        gets the grace period for its output to end, so its last line is
        read, but no grandchild that holds the pipe keeps the run going."""
        if self.ended or self.exit is not None:
            return []
        self.exit = (code, signal)
        if self.stop_asked or self.output_ended:
            return self._end()
        return [Action("timer", ms=STOP_GRACE_MS)]

    def timer_fired(self) -> List[Action]:
        if self.ended:
            return []
        if self.exit is not None:
            return self._end()  # its output did not end in time: a grandchild holds it
        if self.stop_asked or self._terminating:
            return [Action("signal", name="SIGKILL")]
        # Its output ended but it did not exit: asked to, and its status told.
        self._terminating = True
        return [Action("signal", name="SIGTERM"), Action("timer", ms=STOP_GRACE_MS)]

    # Inside.

    def _deliver(self, value: "Union[Value, CalvexError]") -> List[Action]:
        if isinstance(value, CalvexError):
            return self.stop(value)
        if self._once and self.values_seen > 0:
            return []
        self.values_seen += 1
        self._newest = value
        return [Action("value")]

    def _end(self) -> List[Action]:
        if self.failure is None:
            self.failure = self._failure_of_exit()
        if self.failure is not None:
            self._newest = None  # the failure is the newest news
        self.ended = True
        return [Action("end", failure=self.failure)]

    def _failure_of_exit(self) -> Optional[CalvexError]:
        """How an exit the client did not ask for ends the run."""
        if self.stop_asked or self.exit is None:
            return None
        code, signal = self.exit
        if self._once:
            if self.values_seen == 0 or code != 0:
                return exit_failure(code, signal, self._stderr_tail, self.values_seen == 0, self._role)
            return None
        # A watched helper never ends by itself while its parent lives.
        return exit_failure(code, signal, self._stderr_tail, False, self._role)

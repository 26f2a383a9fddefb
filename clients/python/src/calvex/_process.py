"""The one place a helper runs: the child process from spawn to reaped, its output split into lines and parsed on a thread of its
own, the newest value kept, and exactly one end (a failure, or none). The
blocking face, the asyncio face, the exporter and ``python -m calvex`` all
run their helpers through HelperRun, so how a run ends is decided here
once."""

import atexit
import os
import selectors
import signal
import subprocess
import threading
import time
from typing import Callable, Generic, Iterator, List, Optional, Sequence, Set, TypeVar, Union

from ._contract import PROTOCOL
from ._protocol import LONGEST_LINE_BYTES, CalvexError, cannot_start, over_long_line

# How long a helper gets to end after SIGTERM before it is killed, and to
# exit after it has closed its output.
STOP_GRACE_SECONDS: float = PROTOCOL["stopGraceMs"] / 1000
# What a helper is called in the messages that say how it failed; the
# exporter names each of its two by its role instead.
DEFAULT_ROLE = "the calvex helper"
# What the helper wrote on standard error, kept for the failure message.
KEPT_STDERR_BYTES = 1024
READ_CHUNK_BYTES = 65536
# How often a reader with nothing to read looks whether its helper has
# exited: a grandchild that inherited the pipe may keep it open for ever.
EXIT_CHECK_SECONDS = 0.5

Value = TypeVar("Value")
Parse = Callable[[str], Union[Value, CalvexError]]


def deadline_after(timeout: Optional[float]) -> Optional[float]:
    """The ``time.monotonic()`` value ``timeout`` seconds from now, or None."""
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or not timeout >= 0:
        raise TypeError(f"timeout must be a number of seconds, not {timeout!r}")
    return time.monotonic() + timeout


def timeout_failure() -> CalvexError:
    return CalvexError("HELPER_FAILED", "the calvex helper did not finish within the timeout and was stopped")


def exit_failure(status: int, stderr_tail: bytes, without_line: bool = False, role: str = DEFAULT_ROLE) -> CalvexError:
    """HELPER_FAILED saying how the helper ended (subprocess's returncode)."""
    name: Optional[str] = None
    if status < 0:
        try:
            name = signal.Signals(-status).name
            how = f"was killed by {name}"
        except ValueError:
            how = f"was killed by signal {-status}"
    else:
        how = f"exited with status {status}"
    if without_line:
        how += " without writing a line"
    said = stderr_tail.decode("utf-8", "replace").strip()
    return CalvexError("HELPER_FAILED", f"{role} {how}" + (f"; it said: {said}" if said else ""), signal=name)


class LineSplitter:
    """Splits a byte stream into lines; a line past the cap is an error."""

    def __init__(self) -> None:
        self._pending = b""

    def feed(self, chunk: bytes) -> List[str]:
        *complete, self._pending = (self._pending + chunk).split(b"\n")
        if len(self._pending) > LONGEST_LINE_BYTES:
            raise over_long_line(self._pending[:400].decode("utf-8", "replace"))
        return [line.decode("utf-8", "replace") for line in complete]


def _output_open(selector: selectors.BaseSelector) -> bool:
    """Whether the helper's standard output or error is still open: each is
    unregistered at its end, and the wake-up pipe is always there."""
    return len(selector.get_map()) > 1


# Runs whose helper may still run: killed and reaped if the interpreter
# exits first (the reader threads are daemons and would just vanish).
_live_runs: "Set[HelperRun[object]]" = set()
_live_runs_lock = threading.Lock()


@atexit.register
def _kill_live_runs() -> None:
    with _live_runs_lock:
        runs = list(_live_runs)
    for run in runs:
        run.kill_now()


class HelperRun(Generic[Value]):
    """One helper from spawn to reaped. Its lines are read and parsed on a
    daemon thread; the newest value is kept (``take()``), older unread ones
    are dropped. The run ends once: with ``failure`` set (an error or bad
    line, a cap, silence, an exit the client did not ask for, a failed
    start) or cleanly (a stop asked for; a ``once`` run whose helper wrote
    its line and exited 0). ``on_change(run)`` is called from the reader
    thread after each value and at the end; it must not block.

    ``once``: the helper writes one line and exits; the first value is the
    result and a bad exit after it is still a failure. ``silence``: this many
    seconds without a line is a failure. ``role`` names the helper in the
    failure messages."""

    def __init__(
        self,
        command: Sequence[str],
        parse: "Parse[Value]",
        *,
        once: bool = False,
        silence: Optional[float] = None,
        on_change: "Optional[Callable[[HelperRun[Value]], None]]" = None,
        role: str = DEFAULT_ROLE,
    ) -> None:
        self.command = list(command)
        self.role = role
        self._parse = parse
        self._once = once
        self._silence = silence
        self._on_change = on_change
        self._changed = threading.Condition()
        self._newest: Optional[Value] = None
        self._values_seen = 0
        self._stop_asked = False
        self.failure: Optional[CalvexError] = None
        self.ended = False
        self.status: Optional[int] = None
        self.stderr_tail = b""
        self._wake_read, self._wake_write = os.pipe()
        try:
            self.process: Optional["subprocess.Popen[bytes]"] = subprocess.Popen(
                self.command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE
            )
        except OSError as error:
            self.process = None
            self._close_wake_pipe()
            self.failure = cannot_start(self.role, self.command[0], error)
            self.ended = True
            return
        with _live_runs_lock:
            _live_runs.add(self)  # type: ignore[arg-type]
        # The thread holds the run, never the face that uses it, so a face
        # nobody holds any more can be collected and stop its run.
        threading.Thread(target=self._read, name="calvex-helper", daemon=True).start()

    # What the faces call.

    def take(self) -> Optional[Value]:
        """The newest value not yet taken, or None."""
        with self._changed:
            newest, self._newest = self._newest, None
            return newest

    def wait(self, deadline: Optional[float] = None) -> bool:
        """Blocks until a value is there to take or the run has ended; False
        when the deadline (a ``time.monotonic()`` value) came first."""
        return self._wait_until(lambda: self._newest is not None or self.ended, deadline)

    def wait_end(self, deadline: Optional[float] = None) -> bool:
        """Blocks until the helper has been reaped; False past the deadline."""
        return self._wait_until(lambda: self.ended, deadline)

    def _wait_until(self, done: Callable[[], bool], deadline: Optional[float]) -> bool:
        with self._changed:
            while not done():
                left = None if deadline is None else deadline - time.monotonic()
                if left is not None and left <= 0:
                    return False
                self._changed.wait(left)
            return True

    def result(self) -> Value:
        """The value of a ``once`` run that has ended, or raises its failure."""
        if self.failure is not None:
            raise self.failure
        value = self.take()
        assert value is not None
        return value

    def stop(self, failure: Optional[CalvexError] = None) -> None:
        """Asks the helper to end (SIGTERM now, SIGKILL after the grace
        period), without waiting; the reader thread reaps it. A failure
        given becomes the run's end. Safe from any thread, any number of
        times."""
        with self._changed:
            if self.ended:
                return
            if failure is not None and self.failure is None:
                self.failure = failure
            self._stop_asked = True
            self._newest = None
            self._send(signal.SIGTERM)
            # Under the lock: the reader closes this pipe only once ended.
            os.write(self._wake_write, b"x")

    def close(self) -> None:
        """stop(), then waits until the helper has been reaped."""
        self.stop()
        self.wait_end()

    def kill_now(self) -> None:
        """SIGKILL and reap at once: for interpreter exit, when no reader
        thread will run again."""
        self._stop_asked = True
        if self.process is not None and self.process.returncode is None:
            self._send(signal.SIGKILL)
            try:
                self.process.wait(STOP_GRACE_SECONDS)
            except (subprocess.TimeoutExpired, OSError):
                pass

    # The reader thread.

    def _read(self) -> None:
        assert self.process is not None
        failure: Optional[CalvexError] = None
        try:
            for line in self._lines():
                value = self._parse(line)
                if isinstance(value, CalvexError):
                    failure = value
                    break
                self._deliver(value)
        except CalvexError as error:
            failure = error
        except OSError as error:  # the pipe itself failed: still an end to deliver
            failure = CalvexError("HELPER_FAILED", f"reading {self.role}'s output failed: {error}")
        status = self._reap(ended_by_itself=failure is None and not self._stop_asked)
        self._finish(failure, status)

    def _deliver(self, value: Value) -> None:
        with self._changed:
            if self._stop_asked or (self._once and self._values_seen > 0):
                return
            self._values_seen += 1
            self._newest = value
            self._changed.notify_all()
        self._notify()

    def _lines(self) -> Iterator[str]:
        """The helper's lines, until its output ends, it exits, or a stop is
        asked for; raises CalvexError for an over-long line or silence."""
        assert self.process is not None and self.process.stdout is not None and self.process.stderr is not None
        splitter = LineSplitter()
        silence = self._silence
        quiet_until = None if silence is None else time.monotonic() + silence
        streams = (self.process.stdout, self.process.stderr)
        for stream in streams:
            os.set_blocking(stream.fileno(), False)
        with selectors.DefaultSelector() as selector:
            for stream in streams:
                selector.register(stream, selectors.EVENT_READ)
            selector.register(self._wake_read, selectors.EVENT_READ)
            while _output_open(selector) and not self._stop_asked:
                wait = EXIT_CHECK_SECONDS if quiet_until is None else min(EXIT_CHECK_SECONDS, quiet_until - time.monotonic())
                ready = selector.select(max(0.0, wait))
                if not ready and self.process.poll() is not None:
                    return  # exited, and whatever still holds the pipe is not the helper
                if not ready and quiet_until is not None and time.monotonic() >= quiet_until:
                    raise CalvexError("HELPER_FAILED", f"{self.role} wrote no line for {silence:g} s and was stopped")
                for key, _ in ready:
                    if key.fileobj == self._wake_read:
                        continue
                    chunk = os.read(key.fd, READ_CHUNK_BYTES)
                    if not chunk:
                        selector.unregister(key.fileobj)
                    elif key.fileobj is self.process.stderr:
                        self.stderr_tail = (self.stderr_tail + chunk)[-KEPT_STDERR_BYTES:]
                    else:
                        for line in splitter.feed(chunk):
                            if silence is not None:
                                quiet_until = time.monotonic() + silence
                            yield line

    def _reap(self, ended_by_itself: bool) -> int:
        """Waits for the helper's exit and returns its status. A helper whose
        output ended by itself is given the grace period to exit before it
        is signalled, so its own status is the one reported."""
        assert self.process is not None
        if ended_by_itself:
            try:
                return self.process.wait(STOP_GRACE_SECONDS)
            except subprocess.TimeoutExpired:
                pass
        self._send(signal.SIGTERM)
        try:
            return self.process.wait(STOP_GRACE_SECONDS)
        except subprocess.TimeoutExpired:
            self._send(signal.SIGKILL)
            return self.process.wait()

    def _finish(self, failure: Optional[CalvexError], status: int) -> None:
        assert self.process is not None
        for stream in (self.process.stdout, self.process.stderr):
            if stream is not None:
                stream.close()
        with self._changed:
            if self.failure is None:
                self.failure = failure or self._failure_of_exit(status)
            self.status = status
            self.ended = True
            if self.failure is not None:
                self._newest = None  # the failure is the newest news
            self._close_wake_pipe()
            self._changed.notify_all()
        with _live_runs_lock:
            _live_runs.discard(self)  # type: ignore[arg-type]
        self._notify()

    def _failure_of_exit(self, status: int) -> Optional[CalvexError]:
        """How an exit the client did not ask for ends the run."""
        if self._stop_asked:
            return None
        if self._once:
            if self._values_seen == 0 or status != 0:
                return exit_failure(status, self.stderr_tail, without_line=self._values_seen == 0, role=self.role)
            return None
        # A watched helper never ends by itself while its parent lives.
        return exit_failure(status, self.stderr_tail, role=self.role)

    def _send(self, signal_number: int) -> None:
        # Never poll() here: that could reap the child behind the reader.
        if self.process is not None and self.process.returncode is None:
            try:
                os.kill(self.process.pid, signal_number)
            except OSError:
                pass

    def _notify(self) -> None:
        if self._on_change is not None:
            self._on_change(self)

    def _close_wake_pipe(self) -> None:
        for descriptor in (self._wake_read, self._wake_write):
            try:
                os.close(descriptor)
            except OSError:
                pass

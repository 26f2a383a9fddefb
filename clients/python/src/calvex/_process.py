"""The one place a helper runs: the child process from spawn to reaped,
driven by the pure run core (_runcore.py), which decides how the run goes
and ends; this module only does what it answers, with the output read on a
thread of its own. The blocking face, the asyncio face and
``python -m calvex`` all run their helpers through HelperRun, so how a run
ends is decided once."""

import atexit
import os
import selectors
import signal
import subprocess
import sys
import threading
import time
from typing import Any, Callable, Dict, Generic, List, Optional, Sequence, Set, TypeVar

from ._contract import PROTOCOL
from ._protocol import CalvexError, Helper, cannot_start, helper_failed
from ._runcore import STOP_GRACE_MS, Action, Parse, RunCore

# How long a helper gets to end after SIGTERM before it is killed (and the
# other graces of the run core).
STOP_GRACE_SECONDS: float = STOP_GRACE_MS / 1000
READ_CHUNK_BYTES = 65536
# How often a reader looks whether its helper has exited: a grandchild that
# inherited the pipe may keep it open for ever. Once the helper's output
# has ended its exit is near: looked for at once, then less and less often
# (a quarter of a millisecond, doubled up to 5 ms), so that a read ends
# as soon as its helper has, and a helper slow to exit costs little.
EXIT_CHECK_SECONDS = 0.5
EXIT_NEAR_FIRST_CHECK_SECONDS = 0.00025
EXIT_NEAR_CHECK_SECONDS = 0.005

Value = TypeVar("Value")
__all__ = ["STOP_GRACE_SECONDS", "HelperRun", "Parse", "Value", "deadline_after", "timeout_failure"]


def deadline_after(timeout: Optional[float]) -> Optional[float]:
    """The ``time.monotonic()`` value ``timeout`` seconds from now, or None."""
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or not timeout >= 0:
        raise TypeError(f"timeout must be a number of seconds, not {timeout!r}")
    return time.monotonic() + timeout


def timeout_failure(helper: "Helper[Any]") -> CalvexError:
    return helper_failed("timedOut", role=helper.role)


# The signal names every client gives, by this system's numbers.
_SIGNAL_NAMES: Dict[int, str] = {}
for _name in [*PROTOCOL["signalNames"]["everywhere"], *PROTOCOL["signalNames"].get(sys.platform, [])]:
    _SIGNAL_NAMES.setdefault(getattr(signal, _name, -1), _name)


def signal_name(number: int) -> str:
    """A signal's name as every client gives it, else ``signal N``."""
    return _SIGNAL_NAMES.get(number, f"signal {number}")


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
    """One helper from spawn to reaped. Its output is read on a daemon
    thread and fed to the run core; the newest value is kept (``take()``),
    older unread ones are dropped. The run ends once: with ``failure`` set
    (an error or bad line, a cap, silence, an exit the client did not ask
    for, a failed start) or cleanly (a stop asked for; a ``once`` run whose
    helper wrote its line and exited 0). ``on_change(run)`` is called after
    each value and at the end; it must not block.

    ``helper`` is which helper it is (its name in the failure messages, the
    parse of its lines). ``once``: the helper writes one line and exits; the
    first value is the result and a bad exit after it is still a failure.
    ``silence``: this many seconds without a line is a failure."""

    def __init__(
        self,
        command: Sequence[str],
        helper: "Helper[Value]",
        *,
        once: bool = False,
        silence: Optional[float] = None,
        on_change: "Optional[Callable[[HelperRun[Value]], None]]" = None,
    ) -> None:
        self.command = list(command)
        self.helper = helper
        self.role = helper.role
        self._core: RunCore[Value] = RunCore(helper, once=once)
        self._silence = silence
        self._on_change = on_change
        self._changed = threading.Condition()
        self._timer_at: Optional[float] = None  # when the core's timer runs out
        self.failure: Optional[CalvexError] = None
        self.ended = False
        self.status: Optional[int] = None
        self._wake_read, self._wake_write = os.pipe()
        try:
            self.process: Optional["subprocess.Popen[bytes]"] = subprocess.Popen(
                self.command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE
            )
        except OSError as error:
            self.process = None
            self._close_wake_pipe()
            self._core.start_failed(cannot_start(self.role, self.command[0], error))
            self.failure = self._core.failure
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
            return self._core.take()

    def wait(self, deadline: Optional[float] = None) -> bool:
        """Blocks until a value is there to take or the run has ended; False
        when the deadline (a ``time.monotonic()`` value) came first."""
        return self._wait_until(lambda: self._core.values_waiting() or self.ended, deadline)

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
            self._do(self._core.stop(failure))
            # Under the lock: the reader closes this pipe only once ended.
            os.write(self._wake_write, b"x")

    def close(self) -> None:
        """stop(), then waits until the helper has been reaped."""
        self.stop()
        self.wait_end()

    def kill_now(self) -> None:
        """SIGKILL and reap at once: for interpreter exit, when no reader
        thread will run again."""
        if self.process is not None and self.process.returncode is None:
            self._send(signal.SIGKILL)
            try:
                self.process.wait(STOP_GRACE_SECONDS)
            except (subprocess.TimeoutExpired, OSError):
                pass

    # What the core answers; called with the lock held.

    def _do(self, actions: List[Action]) -> None:
        for action in actions:
            if action.kind == "signal":
                self._send(signal.SIGKILL if action.name == "SIGKILL" else signal.SIGTERM)
            elif action.kind == "timer":
                self._timer_at = time.monotonic() + action.ms / 1000
            elif action.kind == "value":
                self._changed.notify_all()

    # The reader thread: it alone feeds the helper's events to the core.

    def _read(self) -> None:
        try:
            self._read_to_end()
        except Exception as error:  # a fault of the client's own ends the call, never hangs it
            with self._changed:
                self._core.stop(helper_failed("readFailed", role=self.role, error=repr(error)))
            self._send(signal.SIGKILL)
        self._finish()

    def _read_to_end(self) -> None:
        assert self.process is not None and self.process.stdout is not None and self.process.stderr is not None
        process, output, errors = self.process, self.process.stdout, self.process.stderr
        quiet_until = None if self._silence is None else time.monotonic() + self._silence
        for stream in (output, errors):
            os.set_blocking(stream.fileno(), False)
        with selectors.DefaultSelector() as selector:
            for stream in (output, errors):
                selector.register(stream, selectors.EVENT_READ)
            selector.register(self._wake_read, selectors.EVENT_READ)
            near_check = EXIT_NEAR_FIRST_CHECK_SECONDS
            while not self._core.ended:
                now = time.monotonic()
                check = EXIT_CHECK_SECONDS
                if self._core.output_ended:
                    check, near_check = near_check, min(near_check * 2, EXIT_NEAR_CHECK_SECONDS)
                waits = [check] + [at - now for at in (self._timer_at, quiet_until) if at is not None]
                ready = selector.select(max(0.0, min(waits)))
                for key, _ in ready:
                    if key.fileobj == self._wake_read:
                        os.read(self._wake_read, 64)
                        continue
                    quiet_until = self._feed(selector, key, quiet_until)
                self._look_after(process, quiet_until)

    def _feed(self, selector: selectors.BaseSelector, key: "selectors.SelectorKey", quiet_until: Optional[float]) -> Optional[float]:
        """One chunk of the helper's output or error output into the core."""
        assert self.process is not None
        chunk = self._read_chunk(key.fd)
        with self._changed:
            if key.fileobj is self.process.stderr:
                if not chunk:
                    selector.unregister(key.fileobj)
                self._core.error_output(chunk)
                return quiet_until
            if not chunk:
                selector.unregister(key.fileobj)
                self._do(self._core.output_end())
                return quiet_until
            actions = self._core.output(chunk)
            self._do(actions)
        values = sum(1 for action in actions if action.kind == "value")
        for _ in range(values):
            self._notify()
        return quiet_until if self._silence is None or not values else time.monotonic() + self._silence

    def _read_chunk(self, descriptor: int) -> bytes:
        try:
            return os.read(descriptor, READ_CHUNK_BYTES)
        except OSError as error:  # the pipe itself failed: still an end to deliver
            with self._changed:
                self._do(self._core.stop(helper_failed("readFailed", role=self.role, error=str(error))))
            return b""

    def _look_after(self, process: "subprocess.Popen[bytes]", quiet_until: Optional[float]) -> None:
        """The helper's exit, the core's timer and silence, fed to the core."""
        with self._changed:
            if self._core.exit is None and process.poll() is not None:
                status = process.returncode
                self._do(self._core.exited(None if status < 0 else status, signal_name(-status) if status < 0 else None))
            if self._timer_at is not None and time.monotonic() >= self._timer_at:
                self._timer_at = None
                self._do(self._core.timer_fired())
            if quiet_until is not None and time.monotonic() >= quiet_until:
                self._do(self._core.stop(helper_failed("silent", role=self.role, seconds=f"{self._silence:g}")))

    def _finish(self) -> None:
        assert self.process is not None
        for stream in (self.process.stdout, self.process.stderr):
            if stream is not None:
                stream.close()
        status = self.process.wait()  # it has exited: the core ends only after the exit
        with self._changed:
            self.failure = self._core.failure
            self.status = status
            self.ended = True
            self._close_wake_pipe()
            self._changed.notify_all()
        with _live_runs_lock:
            _live_runs.discard(self)  # type: ignore[arg-type]
        self._notify()

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

"""The blocking face: one snapshot with read_sensors, a stream with
watch_sensors. The helper is always stopped and waited for, and a slow
consumer never builds a backlog."""

import atexit
import threading
import weakref
from types import TracebackType
from typing import Iterator, Optional, Sequence, Type, Union

from ._process import (
    DEFAULT_INTERVAL_MS,
    STOP_GRACE_SECONDS,
    Helper,
    deadline_after,
    helper_command,
    interval_argument,
    once_outcome,
    watch_end,
)
from ._protocol import CalvexError, Snapshot, parse_line


def read_sensors(*, helper: Optional[Sequence[str]] = None, timeout: Optional[float] = None) -> Snapshot:
    """Runs the helper once (``calvex --once``) and returns its snapshot once
    the helper has exited. Past ``timeout`` seconds the helper is stopped and
    CalvexError HELPER_FAILED is raised. Safe to call from any thread."""
    deadline = deadline_after(timeout)
    running = Helper(helper_command(helper, "--once"))
    result: Union[Snapshot, CalvexError, None] = None
    try:
        for line in running.lines(deadline):
            if result is None:
                result = parse_line(line)
                if isinstance(result, CalvexError):
                    raise result
    finally:
        status = running.stop()
    return once_outcome(result, status, running.stderr_tail)


# Watches still running, stopped when the interpreter exits.
_running_watches: "weakref.WeakSet[SensorWatch]" = weakref.WeakSet()


@atexit.register
def _stop_running_watches() -> None:
    for watch in list(_running_watches):
        watch.close()


class SensorWatch:
    """Snapshots from a helper running at an interval: an iterator and a
    context manager. The helper starts with the first snapshot asked for.
    ``close()``, leaving a ``with`` block, breaking out of a ``for`` loop and
    an exception in it each stop the helper and wait for it. A consumer
    slower than the interval gets the newest snapshot; older unread ones
    are dropped. One consumer per watch."""

    def __init__(self, command: Sequence[str]) -> None:
        self._command = list(command)
        self._changed = threading.Condition()
        self._helper: Optional[Helper] = None
        self._newest: Optional[Snapshot] = None
        self._failure: Optional[CalvexError] = None
        self._ended = False  # the helper has exited (or never could start)
        self._closed = False  # close() was called, or the end was delivered
        self._reader: Optional[threading.Thread] = None

    def _start(self) -> None:
        try:
            self._helper = Helper(self._command)
        except CalvexError as error:
            self._failure, self._ended = error, True
            return
        _running_watches.add(self)
        self._reader = threading.Thread(target=self._read, name="calvex-watch", daemon=True)
        self._reader.start()

    def _read(self) -> None:
        assert self._helper is not None
        failure: Optional[CalvexError] = None
        try:
            for line in self._helper.lines():
                parsed = parse_line(line)
                if isinstance(parsed, CalvexError):
                    failure = parsed
                    break
                with self._changed:
                    self._newest = parsed
                    self._changed.notify_all()
        except CalvexError as error:
            failure = error
        except OSError as error:  # the pipe itself failed: still an end to deliver
            failure = CalvexError("HELPER_FAILED", f"reading the calvex helper's output failed: {error}")
        # Read before stopping it here: only a stop asked for is a normal end.
        asked_to_stop = self._helper.stopping
        status = self._helper.stop()
        failure = watch_end(failure, asked_to_stop, status, self._helper.stderr_tail)
        with self._changed:
            if self._failure is None and not self._closed:
                self._failure = failure
            self._ended = True
            self._changed.notify_all()

    def __next__(self) -> Snapshot:
        with self._changed:
            if self._helper is None and not self._ended and not self._closed:
                self._start()
            while self._newest is None and not self._ended and not self._closed:
                self._changed.wait()
            if self._newest is not None:
                newest, self._newest = self._newest, None
                return newest
            failure, self._failure = self._failure, None
            self._closed = True
        if failure is not None:
            self.close()
            raise failure
        raise StopIteration

    def __iter__(self) -> Iterator[Snapshot]:
        # A generator, so that leaving the loop (break, an exception, the end)
        # closes it and with it the watch.
        try:
            while True:
                try:
                    snapshot = next(self)
                except StopIteration:
                    return
                yield snapshot
        finally:
            self.close()

    def close(self) -> None:
        """Stops the helper and waits until it has exited. Idempotent."""
        with self._changed:
            self._closed = True
            self._newest = None
            helper, reader = self._helper, self._reader
            self._changed.notify_all()
        if helper is not None:
            helper.stop()
        if reader is not None and reader is not threading.current_thread():
            # Bounded: a grandchild of the helper may hold its pipe open.
            reader.join(STOP_GRACE_SECONDS)
        _running_watches.discard(self)

    def __enter__(self) -> "SensorWatch":
        return self

    def __exit__(
        self,
        kind: Optional[Type[BaseException]],
        value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        self.close()


def watch_sensors(interval_ms: int = DEFAULT_INTERVAL_MS, *, helper: Optional[Sequence[str]] = None) -> SensorWatch:
    """Runs the helper every ``interval_ms`` milliseconds (raised to 200,
    capped at 4,294,967, as the helper does) and yields its snapshots; see
    SensorWatch. Raises UNSUPPORTED_PLATFORM at once, before any spawn."""
    return SensorWatch(helper_command(helper, interval_argument(interval_ms)))

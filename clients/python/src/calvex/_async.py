"""The asyncio face: read_sensors_async and watch_sensors_async, the same
guarantees as the blocking face, with cancellation as a way to stop."""

import asyncio
import atexit
import os
import signal
import weakref
from types import TracebackType
from typing import Optional, Sequence, Type, Union

from ._process import (
    DEFAULT_INTERVAL_MS,
    STOP_GRACE_SECONDS,
    AsyncHelper,
    deadline_after,
    finish_uncancelled,
    helper_command,
    interval_argument,
    once_outcome,
    watch_end,
)
from ._protocol import CalvexError, Snapshot, parse_line


async def read_sensors_async(*, helper: Optional[Sequence[str]] = None, timeout: Optional[float] = None) -> Snapshot:
    """Runs the helper once (``calvex --once``) and returns its snapshot once
    the helper has exited. Past ``timeout`` seconds, or when the task is
    cancelled, the helper is stopped and waited for before this returns."""
    deadline = deadline_after(timeout)
    running = await AsyncHelper.start(helper_command(helper, "--once"))
    result: Union[Snapshot, CalvexError, None] = None
    try:
        while True:
            line = await running.read_line(deadline)
            if line is None:
                break
            if result is None:
                result = parse_line(line)
                if isinstance(result, CalvexError):
                    raise result
    finally:
        status = await running.stop_and_drain()
    return once_outcome(result, status, running.stderr_tail)


# Watches whose helper still runs: killed and reaped if the interpreter exits
# before they were closed.
_running_watches: "weakref.WeakSet[AsyncSensorWatch]" = weakref.WeakSet()


@atexit.register
def _kill_running_helpers() -> None:
    for watch in list(_running_watches):
        watch._kill_now()


class AsyncSensorWatch:
    """Snapshots from a helper running at an interval: an async iterator and
    an async context manager. The helper starts with the first snapshot asked
    for. ``aclose()``, leaving an ``async with`` block and cancelling the task
    that waits for a snapshot each stop the helper and wait for it. A
    consumer slower than the interval gets the newest snapshot; older unread
    ones are dropped. One consumer per watch."""

    def __init__(self, command: Sequence[str]) -> None:
        self._command = list(command)
        self._helper: Optional[AsyncHelper] = None
        self._reader: Optional["asyncio.Task[None]"] = None
        self._changed: Optional[asyncio.Event] = None
        self._newest: Optional[Snapshot] = None
        self._failure: Optional[CalvexError] = None
        self._ended = False  # the helper has exited (or never could start)
        self._closed = False  # aclose() was called, or the end was delivered

    async def _start(self) -> None:
        self._changed = asyncio.Event()
        try:
            self._helper = await AsyncHelper.start(self._command)
        except CalvexError as error:
            self._failure, self._ended = error, True
            return
        _running_watches.add(self)
        self._reader = asyncio.ensure_future(self._read())

    async def _read(self) -> None:
        assert self._helper is not None and self._changed is not None
        failure: Optional[CalvexError] = None
        try:
            while True:
                line = await self._helper.read_line()
                if line is None:
                    break
                parsed = parse_line(line)
                if isinstance(parsed, CalvexError):
                    failure = parsed
                    break
                self._newest = parsed
                self._changed.set()
        except CalvexError as error:
            failure = error
        except OSError as error:  # the pipe itself failed: still an end to deliver
            failure = CalvexError("HELPER_FAILED", f"reading the calvex helper's output failed: {error}")
        finally:
            # Read before stopping it here: only a stop asked for is a normal end.
            asked_to_stop = self._helper.stopping
            status: Optional[int] = None
            try:
                status = await self._helper.stop_and_drain()
            finally:  # even when this task is cancelled, the end is marked
                _running_watches.discard(self)
                if status is not None:
                    failure = watch_end(failure, asked_to_stop, status, self._helper.stderr_tail)
                if self._failure is None and not self._closed:
                    self._failure = failure
                self._ended = True
                self._changed.set()

    async def __anext__(self) -> Snapshot:
        if self._changed is None and not self._closed:
            await self._start()
        try:
            while self._newest is None and not self._ended and not self._closed:
                assert self._changed is not None
                self._changed.clear()
                await self._changed.wait()
        except asyncio.CancelledError:
            await finish_uncancelled(self.aclose())
            raise
        if self._newest is not None:
            newest, self._newest = self._newest, None
            return newest
        failure, self._failure = self._failure, None
        await self.aclose()
        if failure is not None:
            raise failure
        raise StopAsyncIteration

    def __aiter__(self) -> "AsyncSensorWatch":
        return self

    async def aclose(self) -> None:
        """Stops the helper and waits until it has exited. Idempotent."""
        self._closed = True
        self._newest = None
        if self._helper is not None:
            await self._helper.stop()
        if self._reader is not None:
            # Bounded: a grandchild of the helper may hold its pipe open.
            await finish_uncancelled(asyncio.wait([self._reader], timeout=STOP_GRACE_SECONDS))
            self._reader.cancel()
        if self._changed is not None:
            self._changed.set()

    async def __aenter__(self) -> "AsyncSensorWatch":
        return self

    async def __aexit__(
        self,
        kind: Optional[Type[BaseException]],
        value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        await self.aclose()

    def _kill_now(self) -> None:
        # At interpreter exit no loop runs the stop: kill and reap directly.
        if self._helper is None or self._helper.process.returncode is not None:
            return
        pid = self._helper.process.pid
        try:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
        except OSError:
            pass


def watch_sensors_async(
    interval_ms: int = DEFAULT_INTERVAL_MS, *, helper: Optional[Sequence[str]] = None
) -> AsyncSensorWatch:
    """Runs the helper every ``interval_ms`` milliseconds (raised to 200,
    capped at 4,294,967) and yields its snapshots; see AsyncSensorWatch.
    Raises UNSUPPORTED_PLATFORM at once, before any spawn."""
    return AsyncSensorWatch(helper_command(helper, interval_argument(interval_ms)))


"""The asyncio face: the same runs as the blocking face, over the same
process core, awaited instead of waited for; cancellation is one more way
to stop. read_sensors_async and watch_sensors_async are these for the
sensor helper."""

import asyncio
import time
import weakref
from types import TracebackType
from typing import Any, Awaitable, Callable, Generic, Optional, Sequence, Type, TypeVar

from ._command import DEFAULT_INTERVAL_MS, bundled_pressure_helper_path, helper_command, interval_argument
from ._process import HelperRun, Value, deadline_after, timeout_failure
from ._protocol import PRESSURE_HELPER, SENSOR_HELPER, Helper, Snapshot, ThermalPressure

Result = TypeVar("Result")
# As the blocking face's: an AsyncSensorWatch stays one in ``async with``.
SelfWatch = TypeVar("SelfWatch", bound="AsyncWatch[Any]")


async def finish_uncancelled(step: "Awaitable[Result]") -> Result:
    """Awaits a step to its end even if the awaiting task is cancelled
    meanwhile, then passes the cancellation on: a stop is never cut short."""
    task = asyncio.ensure_future(step)
    cancelled = False
    while not task.done():
        try:
            await asyncio.shield(task)
        except asyncio.CancelledError:
            cancelled = True
    if cancelled:
        raise asyncio.CancelledError
    return task.result()


def _waker(changed: asyncio.Event) -> "Callable[[HelperRun[Value]], None]":
    """A callback for the run's reader thread that sets ``changed`` on the
    loop that owns it. It holds the event, never the face."""
    loop = asyncio.get_running_loop()

    def wake(run: "HelperRun[Value]") -> None:
        try:
            loop.call_soon_threadsafe(changed.set)
        except RuntimeError:
            pass  # the loop has closed; nobody waits any more

    return wake


async def _until_end(run: "HelperRun[Value]", changed: asyncio.Event, deadline: Optional[float] = None) -> None:
    """Waits until the run has ended; past the deadline it is stopped with
    the timeout as its failure, and waited for."""
    while True:
        changed.clear()
        if run.ended:
            return
        if deadline is None:
            await changed.wait()
            continue
        try:
            await asyncio.wait_for(changed.wait(), max(0.0, deadline - time.monotonic()))
        except asyncio.TimeoutError:
            run.stop(timeout_failure(run.helper))
            deadline = None


async def read_once_async(command: Sequence[str], helper: "Helper[Value]", timeout: Optional[float]) -> Value:
    """As the blocking read_once; cancelling it stops the helper and waits
    for it before the cancellation goes on."""
    deadline = deadline_after(timeout)
    changed = asyncio.Event()
    run = HelperRun(command, helper, once=True, on_change=_waker(changed))
    try:
        await _until_end(run, changed, deadline)
    except asyncio.CancelledError:
        run.stop()
        await finish_uncancelled(_until_end(run, changed))
        raise
    return run.result()


class AsyncWatch(Generic[Value]):
    """Values from a helper running at an interval: an async iterator
    (``aiter(watch) is watch``) and an async context manager. The helper
    starts with the first value asked for. ``aclose()``, leaving an ``async
    with`` block, cancelling the task that waits for a value, and the end of
    the values each stop the helper and wait for it. A watch nobody holds
    any more (``break`` out of ``async for`` over a watch made in the loop's
    head) is stopped too and reaped by the core's own thread. A consumer
    slower than the interval gets the newest value; older unread ones are
    dropped. One consumer per watch."""

    def __init__(self, command: Sequence[str], helper: "Helper[Value]") -> None:
        self._command = list(command)
        self._helper = helper
        self._run: Optional[HelperRun[Value]] = None
        self._changed: Optional[asyncio.Event] = None
        self._closed = False

    async def __anext__(self) -> Value:
        if self._closed:
            raise StopAsyncIteration
        if self._run is None or self._changed is None:
            self._changed = asyncio.Event()
            self._run = HelperRun(self._command, self._helper, on_change=_waker(self._changed))
            weakref.finalize(self, self._run.stop)
        run, changed = self._run, self._changed
        try:
            while True:
                changed.clear()
                value = run.take()
                if value is not None:
                    return value
                if run.ended:
                    break
                await changed.wait()
        except asyncio.CancelledError:
            await finish_uncancelled(self.aclose())
            raise
        await self.aclose()
        if run.failure is not None:
            raise run.failure
        raise StopAsyncIteration

    def __aiter__(self: SelfWatch) -> SelfWatch:
        return self

    async def aclose(self) -> None:
        """Stops the helper and waits until it has exited. Idempotent; a
        cancellation that comes meanwhile is passed on once it has."""
        self._closed = True
        if self._run is not None and self._changed is not None:
            self._run.stop()
            await finish_uncancelled(_until_end(self._run, self._changed))

    async def __aenter__(self: SelfWatch) -> SelfWatch:
        return self

    async def __aexit__(
        self,
        kind: Optional[Type[BaseException]],
        value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        await self.aclose()


class AsyncSensorWatch(AsyncWatch[Snapshot]):
    """Snapshots from the sensor helper running at an interval; see AsyncWatch."""

    def __init__(self, command: Sequence[str]) -> None:
        super().__init__(command, SENSOR_HELPER)


class AsyncPressureWatch(AsyncWatch[ThermalPressure]):
    """Thermal pressure levels from the pressure helper; see AsyncWatch."""

    def __init__(self, command: Sequence[str]) -> None:
        super().__init__(command, PRESSURE_HELPER)


async def read_sensors_async(*, helper: Optional[Sequence[str]] = None, timeout: Optional[float] = None) -> Snapshot:
    """Runs the helper once (``calvex --once``) and returns its snapshot once
    the helper has exited. Past ``timeout`` seconds, or when the task is
    cancelled, the helper is stopped and waited for before this returns."""
    return await read_once_async(helper_command(helper, "--once"), SENSOR_HELPER, timeout)


def watch_sensors_async(
    interval_ms: int = DEFAULT_INTERVAL_MS, *, helper: Optional[Sequence[str]] = None
) -> AsyncSensorWatch:
    """Runs the helper every ``interval_ms`` milliseconds (raised to 200,
    capped at 4,294,967) and yields its snapshots; see AsyncWatch. Raises
    UNSUPPORTED_PLATFORM at once, before any spawn."""
    return AsyncSensorWatch(helper_command(helper, interval_argument(interval_ms)))


async def read_thermal_pressure_async(*, helper: Optional[Sequence[str]] = None, timeout: Optional[float] = None) -> ThermalPressure:
    """As read_thermal_pressure, for asyncio; as read_sensors_async."""
    return await read_once_async(helper_command(helper, "--once", bundled_pressure_helper_path), PRESSURE_HELPER, timeout)


def watch_thermal_pressure_async(
    interval_ms: int = DEFAULT_INTERVAL_MS, *, helper: Optional[Sequence[str]] = None
) -> AsyncPressureWatch:
    """As watch_thermal_pressure, for asyncio; see AsyncWatch."""
    command = helper_command(helper, interval_argument(interval_ms), bundled_pressure_helper_path)
    return AsyncPressureWatch(command)

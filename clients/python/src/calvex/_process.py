"""Running the helper: the command to run, the child process itself, its
output split into lines (with a cap on a line that never ends), and a stop
that always waits for it."""

import asyncio
import os
import platform
import selectors
import signal
import subprocess
import sys
import time
from pathlib import Path
from typing import IO, Awaitable, Iterator, List, Optional, Sequence, Tuple, TypeVar, Union

from ._protocol import LONGEST_LINE_BYTES, CalvexError, Snapshot, over_long_line

DEFAULT_INTERVAL_MS = 2000
SHORTEST_INTERVAL_MS = 200
# The most milliseconds the helper's 32-bit microsecond sleep can hold.
LONGEST_INTERVAL_MS = 4294967
# How long a helper gets to end after SIGTERM before it is killed.
STOP_GRACE_SECONDS = 1.0
# What the helper wrote on standard error, kept for the failure message.
KEPT_STDERR_BYTES = 1024
READ_CHUNK_BYTES = 65536

bundled_helper_path = str(Path(__file__).resolve().parent / "bin" / "calvex-macos-arm64")


def interval_argument(interval_ms: int) -> str:
    """The helper's argument for an interval, raised to its floor and capped."""
    if isinstance(interval_ms, bool) or not isinstance(interval_ms, int):
        raise TypeError(f"interval_ms must be an int of milliseconds, not {interval_ms!r}")
    return str(min(max(interval_ms, SHORTEST_INTERVAL_MS), LONGEST_INTERVAL_MS))


def helper_command(helper: Optional[Sequence[str]], argument: str) -> List[str]:
    """``[path, *leading_args, argument]``; raises CalvexError
    UNSUPPORTED_PLATFORM where the bundled helper cannot run."""
    if helper is not None:
        if isinstance(helper, (str, bytes)) or not all(isinstance(word, str) for word in helper) or len(helper) == 0:
            raise TypeError("helper must be a non-empty sequence of str: [path, *leading_args]")
        return [*helper, argument]
    if sys.platform != "darwin" or platform.machine() != "arm64":
        raise CalvexError(
            "UNSUPPORTED_PLATFORM",
            f"calvex runs on macOS on Apple Silicon only, not {sys.platform} {platform.machine()}; "
            "give a helper command (helper=, or --helper) to run another",
        )
    return [bundled_helper_path, argument]


def deadline_after(timeout: Optional[float]) -> Optional[float]:
    """The ``time.monotonic()`` value ``timeout`` seconds from now, or None."""
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or not timeout >= 0:
        raise TypeError(f"timeout must be a number of seconds, not {timeout!r}")
    return time.monotonic() + timeout


def start_failure(command: Sequence[str], error: OSError) -> CalvexError:
    return CalvexError("HELPER_FAILED", f"cannot start the calvex helper {command[0]}: {error}")


def timeout_failure() -> CalvexError:
    return CalvexError("HELPER_FAILED", "the calvex helper did not finish within the timeout and was stopped")


def keep_stderr(tail: bytes, chunk: bytes) -> bytes:
    return (tail + chunk)[-KEPT_STDERR_BYTES:]


def exit_failure(status: int, stderr_tail: bytes, without_line: bool = False) -> CalvexError:
    """HELPER_FAILED saying how the helper ended (subprocess's returncode)."""
    if status < 0:
        try:
            how = f"was killed by {signal.Signals(-status).name}"
        except ValueError:
            how = f"was killed by signal {-status}"
    else:
        how = f"exited with status {status}"
    if without_line:
        how += " without writing a line"
    said = stderr_tail.decode("utf-8", "replace").strip()
    return CalvexError("HELPER_FAILED", f"the calvex helper {how}" + (f"; it said: {said}" if said else ""))


def once_outcome(result: Union[Snapshot, CalvexError, None], status: int, stderr_tail: bytes) -> Snapshot:
    """The snapshot of a ``--once`` run that has ended, or raises how it
    failed: a line followed by a bad exit is a failure too."""
    if result is None or status != 0:
        raise exit_failure(status, stderr_tail, without_line=result is None)
    assert isinstance(result, Snapshot)
    return result


def watch_end(failure: Optional[CalvexError], asked_to_stop: bool, status: int, stderr_tail: bytes) -> Optional[CalvexError]:
    """What a watch delivers once its helper has ended: its failure, or, for
    a helper that ended by itself, HELPER_FAILED (it never ends while its
    parent lives); nothing after a stop that was asked for."""
    if failure is None and not asked_to_stop:
        return exit_failure(status, stderr_tail)
    return failure


class LineSplitter:
    """Splits a byte stream into lines; a line past the cap is an error."""

    def __init__(self) -> None:
        self._pending = b""

    def feed(self, chunk: bytes) -> List[str]:
        *complete, self._pending = (self._pending + chunk).split(b"\n")
        if len(self._pending) > LONGEST_LINE_BYTES:
            raise over_long_line(self._pending[:400].decode("utf-8", "replace"))
        return [line.decode("utf-8", "replace") for line in complete]


class Helper:
    """One running helper. Its output is read with ``lines()``; ``stop()``
    ends it (SIGTERM, then SIGKILL after a grace period) and reaps it."""

    def __init__(self, command: Sequence[str]) -> None:
        self.command = list(command)
        self.stopping = False
        self.stderr_tail = b""
        try:
            self.process = subprocess.Popen(
                self.command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE
            )
        except OSError as error:
            raise start_failure(self.command, error) from None
        assert self.process.stdout is not None and self.process.stderr is not None
        self._streams: Tuple[IO[bytes], IO[bytes]] = (self.process.stdout, self.process.stderr)
        for stream in self._streams:
            os.set_blocking(stream.fileno(), False)

    def lines(self, deadline: Optional[float] = None, silence: Optional[float] = None) -> Iterator[str]:
        """The helper's lines as they come, until its output ends. A line past
        the cap ends the lines with a BAD_OUTPUT error; the deadline (a
        ``time.monotonic()`` value), or ``silence`` seconds without a line,
        with a HELPER_FAILED one. Reading is the one job that closes the
        pipes, so it must be run to its end."""
        try:
            yield from self._read_lines(deadline, silence)
        finally:
            self._close_streams()

    def _read_lines(self, deadline: Optional[float], silence: Optional[float]) -> Iterator[str]:
        splitter = LineSplitter()
        quiet_until = None if silence is None else time.monotonic() + silence
        with selectors.DefaultSelector() as selector:
            for stream in self._streams:
                selector.register(stream, selectors.EVENT_READ)
            while selector.get_map():
                ends = [moment for moment in (deadline, quiet_until) if moment is not None]
                ready = selector.select(max(0.0, min(ends) - time.monotonic()) if ends else None)
                if not ready and deadline is not None and time.monotonic() >= deadline:
                    raise timeout_failure()
                if not ready and quiet_until is not None and time.monotonic() >= quiet_until:
                    raise CalvexError("HELPER_FAILED", f"the calvex helper wrote no line for {silence:g} s and was stopped")
                for key, _ in ready:
                    chunk = os.read(key.fd, READ_CHUNK_BYTES)
                    if not chunk:
                        selector.unregister(key.fileobj)
                    elif key.fileobj is self.process.stderr:
                        self.stderr_tail = keep_stderr(self.stderr_tail, chunk)
                    else:
                        for line in splitter.feed(chunk):
                            if silence is not None:
                                quiet_until = time.monotonic() + silence
                            yield line

    def signal_stop(self) -> None:
        """Asks the helper to end (SIGTERM) without waiting; for other threads."""
        self.stopping = True
        if self.process.returncode is None:
            try:
                self.process.terminate()
            except OSError:
                pass

    def stop(self) -> int:
        """Ends the helper if it still runs, reaps it, returns its status.
        Safe from any thread, any number of times."""
        if self.process.poll() is None:
            self.signal_stop()
            try:
                self.process.wait(STOP_GRACE_SECONDS)
            except subprocess.TimeoutExpired:
                try:
                    self.process.kill()
                except OSError:
                    pass
        return self.process.wait()

    def _close_streams(self) -> None:
        for stream in self._streams:
            stream.close()


Result = TypeVar("Result")


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


class AsyncHelper:
    """One running helper under asyncio: ``start()``, ``read_line()``,
    ``stop()``, as Helper does for threads."""

    def __init__(self, process: "asyncio.subprocess.Process") -> None:
        self.process = process
        self.stopping = False
        self.stderr_tail = b""
        self._splitter = LineSplitter()
        self._lines: List[str] = []
        self._stderr_reader = asyncio.ensure_future(self._read_stderr())

    @classmethod
    async def start(cls, command: Sequence[str]) -> "AsyncHelper":
        try:
            process = await asyncio.create_subprocess_exec(
                *command, stdin=asyncio.subprocess.DEVNULL, stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.PIPE
            )
        except OSError as error:
            raise start_failure(command, error) from None
        return cls(process)

    async def _read_stderr(self) -> None:
        assert self.process.stderr is not None
        while True:
            chunk = await self.process.stderr.read(READ_CHUNK_BYTES)
            if not chunk:
                return
            self.stderr_tail = keep_stderr(self.stderr_tail, chunk)

    async def read_line(self, deadline: Optional[float] = None) -> Optional[str]:
        """The next line, or None once the output has ended."""
        assert self.process.stdout is not None
        while not self._lines:
            read = self.process.stdout.read(READ_CHUNK_BYTES)
            if deadline is None:
                chunk = await read
            else:
                try:
                    chunk = await asyncio.wait_for(read, max(0.0, deadline - time.monotonic()))
                except asyncio.TimeoutError:
                    raise timeout_failure() from None
            if not chunk:
                return None
            self._lines.extend(self._splitter.feed(chunk))
        return self._lines.pop(0)

    def _send(self, signal_number: int) -> None:
        # Not Process.terminate() or kill(): they poll, and so may reap the
        # child behind asyncio's back, which then reports status 255.
        if self.process.returncode is None:
            try:
                os.kill(self.process.pid, signal_number)
            except OSError:
                pass

    def signal_stop(self) -> None:
        self.stopping = True
        self._send(signal.SIGTERM)

    async def _stop(self) -> int:
        if self.process.returncode is None:
            self.signal_stop()
            try:
                await asyncio.wait_for(asyncio.shield(self.process.wait()), STOP_GRACE_SECONDS)
            except asyncio.TimeoutError:
                self._send(signal.SIGKILL)
        status = await self.process.wait()
        # What it said on standard error, for the failure message; bounded,
        # since a grandchild may hold the pipe open.
        await asyncio.wait([self._stderr_reader], timeout=STOP_GRACE_SECONDS)
        self._stderr_reader.cancel()
        return status

    async def stop(self) -> int:
        """Ends the helper if it still runs, reaps it, returns its status;
        finishes even when the awaiting task is cancelled meanwhile."""
        return await finish_uncancelled(self._stop())

    async def _drain(self) -> None:
        assert self.process.stdout is not None
        while await self.process.stdout.read(READ_CHUNK_BYTES):
            pass

    async def stop_and_drain(self) -> int:
        """stop(), then reads what is left of the output, so that the pipes
        close while the loop still runs; for the one task that reads it."""
        status = await self.stop()
        drain = asyncio.ensure_future(self._drain())
        await finish_uncancelled(asyncio.wait([drain], timeout=STOP_GRACE_SECONDS))
        drain.cancel()
        return status

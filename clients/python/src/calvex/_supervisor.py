"""Keeps one helper running for the exporter: starts it through the process
core, keeps its newest value, and after any failure (an error line, a bad
line, an exit, a crash, ten intervals without a line) counts it under its
code and starts a new one after a backoff. One consistent view of it at a
time for readers."""

import threading
import time
from dataclasses import dataclass
from typing import Callable, Dict, Generic, Optional, Sequence

from ._process import DEFAULT_ROLE, STOP_GRACE_SECONDS, HelperRun, Parse, Value
from ._protocol import CalvexError

# The codes each helper's failures are counted under, each from 0.
SENSOR_FAILURE_CODES = ("IOKIT_NOT_AVAILABLE", "NO_HID_EVENT_SYSTEM", "UNSUPPORTED_PLATFORM", "HELPER_FAILED", "BAD_OUTPUT")
PRESSURE_FAILURE_CODES = ("PRESSURE_NOT_AVAILABLE", "NO_PRESSURE_NOTIFICATION", "UNSUPPORTED_PLATFORM", "HELPER_FAILED", "BAD_OUTPUT")
# This many intervals without a line and the helper counts as hung.
SILENT_INTERVALS = 10
# A value older than this many intervals is stale, never served as current.
FRESH_INTERVALS = 3
# The same number as a person reads it, in the log and the help texts.
FRESH_INTERVALS_IN_WORDS = ("no", "one", "two", "three", "four", "five", "six")[FRESH_INTERVALS]


@dataclass(frozen=True)
class Backoff:
    """The wait before the next helper: ``first`` after a failure, doubled
    after each further one up to ``longest``, and back to ``first`` once a
    helper has run ``ran_well`` seconds before failing."""

    first: float = 1.0
    longest: float = 60.0
    ran_well: float = 60.0

    def next(self, previous: Optional[float], ran_for: float) -> float:
        if previous is None or ran_for >= self.ran_well:
            return self.first
        return min(previous * 2, self.longest)


@dataclass(frozen=True)
class SupervisorView(Generic[Value]):
    """What a reader sees at one moment."""

    value: Optional[Value]  # the newest, if any has come
    value_time: float  # when it was read (Unix time), 0 before the first
    fresh: bool  # the newest value is younger than FRESH_INTERVALS intervals (never once stopped)
    starts: int
    failures: Dict[str, int]
    last_failure: Optional[CalvexError]


class HelperSupervisor(Generic[Value]):
    """Runs ``command`` (the helper with its interval argument) on its own
    thread until ``stop()``; ``view()`` may be called from any thread.
    ``woken`` is set after each value and each failure, for a writer that
    waits on either. ``role`` names the helper in its failures."""

    def __init__(
        self,
        command: Sequence[str],
        interval_seconds: float,
        parse: "Parse[Value]",
        backoff: Backoff = Backoff(),
        pause: Optional[Callable[[float], object]] = None,
        failure_codes: Sequence[str] = SENSOR_FAILURE_CODES,
        woken: Optional[threading.Event] = None,
        role: str = DEFAULT_ROLE,
    ) -> None:
        self._command = list(command)
        self.role = role
        self._interval = interval_seconds
        self._parse = parse
        self._backoff = backoff
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        self._pause = pause or self._stopping.wait
        self.woken = woken or threading.Event()
        self._run: Optional[HelperRun[Value]] = None
        self._value: Optional[Value] = None
        self._value_time = 0.0
        self._value_moment = 0.0
        self._starts = 0
        self._failures = {code: 0 for code in failure_codes}
        self._last_failure: Optional[CalvexError] = None
        self._thread = threading.Thread(target=self._supervise, name="calvex-supervisor", daemon=True)

    def start(self) -> None:
        self._thread.start()

    def view(self) -> "SupervisorView[Value]":
        with self._lock:
            fresh = (
                self._value is not None
                and not self._stopping.is_set()
                and time.monotonic() - self._value_moment < FRESH_INTERVALS * self._interval
            )
            return SupervisorView(self._value, self._value_time, fresh, self._starts, dict(self._failures), self._last_failure)

    def stop(self) -> None:
        """Stops the helper (SIGTERM, then SIGKILL after the grace period),
        waits for it, and ends the thread. From then on nothing is fresh."""
        self._stopping.set()
        with self._lock:
            run = self._run
        if run is not None:
            run.close()
        self._thread.join(STOP_GRACE_SECONDS + 1)

    def _supervise(self) -> None:
        wait: Optional[float] = None
        while not self._stopping.is_set():
            started = time.monotonic()
            failure = self._run_one_helper()
            if failure is None:  # stopped
                return
            with self._lock:
                self._failures[failure.code] = self._failures.get(failure.code, 0) + 1
                self._last_failure = failure
            self.woken.set()
            wait = self._backoff.next(wait, time.monotonic() - started)
            self._pause(wait)

    def _run_one_helper(self) -> Optional[CalvexError]:
        """Runs one helper to its end: its failure, or None when stopped."""
        run = HelperRun(
            self._command, self._parse, silence=SILENT_INTERVALS * self._interval, on_change=self._take_value, role=self.role
        )
        with self._lock:
            self._run = run
            self._starts += 1
        if self._stopping.is_set():
            run.stop()
        run.wait_end()
        with self._lock:
            self._run = None
        if self._stopping.is_set():
            return None
        return run.failure

    def _take_value(self, run: "HelperRun[Value]") -> None:
        # Called by the run's reader thread for each value and at the end.
        value = run.take()
        if value is None:
            return
        with self._lock:
            self._value, self._value_time, self._value_moment = value, time.time(), time.monotonic()
        self.woken.set()

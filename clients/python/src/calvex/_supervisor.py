"""Keeps one helper running for the exporter: starts it, reads its
snapshots, and after any failure (an error line, a bad line, an exit, a
crash, ten intervals without a line) counts it under its code and starts a
new one after a backoff. One consistent view of it at a time for readers."""

import threading
import time
from dataclasses import dataclass
from typing import Dict, List, Optional, Sequence

from ._process import STOP_GRACE_SECONDS, HelperRun
from ._protocol import CalvexError, Snapshot, parse_line

FAILURE_CODES = ("IOKIT_NOT_AVAILABLE", "NO_HID_EVENT_SYSTEM", "UNSUPPORTED_PLATFORM", "HELPER_FAILED", "BAD_OUTPUT")
FIRST_BACKOFF_SECONDS = 1.0
LONGEST_BACKOFF_SECONDS = 60.0
# A helper that has run this long without failing resets the backoff.
RAN_WELL_SECONDS = 60.0
# This many intervals without a line and the helper counts as hung.
SILENT_INTERVALS = 10
# A snapshot older than this many intervals is stale, never served as current.
FRESH_INTERVALS = 3


@dataclass(frozen=True)
class SupervisorView:
    """What a reader sees at one moment."""

    snapshot: Optional[Snapshot]  # the newest, if any has come
    snapshot_time: float  # when it was read (Unix time), 0 before the first
    fresh: bool  # the newest snapshot is younger than three intervals
    starts: int
    failures: Dict[str, int]


class HelperSupervisor:
    """Runs ``command`` (the helper with its interval argument) on its own
    thread until ``stop()``; ``view()`` may be called from any thread."""

    def __init__(self, command: Sequence[str], interval_seconds: float) -> None:
        self._command = list(command)
        self._interval = interval_seconds
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        self.new_snapshot = threading.Event()
        self._run: Optional[HelperRun[Snapshot]] = None
        self._snapshot: Optional[Snapshot] = None
        self._snapshot_time = 0.0
        self._snapshot_moment = 0.0
        self._starts = 0
        self._failures = {code: 0 for code in FAILURE_CODES}
        self._thread = threading.Thread(target=self._supervise, name="calvex-supervisor", daemon=True)

    def start(self) -> None:
        self._thread.start()

    def view(self) -> SupervisorView:
        with self._lock:
            fresh = self._snapshot is not None and time.monotonic() - self._snapshot_moment < FRESH_INTERVALS * self._interval
            return SupervisorView(self._snapshot, self._snapshot_time, fresh, self._starts, dict(self._failures))

    def stop(self) -> None:
        """Stops the helper (SIGTERM, then SIGKILL after the grace period),
        waits for it, and ends the thread."""
        self._stopping.set()
        with self._lock:
            run = self._run
        if run is not None:
            run.close()
        self._thread.join(STOP_GRACE_SECONDS + 1)

    def _supervise(self) -> None:
        backoff = FIRST_BACKOFF_SECONDS
        while not self._stopping.is_set():
            started = time.monotonic()
            failure = self._run_one_helper()
            if failure is None:  # stopped
                return
            with self._lock:
                self._failures[failure.code] = self._failures.get(failure.code, 0) + 1
            if time.monotonic() - started >= RAN_WELL_SECONDS:
                backoff = FIRST_BACKOFF_SECONDS
            self._stopping.wait(backoff)
            backoff = min(backoff * 2, LONGEST_BACKOFF_SECONDS)

    def _run_one_helper(self) -> Optional[CalvexError]:
        """Runs one helper to its end: its failure, or None when stopped."""
        run: HelperRun[Snapshot] = HelperRun(
            self._command, parse_line, silence=SILENT_INTERVALS * self._interval, on_change=self._take_snapshot
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

    def _take_snapshot(self, run: "HelperRun[Snapshot]") -> None:
        # Called by the run's reader thread for each snapshot and at the end.
        snapshot = run.take()
        if snapshot is None:
            return
        with self._lock:
            self._snapshot, self._snapshot_time, self._snapshot_moment = snapshot, time.time(), time.monotonic()
        self.new_snapshot.set()


def occurrences(names: Sequence[str]) -> List[int]:
    """For each name, how many times it came before in the list: labels that
    tell repeated names apart."""
    seen: Dict[str, int] = {}
    counts = []
    for name in names:
        counts.append(seen.get(name, 0))
        seen[name] = counts[-1] + 1
    return counts

"""Which helper to run and with what argument: the bundled helpers' paths,
a helper command given instead, and the interval argument, decided before
anything is started. The faces and ``python -m calvex`` both
build their commands here."""

import os
import platform
import sys
from pathlib import Path
from typing import List, Optional, Sequence

from ._contract import PROTOCOL
from ._protocol import CalvexError

DEFAULT_INTERVAL_MS: int = PROTOCOL["intervalMs"]["default"]
SHORTEST_INTERVAL_MS: int = PROTOCOL["intervalMs"]["shortest"]
# The most milliseconds the helper's 32-bit microsecond sleep can hold.
LONGEST_INTERVAL_MS: int = PROTOCOL["intervalMs"]["longest"]
bundled_helper_path: str = str(Path(__file__).resolve().parent / "bin" / "calvex-macos-arm64")
bundled_pressure_helper_path: str = str(Path(__file__).resolve().parent / "bin" / "calvex-pressure-macos-arm64")


def interval_argument(interval_ms: int) -> str:
    """The helper's argument for an interval, raised to its floor and capped.
    A whole number of milliseconds only: a float or a bool is a TypeError."""
    if isinstance(interval_ms, bool) or not isinstance(interval_ms, int):
        raise TypeError(f"interval_ms must be an int of milliseconds, not {interval_ms!r}")
    return str(min(max(interval_ms, SHORTEST_INTERVAL_MS), LONGEST_INTERVAL_MS))


def helper_command(helper: Optional[Sequence[str]], argument: str, bundled: str = bundled_helper_path) -> List[str]:
    """``[path, *leading_args, argument]``; raises CalvexError
    UNSUPPORTED_PLATFORM where the bundled helper cannot run."""
    if helper is not None:
        if isinstance(helper, (str, bytes)) or not all(isinstance(word, str) for word in helper) or len(helper) == 0:
            raise TypeError("helper must be a non-empty sequence of str: [path, *leading_args]")
        if any("\0" in word for word in helper):
            # No program can be given such a word: say so here, before
            # anything is opened, not from deep inside the spawn.
            raise TypeError("a helper word must not contain a NUL character")
        return [*helper, argument]
    if sys.platform != "darwin" or platform.machine() != "arm64":
        raise CalvexError(
            "UNSUPPORTED_PLATFORM",
            f"calvex runs on macOS on Apple Silicon only, not {sys.platform} {platform.machine()}; "
            "give a helper command (helper=, or --helper) to run another",
        )
    return [bundled, argument]


def pressure_command(given: Optional[Sequence[str]], argument: str) -> Optional[List[str]]:
    """The pressure helper to run beside the sensors: the one given, or the
    bundled one where it is installed; None where there is none."""
    if given is not None:
        return helper_command(given, argument)
    if not os.access(bundled_pressure_helper_path, os.X_OK):
        return None
    try:
        return helper_command(None, argument, bundled_pressure_helper_path)
    except CalvexError:  # the bundled helper is for another platform
        return None

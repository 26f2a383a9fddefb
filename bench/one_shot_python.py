"""Times read_sensors: COUNT reads of the helper given as the remaining
words, one line of microseconds per read."""

import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "clients" / "python" / "src"))
from calvex import read_sensors  # noqa: E402: from the checkout

count, helper = int(sys.argv[1]), sys.argv[2:]
for _ in range(count):
    started = time.perf_counter_ns()
    read_sensors(helper=helper)
    print((time.perf_counter_ns() - started) // 1000)

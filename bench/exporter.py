"""calvex-exporter's costs, on the simulated platform's built-in machine
(55 sensors): the median latency of a scrape of /metrics over loopback, and
the exporter's CPU time and resident size over a minute of being scraped
every second at --interval-ms 500, as a Prometheus would.
Usage: /usr/bin/python3 bench/exporter.py BUILD_DIR [SECONDS] [-- EXPORTER COMMAND ...]
  (the exporter: BUILD_DIR/calvex-exporter unless a command is given)"""

import http.client
import os
import re
import signal
import statistics
import subprocess
import sys
import time
from pathlib import Path
from typing import List

arguments = sys.argv[1:]
command: List[str] = []
if "--" in arguments:
    command = arguments[arguments.index("--") + 1 :]
    arguments = arguments[: arguments.index("--")]
build = arguments[0] if arguments else "build"
seconds = int(arguments[1]) if len(arguments) > 1 else 60
command = command or [f"{build}/calvex-exporter"]


def cpu_seconds(pid: int) -> float:
    stat = Path(f"/proc/{pid}/stat").read_text()
    fields = stat[stat.rindex(")") + 2 :].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def resident_kb(pid: int) -> int:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def scrape(port: int) -> float:
    """One scrape on a new connection, as Prometheus makes them: seconds."""
    began = time.perf_counter()
    connection = http.client.HTTPConnection("127.0.0.1", port)
    connection.request("GET", "/metrics")
    body = connection.getresponse().read()
    connection.close()
    assert re.search(rb"^calvex_up 1(\.0)?$", body, re.MULTILINE), body[:200]
    return time.perf_counter() - began


exporter = subprocess.Popen(
    [*command, "--listen", "127.0.0.1:0", "--interval-ms", "500", "--helper", f"{build}/sim/simrun", f"{build}/calvex"],
    stderr=subprocess.PIPE,
)
assert exporter.stderr is not None
port = 0
while not port:
    said = re.search(r"url=http://[^ ]*:(\d+)/metrics", exporter.stderr.readline().decode())
    port = int(said.group(1)) if said else 0
try:
    time.sleep(2)
    started_cpu, started_rss = cpu_seconds(exporter.pid), resident_kb(exporter.pid)
    latencies, largest = [], started_rss
    for second in range(seconds):
        latencies.append(scrape(port))
        largest = max(largest, resident_kb(exporter.pid))
        time.sleep(max(0.0, 1 - latencies[-1]))
    cpu = cpu_seconds(exporter.pid) - started_cpu
    quick = [scrape(port) for _ in range(1000)]
finally:
    exporter.send_signal(signal.SIGTERM)
    exporter.wait(10)
name = Path(command[-1] if command[0].endswith("python3") else command[0]).name
rows = [
    (f"Exporter ({name}): one scrape of /metrics, built-in machine (55 sensors), median of 1000 over loopback", f"{statistics.median(quick) * 1000:.2f} ms"),
    (f"Exporter ({name}): CPU over {seconds} s scraped every second at 500 ms (helper not counted)", f"{cpu:.2f} s ({cpu / seconds * 100:.2f}% of a core)"),
    (f"Exporter ({name}): resident size after 2 s / largest over those {seconds} s", f"{started_rss:,} kB / {largest:,} kB"),
]
for label, figure in rows:
    print(f"| {label} | {figure} |")

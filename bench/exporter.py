"""calvex-exporter's costs, on the simulated platform's built-in machine
(55 sensors): the median latency of a scrape of /metrics over loopback, and
the exporter's CPU time and resident size over 300 snapshots at 200 ms.
Usage: /usr/bin/python3 bench/exporter.py BUILD_DIR [SNAPSHOTS]"""

import http.client
import os
import signal
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
build = sys.argv[1] if len(sys.argv) > 1 else "build"
snapshots = int(sys.argv[2]) if len(sys.argv) > 2 else 300


def cpu_seconds(pid: int) -> float:
    stat = Path(f"/proc/{pid}/stat").read_text()
    fields = stat[stat.rindex(")") + 2 :].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def resident_kb(pid: int) -> int:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


exporter = subprocess.Popen(
    [sys.executable, "-m", "calvex.exporter", "--listen", "127.0.0.1:0", "--interval-ms", "200",
     "--helper", f"{build}/sim/simrun", f"{build}/calvex"],
    stderr=subprocess.PIPE, env={**os.environ, "PYTHONPATH": str(ROOT / "clients" / "python" / "src")},
)
assert exporter.stderr is not None
port = int(exporter.stderr.readline().decode().rsplit(":", 1)[1].split("/")[0])
try:
    time.sleep(1)
    started_cpu, started_rss = cpu_seconds(exporter.pid), resident_kb(exporter.pid)
    time.sleep(snapshots * 0.2)
    cpu, rss = cpu_seconds(exporter.pid) - started_cpu, resident_kb(exporter.pid)
    latencies = []
    for _ in range(1000):
        began = time.perf_counter()
        connection = http.client.HTTPConnection("127.0.0.1", port)
        connection.request("GET", "/metrics")
        body = connection.getresponse().read()
        connection.close()
        latencies.append(time.perf_counter() - began)
        assert b"calvex_up 1.0" in body
finally:
    exporter.send_signal(signal.SIGTERM)
    exporter.wait(10)
rows = [
    ("Exporter: one scrape of /metrics, built-in machine (55 sensors), median of 1000 over loopback", f"{statistics.median(latencies) * 1000:.2f} ms"),
    (f"Exporter: CPU over {snapshots} snapshots at 200 ms, no scrapes: exporter (helper not counted)", f"{cpu:.2f} s"),
    (f"Exporter: resident size after 1 s / after {snapshots} snapshots", f"{started_rss:,} kB / {rss:,} kB"),
]
for label, figure in rows:
    print(f"| {label} | {figure} |")

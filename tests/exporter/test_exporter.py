"""The calvex-exporter binary against the real calvex on the simulated platform: the
exact metrics, checked by promtool and by a real Prometheus server; its
supervision of a helper that is killed, fails or hangs; the text file; and
a server that stays up under load and bad clients. Loopback only; every
test stops what it started."""

import json
import os
import plistlib
import re
import shutil
import socket
import subprocess
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any, Dict, List

import pytest
from conftest import EXPORTER, PLAIN_EXPORTER, ROOT, script, simulated, simulated_pressure
from prometheus_client.parser import text_string_to_metric_families
from exporter_run import PROMETHEUS, PROMTOOL, ExporterRun, PrometheusRun, alive, exporter, message, scenario_file, wait_until

# Names repeat: the occurrence label tells them apart, in list order.
ENTRIES = [("PMU tdie1", 41.37), ("PMU tdie1", 47.5), ("GPU MTR Temp Sensor1", 38.9), ("gas gauge battery", 29.43), ("PMU tcal", 51.0), ("PMU tdie1", -0.5)]
EXPECTED = {
    (("kind", "cpu"), ("occurrence", "0"), ("sensor", "PMU tdie1")): 41.37,
    (("kind", "cpu"), ("occurrence", "1"), ("sensor", "PMU tdie1")): 47.5,
    (("kind", "gpu"), ("occurrence", "0"), ("sensor", "GPU MTR Temp Sensor1")): 38.9,
    (("kind", "battery"), ("occurrence", "0"), ("sensor", "gas gauge battery")): 29.43,
    (("kind", "calibration"), ("occurrence", "0"), ("sensor", "PMU tcal")): 51.0,
    (("kind", "cpu"), ("occurrence", "2"), ("sensor", "PMU tdie1")): -0.5,
}
needs_promtool = pytest.mark.skipif(PROMTOOL is None, reason="promtool is not installed (Debian package prometheus)")


def known_scenario(tmp_path: Path) -> List[str]:
    return simulated(CALVEX_SIM_SCENARIO=scenario_file(tmp_path, ENTRIES))


def promtool(*arguments: str, text: str = "") -> "subprocess.CompletedProcess[str]":
    assert PROMTOOL is not None
    return subprocess.run([PROMTOOL, *arguments], input=text, capture_output=True, text=True, timeout=30)


@needs_promtool
def test_a_scrape_is_the_snapshot_exactly_and_promtool_accepts_it(tmp_path: Path) -> None:
    with ExporterRun(known_scenario(tmp_path)) as run:
        wait_until(5, "calvex_up 1", lambda: run.value("calvex_up") == 1)
        status, text = run.get()
        samples = run.samples(text)
        assert status == 200
        assert samples["calvex_temperature_celsius"] == EXPECTED
        assert samples["calvex_sensors"] == {(): len(ENTRIES)}
        assert samples["calvex_helper_starts_total"] == {(("helper", "sensors"),): 1}
        assert set(samples["calvex_helper_failures_total"].values()) == {0}
        assert abs(samples["calvex_snapshot_timestamp_seconds"][()] - time.time()) < 5
        checked = promtool("check", "metrics", text=text)
        assert checked.returncode == 0, checked.stdout + checked.stderr
        assert [run.get(path)[0] for path in ("/", "/nothing", "/metrics/x")] == [200, 404, 404]
        assert 'href="/metrics"' in run.get("/")[1]


def test_the_exporter_restarts_a_helper_killed_from_outside(tmp_path: Path) -> None:
    with ExporterRun(known_scenario(tmp_path)) as run:
        wait_until(5, "calvex_up 1", lambda: run.value("calvex_up") == 1)
        first = run.helpers()
        os.kill(first[0], 9)
        wait_until(10, "a second helper", lambda: run.value("calvex_helper_starts_total", helper="sensors") == 2)
        wait_until(5, "calvex_up back to 1", lambda: run.value("calvex_up") == 1)
        assert run.value("calvex_helper_failures_total", helper="sensors", code="HELPER_FAILED") == 1
        assert not alive(first[0])


def test_sigterm_stops_even_a_helper_that_ignores_it() -> None:
    line = json.dumps({"sensors": [{"name": "PMU tdie1", "t": 40.25}]}, separators=(",", ":"))
    with ExporterRun(script(f"trap '' TERM; while :; do echo '{line}'; sleep 0.1; done")) as run:
        wait_until(5, "calvex_up 1", lambda: run.value("calvex_up") == 1)
    # Leaving the block sent SIGTERM: the exporter exited 0 and no helper is left.


@pytest.mark.parametrize(
    "arguments, said",
    [
        (["--textfile", "/nonexistent/calvex.prom", "--helper", *simulated()], "cannot write /nonexistent/calvex.prom"),
        ([], "calvex runs on macOS on Apple Silicon only"),
    ],
)
def test_what_cannot_work_ends_at_once_with_one_sentence(arguments: List[str], said: str) -> None:
    done = exporter(*arguments)
    assert done.returncode == 1 and done.stderr.count("\n") == 1 and message(done.stderr).startswith(said), done.stderr
    assert "level=ERROR" in done.stderr


def test_an_address_it_cannot_listen_on_ends_it_with_status_2_before_any_helper_runs(tmp_path: Path) -> None:
    marker = tmp_path / "started"
    helper = ["/bin/sh", "-c", f"touch {marker}; exec sleep 30", "sh"]
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        for address, said in ((f"127.0.0.1:{port}", f"cannot listen on 127.0.0.1:{port}: bind: address already in use"),
                              ("192.0.2.1:9879", "cannot listen on 192.0.2.1:9879")):
            done = exporter("--listen", "127.0.0.1:0", "--listen", address, "--helper", *helper)
            assert done.returncode == 2 and done.stderr.count("\n") == 1 and message(done.stderr).startswith(said), done.stderr
    assert not marker.exists()


def test_it_finds_both_helpers_beside_itself_as_the_release_archive_lays_them_out(tmp_path: Path) -> None:
    folder = tmp_path / "calvex-0.3.0-macos-arm64"
    folder.mkdir()
    shutil.copy(EXPORTER, folder / "calvex-exporter")
    for name, command in (("calvex", simulated()), ("calvex-pressure", simulated_pressure(CALVEX_SIM_PRESSURE="1"))):
        (folder / name).write_text("#!/bin/sh\nexec " + " ".join(command) + ' "$@"\n')
        (folder / name).chmod(0o755)
    with ExporterRun(None, program=str(folder / "calvex-exporter")) as run:
        wait_until(10, "both helpers up", lambda: run.value("calvex_up") == 1 and run.value("calvex_thermal_pressure_level") == 1)
        assert "no thermal pressure helper here" not in "\n".join(run.log)


def test_an_error_line_is_counted_and_retried_with_backoff_not_in_a_loop() -> None:
    started = time.monotonic()
    with ExporterRun(simulated(CALVEX_SIM_FAULT="no-client")) as run:
        failures = lambda: run.value("calvex_helper_failures_total", helper="sensors", code="NO_HID_EVENT_SYSTEM") or 0  # noqa: E731
        wait_until(30, "three failures", lambda: failures() >= 3)
        # Tries at 0, 1, 3 (then 7) seconds: the third failure comes no
        # sooner than 3 s after the start, where a loop would make hundreds.
        took = time.monotonic() - started
        assert took >= 3.0, f"three failures in {took:.2f} s"
        assert run.value("calvex_up") == 0
        assert "calvex_temperature_celsius" not in run.samples()


def test_a_silent_helper_makes_the_readings_stale_then_is_stopped() -> None:
    line = json.dumps({"sensors": [{"name": "PMU tdie1", "t": 40.25}]}, separators=(",", ":"))
    with ExporterRun(script(f"echo '{line}'; exec sleep 600")) as run:
        wait_until(5, "calvex_up 1", lambda: run.value("calvex_up") == 1)
        # Three intervals (0.6 s) after the line: stale, so no temperature.
        wait_until(5, "calvex_up 0", lambda: run.value("calvex_up") == 0)
        assert "calvex_temperature_celsius" not in run.samples()
        assert run.value("calvex_sensors") == 1
        # Ten intervals (2 s) without a line: the helper is stopped and counted.
        wait_until(10, "a hung helper counted", lambda: run.value("calvex_helper_failures_total", helper="sensors", code="HELPER_FAILED") == 1)
        assert not any(alive(pid) for pid in run.helpers_seen[:1])


@needs_promtool
def test_the_text_file_is_replaced_atomically(tmp_path: Path) -> None:
    path = tmp_path / "calvex.prom"
    reads: List[str] = []
    with ExporterRun(known_scenario(tmp_path), "--textfile", str(path)):
        wait_until(5, "the text file", path.exists)
        ends = time.monotonic() + 3
        while time.monotonic() < ends:
            reads.append(path.read_text())
        mode = path.stat().st_mode & 0o777
    broken = [text for text in reads if not text.endswith("\n") or "calvex_helper_failures_total{" not in text]
    assert broken == [] and len(reads) > 100
    assert mode == 0o644
    assert "process_" not in reads[-1]  # would clash with the host exporter's own
    checked = promtool("check", "metrics", text=reads[-1])
    assert checked.returncode == 0, checked.stdout + checked.stderr
    assert sorted(entry.name for entry in tmp_path.iterdir()) == ["calvex.prom", "exporter.scenario"], "temporary files left"


def test_the_text_file_shows_a_silent_helper_as_down(tmp_path: Path) -> None:
    path = tmp_path / "calvex.prom"
    line = json.dumps({"sensors": [{"name": "PMU tdie1", "t": 40.25}]}, separators=(",", ":"))
    with ExporterRun(script(f"echo '{line}'; exec sleep 600"), "--textfile", str(path)):
        wait_until(5, "calvex_up 1 in the file", lambda: path.exists() and "calvex_up 1" in path.read_text().splitlines())
        # No snapshot comes, yet the file is rewritten each interval.
        wait_until(5, "calvex_up 0 in the file", lambda: "calvex_up 0" in path.read_text().splitlines())
        assert "calvex_temperature_celsius{" not in path.read_text()


def _raw(port: int, data: bytes) -> bytes:
    """Sends bytes as they are; what came back (the server may answer and
    close before it has read them all)."""
    chunks = []
    with socket.create_connection(("127.0.0.1", port), timeout=15) as connection:
        try:
            connection.sendall(data)
            connection.shutdown(socket.SHUT_WR)
            while True:
                chunk = connection.recv(65536)
                if not chunk:
                    break
                chunks.append(chunk)
        except OSError:
            pass
    return b"".join(chunks)


def _resident_kb(pid: int) -> int:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    raise AssertionError("no VmRSS")


def test_load_and_bad_clients_do_not_stop_the_others(tmp_path: Path) -> None:
    with ExporterRun(simulated()) as run:
        wait_until(5, "calvex_up 1", lambda: run.value("calvex_up") == 1)

        def scrape(_: int) -> int:
            # Whole: the first family and the last (sorted by name) both
            # there. Fresh or not is another test's: under this load a
            # snapshot may go stale, and the page says so.
            status, text = run.get()
            whole = "\ncalvex_up " in text and "\nprocess_start_time_seconds " in text and text.endswith("\n")
            return status if whole else -1

        with ThreadPoolExecutor(50) as pool:
            for _ in range(20):
                assert list(pool.map(scrape, range(50))) == [200] * 50

        stalled = socket.create_connection(("127.0.0.1", run.port))
        stalled.sendall(b"GET /metrics HTTP/1.1\r\nHost:")  # half a request, then nothing
        answers = {
            "garbage": _raw(run.port, os.urandom(4096)),
            # Exactly what the server reads of a request's head before it
            # answers 431 (its 16 KiB): more, left unread, could turn its
            # close into a reset.
            "over-long request line": _raw(run.port, b"GET /" + b"a" * (16384 - 5)),
            "binary zeros": _raw(run.port, b"\0" * 100),
        }
        assert run.get()[0] == 200
        # Answered while the stalled client still holds its connection (its
        # deadline has not cut it): one slow client holds up nobody.
        stalled.setblocking(False)
        with pytest.raises(BlockingIOError):
            stalled.recv(1)
        stalled.close()
        assert [answer[:12] for answer in answers.values()] != [b""] * 3
        assert b" 431 " in answers["over-long request line"][:20]


def test_a_request_head_is_taken_up_to_16_kib_and_no_further() -> None:
    def head(size: int) -> bytes:
        start = b"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Padding: "
        return start + b"a" * (size - len(start) - 4) + b"\r\n\r\n"

    with ExporterRun(simulated()) as run:
        wait_until(5, "calvex_up 1", lambda: run.value("calvex_up") == 1)
        assert _raw(run.port, head(15 * 1024))[:12] == b"HTTP/1.1 200"
        # Go reads 4 KiB past its own limit: 20,400 bytes were taken before.
        assert _raw(run.port, head(16 * 1024 + 1))[:12] == b"HTTP/1.1 431"


def test_resident_size_stays_flat_over_many_scrapes() -> None:
    # The plain build: the race detector's own memory is not the exporter's.
    with ExporterRun(simulated(), program=PLAIN_EXPORTER) as run:
        wait_until(5, "calvex_up 1", lambda: run.value("calvex_up") == 1)
        with ThreadPoolExecutor(4) as pool:
            list(pool.map(lambda _: run.get(), range(100)))
            after_100 = _resident_kb(run.process.pid)
            list(pool.map(lambda _: run.get(), range(9900)))
            after_10000 = _resident_kb(run.process.pid)
    assert after_10000 - after_100 < 4096, f"{after_100} kB after 100 scrapes, {after_10000} kB after 10,000"


@pytest.mark.skipif(PROMETHEUS is None, reason="prometheus is not installed (Debian package prometheus)")
def test_a_real_prometheus_server_scrapes_the_exact_readings(tmp_path: Path) -> None:
    with ExporterRun(known_scenario(tmp_path)) as run:
        with PrometheusRun(tmp_path, [f"127.0.0.1:{run.port}"]) as server:
            wait_until(30, "Prometheus has calvex_up 1", lambda: [r["value"][1] for r in server.query("calvex_up")] == ["1"])
            wait_until(10, "Prometheus has every reading", lambda: len(server.query("calvex_temperature_celsius")) == len(ENTRIES))
            stored = {
                tuple(sorted((key, value) for key, value in result["metric"].items() if key in ("sensor", "kind", "occurrence"))): float(result["value"][1])
                for result in server.query("calvex_temperature_celsius")
            }
            assert stored == EXPECTED
            assert {result["metric"]["job"] for result in server.query("calvex_temperature_celsius")} == {"calvex"}


def test_the_shipped_service_and_monitoring_files() -> None:
    folder = ROOT / "docs" / "exporter"
    service = plistlib.loads((folder / "com.calvex.exporter.plist").read_bytes())
    assert service["ProgramArguments"][0].endswith("calvex-exporter")
    assert service["KeepAlive"] is True and service["RunAtLoad"] is True
    if PROMTOOL is not None:
        for arguments in (["check", "rules", str(folder / "calvex-alerts.yml")], ["check", "config", str(folder / "prometheus.yml")]):
            checked = promtool(*arguments)
            assert checked.returncode == 0, checked.stdout + checked.stderr



def documented_metrics(text: str) -> Dict[str, Any]:
    """The table of docs/exporter/metrics.md: name -> (type, labels, help)."""
    rows = re.findall(r"^\| `(\w+)` \| (\w+) \|([^|]*)\| (.+) \|$", text, re.MULTILINE)
    return {name: (kind, sorted(re.findall(r"`(\w+)`", labels)), help_text) for name, kind, labels, help_text in rows}


def test_a_scrape_serves_exactly_the_documented_metrics() -> None:
    documented = documented_metrics((ROOT / "docs" / "exporter" / "metrics.md").read_text(encoding="utf-8"))
    assert len(documented) == 10
    with ExporterRun(simulated(), "--pressure-helper", *simulated_pressure()) as run:
        wait_until(10, "both helpers up", lambda: run.value("calvex_up") == 1 and run.value("calvex_thermal_pressure_up") == 1)
        _, text = run.get()
    served = {}
    for family in text_string_to_metric_families(text):
        name = family.name + ("_total" if family.type == "counter" else "")
        served[name] = (family.type, sorted({label for sample in family.samples for label in sample.labels}), family.documentation)
    ours = {name: each for name, each in served.items() if name.startswith("calvex_")}
    assert ours == documented
    # The guard bites: a list that has lost a label or a family fails.
    text = (ROOT / "docs" / "exporter" / "metrics.md").read_text(encoding="utf-8")
    for cut in (r"`sensor`, ", r"^\| `calvex_sensors` .*\n"):
        assert documented_metrics(re.sub(cut, "", text, count=1, flags=re.MULTILINE)) != ours, cut
    # Anything else is the client library's own process and Go runtime metrics.
    others = served.keys() - ours.keys()
    assert all(name.startswith(("process_", "go_")) for name in others) and "process_resident_memory_bytes" in others, sorted(served)


"""calvex-exporter as operators run it: what the text file says after the
exporter is gone (read by Debian's real node_exporter), how fast it stops
at any interval, slow clients that must not hold the door, the log of a
failing helper, the fleet files agreeing, and the small things of its
command line. Loopback only; every test stops what it started."""

import http.client
import json
import re
import shutil
import socket
import subprocess
import sys
import threading
import time
import urllib.request
from pathlib import Path
from typing import Dict, Iterator, List

import pytest
from conftest import PACKAGE, ROOT, TIME_SCALE, script, simulated, simulated_pressure
from exporter_run import PROMTOOL, ExporterRun, scenario_file, wait_until
from prometheus_client.parser import text_string_to_metric_families

from calvex._http import REQUEST_SECONDS
from calvex._textfile import write_textfile
from calvex._protocol import parse_line
from calvex._supervisor import Backoff, HelperSupervisor
from calvex.exporter import SENSOR_ROLE, Printer, StateLog

NODE_EXPORTER = shutil.which("prometheus-node-exporter")
LONGEST_INTERVAL_MS = 4294967
LINE = json.dumps({"sensors": [{"name": "PMU tdie1", "t": 40.25}]}, separators=(",", ":"))

# How long a stop may take in a test: it takes about a second; a stop that
# waits for the interval takes over an hour.
STOP_DEADLINE_SECONDS = 10


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port: int = probe.getsockname()[1]
        return port


def samples(text: str) -> Dict[str, Dict[str, float]]:
    """name -> the sample's labels as text -> value."""
    found: Dict[str, Dict[str, float]] = {}
    for family in text_string_to_metric_families(text):
        for sample in family.samples:
            found.setdefault(sample.name, {})[json.dumps(sample.labels, sort_keys=True)] = sample.value
    return found


@pytest.fixture
def node_exporter(tmp_path: Path) -> Iterator[str]:
    """Debian's node_exporter with only the textfile collector, reading
    tmp_path/textfiles; yields its /metrics URL."""
    if NODE_EXPORTER is None:
        pytest.skip("node_exporter is not installed (Debian package prometheus-node-exporter)")
    folder = tmp_path / "textfiles"
    folder.mkdir()
    port = free_port()
    server = subprocess.Popen(
        [NODE_EXPORTER, "--collector.disable-defaults", "--collector.textfile", f"--collector.textfile.directory={folder}",
         f"--web.listen-address=127.0.0.1:{port}"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
    )
    url = f"http://127.0.0.1:{port}/metrics"

    def answers() -> bool:
        try:
            with urllib.request.urlopen(url, timeout=2):
                return True
        except OSError:
            return False

    try:
        wait_until(20, "node_exporter answers", answers)
        yield url
    finally:
        server.terminate()
        server.wait(20)


def scrape(url: str) -> Dict[str, Dict[str, float]]:
    with urllib.request.urlopen(url, timeout=5 * TIME_SCALE) as answer:
        return samples(answer.read().decode())


def test_node_exporter_serves_no_stale_reading_after_sigterm_and_the_age_after_sigkill(tmp_path: Path, node_exporter: str) -> None:
    path = tmp_path / "textfiles" / "calvex.prom"
    helper = simulated(CALVEX_SIM_SCENARIO=scenario_file(tmp_path, [("PMU tdie1", 41.5)]))
    run = ExporterRun(helper, "--textfile", str(path))
    wait_until(10, "calvex_up 1 through node_exporter", lambda: scrape(node_exporter).get("calvex_up") == {"{}": 1.0})
    assert "calvex_temperature_celsius" in scrape(node_exporter)
    run.stop()
    after_sigterm = scrape(node_exporter)
    assert after_sigterm["calvex_up"] == {"{}": 0.0}
    assert "calvex_temperature_celsius" not in after_sigterm

    # SIGKILL: the exporter cannot say anything; the file's age must.
    run = ExporterRun(helper, "--textfile", str(path))
    wait_until(10, "calvex_up 1 again", lambda: scrape(node_exporter).get("calvex_up") == {"{}": 1.0})
    run.kill()
    after_sigkill = scrape(node_exporter)
    assert after_sigkill["calvex_up"] == {"{}": 1.0}, "the file left behind claims to be current"
    [(labels, mtime)] = [(json.loads(labels), value) for labels, value in after_sigkill["node_textfile_mtime_seconds"].items()]
    # The shipped alert matches the label node_exporter gives it, and its age.
    alerts = (ROOT / "docs" / "exporter" / "calvex-alerts.yml").read_text()
    pattern = re.search(r'node_textfile_mtime_seconds\{file=~"([^"]+)"\}', alerts)
    assert pattern is not None and re.fullmatch(pattern.group(1).replace("\\\\", "\\"), labels["file"]), labels
    assert abs(mtime - path.stat().st_mtime) < 1


@pytest.mark.parametrize("mode", ["http", "textfile"])
def test_sigterm_at_the_longest_interval_ends_within_a_second(tmp_path: Path, mode: str) -> None:
    options = ["--textfile", str(tmp_path / "calvex.prom")] if mode == "textfile" else []
    run = ExporterRun(simulated(), *options, interval_ms=LONGEST_INTERVAL_MS)
    if mode == "textfile":
        wait_until(10, "the file", lambda: "calvex_up 1.0" in (tmp_path / "calvex.prom").read_text() if (tmp_path / "calvex.prom").exists() else False)
    else:
        wait_until(10, "calvex_up 1", lambda: run.value("calvex_up") == 1)
    wait_until(5, "its helper", lambda: bool(run.helpers()))
    took = run.stop()  # also checks status 0 and that the helper was reaped
    # Ends within a second, where waiting out the interval would take 71
    # minutes: a generous bound keeps a loaded machine from failing it.
    assert took < STOP_DEADLINE_SECONDS * TIME_SCALE, f"{took:.2f} s"
    # A clean stop says, in one line, what became of what it served.
    said = f"stopped; {tmp_path / 'calvex.prom'} now says calvex_up 0, with no temperatures" if mode == "textfile" else "stopped serving http://"
    run.wait_for_log(5, said)


def _trickle(connections: List[socket.socket], seconds: float, every: float) -> None:
    """Sends one byte of a request on each connection every ``every`` s."""
    request = b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n"
    ends = time.monotonic() + seconds
    sent = 0
    while time.monotonic() < ends:
        for connection in connections:
            try:
                connection.send(request[sent % len(request) : sent % len(request) + 1])
            except OSError:
                pass
        sent += 1
        time.sleep(every)


def test_slow_clients_neither_hold_a_slot_for_ever_nor_shut_out_a_scrape() -> None:
    with ExporterRun(simulated()) as run:
        wait_until(5, "calvex_up 1", lambda: run.value("calvex_up") == 1)
        # One client trickling a byte a second is cut at its deadline.
        lone = socket.create_connection(("127.0.0.1", run.port))
        lone.settimeout(REQUEST_SECONDS * 3 * TIME_SCALE)
        started = time.monotonic()
        feeder = threading.Thread(target=_trickle, args=([lone], REQUEST_SECONDS * 3, 1.0), daemon=True)
        feeder.start()
        try:
            assert lone.recv(1) == b"", "the server answered or kept a half-sent request"
        except ConnectionResetError:
            pass  # cut with bytes unread: a reset is a cut too
        cut_after = time.monotonic() - started
        assert REQUEST_SECONDS - 0.5 <= cut_after <= REQUEST_SECONDS + 2 * TIME_SCALE, cut_after
        lone.close()

        # More trickling clients than there are slots: scrapes still answered.
        crowd = [socket.create_connection(("127.0.0.1", run.port)) for _ in range(140)]
        feeder = threading.Thread(target=_trickle, args=(crowd, 8, 1.0), daemon=True)
        feeder.start()
        slowest = 0.0
        ends = time.monotonic() + 8
        while time.monotonic() < ends:
            asked = time.monotonic()
            status, text = run.get()
            slowest = max(slowest, time.monotonic() - asked)
            assert status == 200 and "calvex_up 1.0" in text
            time.sleep(0.25)
        feeder.join()
        for connection in crowd:
            connection.close()
        assert slowest < 2 * TIME_SCALE, f"a scrape took {slowest:.2f} s among slow clients"


def test_posts_are_refused_and_a_name_filter_still_gets_the_whole_page() -> None:
    with ExporterRun(simulated()) as run:
        wait_until(5, "calvex_up 1", lambda: run.value("calvex_up") == 1)
        connection = http.client.HTTPConnection("127.0.0.1", run.port, timeout=10)
        try:
            connection.request("POST", "/metrics", body=b"x")
            answer = connection.getresponse()
            assert (answer.status, answer.getheader("Allow")) == (405, "GET, HEAD")
        finally:
            connection.close()
        status, text = run.get("/metrics?name[]=nothing_of_ours")
        assert status == 200 and "calvex_temperature_celsius{" in text and "calvex_up 1.0" in text


@pytest.mark.parametrize(
    "helper, said",
    [
        (["/nonexistent/calvex"], "the sensor helper failed (HELPER_FAILED): cannot start the sensor helper /nonexistent/calvex"),
        (script("echo garbage; exec sleep 30"), "the sensor helper failed (BAD_OUTPUT): calvex wrote a line that is not JSON: garbage"),
        (simulated(CALVEX_SIM_FAULT="no-client"), "the sensor helper failed (NO_HID_EVENT_SYSTEM): calvex: no HID event system"),
        (script(f"echo '{LINE}'; kill -KILL $$"), "the sensor helper failed (HELPER_FAILED): the sensor helper was killed by SIGKILL"),
        (script(f"echo '{LINE}'; exec sleep 600"), "readings went stale"),
    ],
)
def test_each_helper_fault_is_one_line_in_the_log(helper: List[str], said: str) -> None:
    with ExporterRun(helper) as run:
        run.wait_for_log(10, said)


def test_the_log_says_when_the_helper_is_back_and_textfile_mode_says_where_it_writes(tmp_path: Path) -> None:
    counter = tmp_path / "starts"
    # Fails at once the first time, then runs well.
    flaky = script(f"echo x >> {counter}; [ $(wc -l < {counter}) -gt 1 ] || exit 7; while :; do echo '{LINE}'; sleep 0.2; done")
    with ExporterRun(flaky, "--textfile", str(tmp_path / "calvex.prom")) as run:
        run.wait_for_log(10, f"writing {tmp_path / 'calvex.prom'} after every snapshot (interval 200 ms)")
        run.wait_for_log(10, "the sensor helper failed (HELPER_FAILED): the sensor helper exited with status 7")
        run.wait_for_log(10, "the sensor helper is back")


def test_a_helper_failing_in_a_loop_makes_one_log_line_not_one_a_retry() -> None:
    # In-process, with the backoff made tiny: a minute of retries in a second.
    lines: List[str] = []

    class Lines:
        def write(self, text: str) -> None:
            lines.append(text)

        def flush(self) -> None:
            pass

    log = StateLog(Printer(Lines()), SENSOR_ROLE)  # type: ignore[arg-type]
    supervisor = HelperSupervisor(
        ["/bin/false"], 0.2, parse_line, Backoff(first=0.005, longest=0.02, ran_well=60), role=SENSOR_ROLE
    )
    supervisor.start()
    try:
        wait_until(20, "60 failures", lambda: (log.look(supervisor.view()) or True) and supervisor.view().failures["HELPER_FAILED"] >= 60)
    finally:
        supervisor.stop()
    assert lines == ["calvex-exporter: the sensor helper failed (HELPER_FAILED): the sensor helper exited with status 1; retrying with backoff\n"]


def test_the_backoff_doubles_to_its_cap_and_resets_after_a_good_run(tmp_path: Path) -> None:
    counter = tmp_path / "starts"
    # Fails at once four times, then runs well for a while before failing, then fails at once again.
    helper = script(
        f"echo x >> {counter}; n=$(wc -l < {counter}); "
        f"if [ $n -eq 5 ]; then for i in 1 2 3 4 5 6; do echo '{LINE}'; sleep 0.1; done; fi; exit 1"
    )
    waits: List[float] = []
    supervisor = HelperSupervisor(helper, 0.2, parse_line, Backoff(first=0.01, longest=0.04, ran_well=0.4), pause=waits.append)
    supervisor.start()
    try:
        wait_until(20, "seven failures", lambda: len(waits) >= 7)
    finally:
        supervisor.stop()
    assert waits[:7] == [0.01, 0.02, 0.04, 0.04, 0.01, 0.02, 0.04]


def test_a_failed_write_leaves_no_temporary_file(tmp_path: Path) -> None:
    from prometheus_client import CollectorRegistry

    target = tmp_path / "calvex.prom"
    target.mkdir()  # the rename over it fails
    with pytest.raises(OSError):
        write_textfile(str(target), CollectorRegistry())
    assert [entry.name for entry in tmp_path.iterdir()] == ["calvex.prom"]


def exporter(*arguments: str) -> "subprocess.CompletedProcess[str]":
    return subprocess.run(
        [sys.executable, "-m", "calvex.exporter", *arguments], capture_output=True, text=True, timeout=20 * TIME_SCALE,
        env={"PYTHONPATH": str(PACKAGE), "PATH": "/usr/bin:/bin"},
    )


def test_the_command_line_says_what_it_does() -> None:
    done = exporter("--helper")
    assert done.returncode == 2 and done.stderr.endswith("calvex-exporter: error: --helper needs a command after it: --helper PATH [ARGUMENTS ...]\n")
    done = exporter("--help")
    shown = " ".join(done.stdout.split())
    assert done.returncode == 0 and "(default: 127.0.0.1:9879)" in shown and "(default: 2000)" in shown
    done = exporter("--version")
    assert done.returncode == 0 and done.stdout.startswith("calvex-exporter ")
    with ExporterRun(simulated(), interval_ms=0) as run:
        run.wait_for_log(5, "--interval-ms 0 is outside what the helper takes; using 200")


def test_the_fleet_files_fit_together() -> None:
    import plistlib

    folder = ROOT / "docs" / "exporter"
    service = plistlib.loads((folder / "com.calvex.exporter.plist").read_bytes())
    arguments = service["ProgramArguments"]
    listen = arguments[arguments.index("--listen") + 1]
    assert listen.startswith("0.0.0.0:"), "a fleet's Prometheus must reach it"
    assert service.get("UserName") not in (None, "root"), "it needs no root"
    targets = re.findall(r"^\s+- ([\w.-]+):(\d+)$", (folder / "prometheus.yml").read_text(), re.MULTILINE)
    assert targets and {port for _, port in targets} == {listen.rsplit(":", 1)[1]}


@pytest.mark.skipif(PROMTOOL is None, reason="promtool is not installed (Debian package prometheus)")
def test_the_alerts_fire_when_they_should_and_the_recording_rules_record_what_they_say() -> None:
    folder = ROOT / "clients" / "python" / "tests" / "rules"
    for tests in ("calvex-alerts-test.yml", "calvex-rules-test.yml"):
        done = subprocess.run([str(PROMTOOL), "test", "rules", str(folder / tests)], capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stdout + done.stderr
    rules = ROOT / "docs" / "exporter" / "calvex-rules.yml"
    done = subprocess.run([str(PROMTOOL), "check", "rules", str(rules)], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stdout + done.stderr
    # The rules' floor and placeholder are the shared kind table's.
    table = json.loads((ROOT / "clients" / "shared" / "sensor-kinds.json").read_text())
    floors = {value for value in table["lowestPlausible"]["celsius"].values() if value is not None}
    plausible = re.search(r"record: sensor:calvex_temperature_celsius:plausible\n\s+expr: (.*)", rules.read_text())
    assert plausible is not None and len(floors) == 1
    assert plausible.group(1) == (
        f'calvex_temperature_celsius{{kind!="battery"}} >= {floors.pop():g} '
        f'or calvex_temperature_celsius{{kind="battery"}} != {table["placeholder"]["celsius"]:g}'
    )
    assert [kind for kind, floor in table["lowestPlausible"]["celsius"].items() if floor is None] == ["battery"]


@pytest.mark.parametrize("scenario", ["m1-laptop", "m2-max", "m2-ultra", "m3-pro", "m5-pro", "m5-max", "macos-update", "macos-beta"])
def test_every_reported_machine_gets_distinct_series_with_their_kinds(scenario: str) -> None:
    from prometheus_client import generate_latest

    from calvex._kinds import kind_of
    from calvex._metrics import calvex_registry
    from calvex._supervisor import SupervisorView

    class Still:
        """A supervisor that holds one snapshot, fresh."""

        def __init__(self, line: str) -> None:
            self.snapshot = parse_line(line)

        def view(self) -> "SupervisorView[object]":
            return SupervisorView(self.snapshot, time.time(), True, 1, {}, None)

        def start(self) -> None:
            pass

    for line in (ROOT / "sim" / "scenarios" / f"{scenario}.expected").read_text().splitlines():
        registry = calvex_registry(Still(line), with_process_metrics=False)  # type: ignore[arg-type]
        scraped = samples(generate_latest(registry).decode())
        temperatures = scraped["calvex_temperature_celsius"]
        entries = json.loads(line)["sensors"]
        assert len(temperatures) == len(entries), "two entries share one label set"
        # Every reading served raw, and the names the kind table does not know counted.
        assert scraped["calvex_sensors_unclassified"] == {"{}": sum(kind_of(entry["name"]) == "other" for entry in entries)}
        seen: Dict[str, int] = {}
        for entry in entries:
            occurrence = seen.get(entry["name"], 0)
            seen[entry["name"]] = occurrence + 1
            labels = json.dumps({"kind": kind_of(entry["name"]), "occurrence": str(occurrence), "sensor": entry["name"]}, sort_keys=True)
            assert temperatures[labels] == entry["t"]


@pytest.mark.parametrize(
    "variables, level, up",
    [
        ({"CALVEX_SIM_PRESSURE": "2"}, 2.0, 1.0),
        ({"CALVEX_SIM_PRESSURE": "0"}, 0.0, 1.0),
        ({"CALVEX_SIM_PRESSURE": "fail"}, None, 1.0),  # a read that failed: unknown, so absent
        ({"CALVEX_SIM_PRESSURE": "7"}, None, 1.0),  # off macOS's scale: unknown, so absent
        ({"CALVEX_SIM_FAULT": "no-pressure-notification"}, None, 0.0),
    ],
)
def test_the_thermal_pressure_level_beside_the_temperatures(variables: Dict[str, str], level: object, up: float) -> None:
    with ExporterRun(simulated(), "--pressure-helper", *simulated_pressure(**variables)) as run:
        wait_until(5, "calvex_up 1", lambda: run.value("calvex_up") == 1)
        wait_until(5, "the pressure helper's state", lambda: run.value("calvex_thermal_pressure_up") == up and (up == 0 or run.value("calvex_helper_failures_total", helper="pressure", code="HELPER_FAILED") == 0))
        assert run.value("calvex_thermal_pressure_level") == level
        assert "no thermal pressure helper here" not in "\n".join(run.log)
        if up == 0:
            wait_until(5, "a counted failure", lambda: (run.value("calvex_helper_failures_total", helper="pressure", code="NO_PRESSURE_NOTIFICATION") or 0) >= 1)
            run.wait_for_log(5, "the pressure helper failed (NO_PRESSURE_NOTIFICATION): calvex: no thermal pressure notification")
        if PROMTOOL is not None:
            checked = subprocess.run([PROMTOOL, "check", "metrics"], input=run.get()[1], capture_output=True, text=True, timeout=30)
            assert checked.returncode == 0, checked.stdout + checked.stderr


def test_without_a_pressure_helper_its_metrics_are_left_out_and_said_so(tmp_path: Path) -> None:
    with ExporterRun(simulated()) as run:
        run.wait_for_log(5, "no thermal pressure helper here")
        wait_until(5, "calvex_up 1", lambda: run.value("calvex_up") == 1)
        assert not any(name.startswith("calvex_thermal_pressure") for name in run.samples())
    path = tmp_path / "calvex.prom"
    run = ExporterRun(simulated(), "--textfile", str(path), "--pressure-helper", *simulated_pressure(CALVEX_SIM_PRESSURE="3"))
    wait_until(10, "the level in the file", lambda: path.exists() and "calvex_thermal_pressure_level 3.0" in path.read_text())
    run.stop()
    left = path.read_text()
    assert "calvex_thermal_pressure_up 0.0" in left and "\ncalvex_thermal_pressure_level " not in left

"""calvex-exporter as operators run it: what the text file says after the
exporter is gone (read by Debian's real node_exporter), how fast it stops
at any interval, slow clients that must not hold the door, the log of a
failing helper, the fleet files agreeing, and the small things of its
command line. Loopback only; every test stops what it started."""

import http.client
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import threading
import time
import urllib.request
from pathlib import Path
from typing import Dict, Iterator, List

import pytest
from conftest import EXPORTER, ROOT, TIME_SCALE, script, simulated, simulated_pressure
from exporter_run import PROMTOOL, ExporterRun, exporter, exporter_environment, scenario_file, wait_until
from prometheus_client.parser import text_string_to_metric_families

NODE_EXPORTER = shutil.which("prometheus-node-exporter")
LONGEST_INTERVAL_MS = 4294967
LINE = json.dumps({"sensors": [{"name": "PMU tdie1", "t": 40.25}]}, separators=(",", ":"))

# How long a stop may take in a test: it takes about a second; a stop that
# waits for the interval takes over an hour.
STOP_DEADLINE_SECONDS = 10
# What a client has to send its whole request (a TLS handshake included).
REQUEST_SECONDS = 5.0


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


@pytest.mark.parametrize("mode, signal_number", [("http", signal.SIGTERM), ("textfile", signal.SIGTERM), ("http", signal.SIGINT)])
def test_sigterm_at_the_longest_interval_ends_within_a_second(tmp_path: Path, mode: str, signal_number: int) -> None:
    options = ["--textfile", str(tmp_path / "calvex.prom")] if mode == "textfile" else []
    run = ExporterRun(simulated(), *options, interval_ms=LONGEST_INTERVAL_MS)
    if mode == "textfile":
        wait_until(10, "the file", lambda: "calvex_up 1" in (tmp_path / "calvex.prom").read_text().splitlines() if (tmp_path / "calvex.prom").exists() else False)
    else:
        wait_until(10, "calvex_up 1", lambda: run.value("calvex_up") == 1)
    wait_until(5, "its helper", lambda: bool(run.helpers()))
    took = run.stop(signal_number)  # also checks status 0 and that the helper was reaped
    # Ends within a second, where waiting out the interval would take 71
    # minutes: a generous bound keeps a loaded machine from failing it.
    assert took < STOP_DEADLINE_SECONDS * TIME_SCALE, f"{took:.2f} s"
    # A clean stop says, in one line, what became of what it served.
    said = (f'msg="stopped; the text file now says calvex_up 0, with no temperatures" path={tmp_path / "calvex.prom"}' if mode == "textfile"
            else 'msg="stopped serving; its helpers are stopped and reaped" url=http://')
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
            # Cut, or told 400 and cut: never served, never kept.
            answer = lone.recv(64)
            assert answer == b"" or answer.startswith(b"HTTP/1.1 400 "), answer
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
            assert status == 200 and "calvex_up 1" in text.splitlines()
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
        assert status == 200 and "calvex_temperature_celsius{" in text and "calvex_up 1" in text.splitlines()


@pytest.mark.parametrize(
    "helper, said",
    [
        (["/nonexistent/calvex"], 'helper="the sensor helper" code=HELPER_FAILED error="cannot start the calvex helper /nonexistent/calvex'),
        (script("echo garbage; exec sleep 30"), 'code=BAD_OUTPUT error="calvex wrote a line that is not JSON: garbage"'),
        (simulated(CALVEX_SIM_FAULT="no-client"), 'code=NO_HID_EVENT_SYSTEM error="calvex: no HID event system"'),
        (script(f"echo '{LINE}'; kill -KILL $$"), 'code=HELPER_FAILED error="the calvex helper was killed by SIGKILL"'),
        (script(f"echo '{LINE}'; exec sleep 600"), 'msg="readings went stale; none is served until one comes" helper="the sensor helper"'),
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
        run.wait_for_log(10, f'msg="writing the text file after every snapshot" path={tmp_path / "calvex.prom"} interval_ms=200')
        run.wait_for_log(10, 'code=HELPER_FAILED error="the calvex helper exited with status 7"')
        run.wait_for_log(10, 'msg="helper is back; fresh again" helper="the sensor helper"')


@pytest.mark.parametrize(
    "arguments, said",
    [
        (["--helper"], "--helper needs a command after it: --helper PATH [ARGUMENTS ...]"),
        (["--helper", "/bin/echo", "--helper", "/bin/true"], "--helper is given twice: give it once, with its command last"),
        (["--helper", "/bin/true", "--pressure-helper"], "--pressure-helper needs a command after it: --pressure-helper PATH [ARGUMENTS ...]"),
        (["--interval-ms", "1e3"], "--interval-ms wants whole milliseconds, not \"1e3\""),
        (["--interval-ms", "-5"], "--interval-ms wants whole milliseconds, not \"-5\""),
        (["--interval-ms=-5"], "--interval-ms wants whole milliseconds, not \"-5\""),
        (["--helper", ""], "--helper needs a program to run, not an empty word"),
        (["--helper="], "--helper needs a program to run, not an empty word"),
        (["--helper=/bin/true", "--pressure-helper=/bin/true", "--helper", "x"], "--helper is given twice"),
        (["--textfile", ""], "--textfile wants the path of the file to write, not an empty word"),
        (["--textfile="], "--textfile wants the path of the file to write, not an empty word"),
        (["--web.telemetry-path", "/{x}"], "--web.telemetry-path wants a plain path, without braces or white space"),
        (["--web.telemetry-path", "/metrics {$}"], "--web.telemetry-path wants a plain path, without braces or white space"),
        (["--listen", "localhost"], "a listen address wants HOST:PORT, not \"localhost\""),
        (["--web.listen-address", "127.0.0.1:99999"], "a listen address wants HOST:PORT, not \"127.0.0.1:99999\""),
        (["--textfile", "x.prom", "--listen", "127.0.0.1:0"], "--textfile and --web.listen-address (or --listen) do not go together"),
        (["--textfile", "x.prom", "--web.config.file", "w.yml"], "in --textfile mode node_exporter serves the file"),
        (["--web.telemetry-path", "metrics"], "--web.telemetry-path wants a path that starts with /"),
        (["--log.level", "loud"], "unrecognized log level loud"),
        (["--nope"], "unknown long flag '--nope'"),
    ],
)
def test_a_bad_command_line_ends_it_with_status_2_and_one_sentence(arguments: List[str], said: str) -> None:
    done = exporter(*arguments)
    assert done.returncode == 2 and done.stderr.count("\n") == 1, done.stderr
    assert done.stderr.startswith("calvex-exporter: error: ") and said in done.stderr, done.stderr


def test_the_text_file_is_written_when_what_it_says_changes_not_every_tick(tmp_path: Path) -> None:
    path = tmp_path / "calvex.prom"
    with ExporterRun(simulated(), "--textfile", str(path), interval_ms=2000) as run:
        wait_until(5, "the first snapshot", lambda: path.exists() and "calvex_up 1" in path.read_text())
        replaced = set()
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline:
            replaced.add(path.stat().st_ino)
            time.sleep(0.01)
        # One or two snapshots in 3 s at 2 s: as many files (and perhaps the
        # first again), where every 200 ms tick wrote one before.
        assert 1 <= len(replaced) <= 3, len(replaced)
        assert run.process.poll() is None


def test_a_text_file_that_cannot_be_put_in_place_leaves_no_temporary_file(tmp_path: Path) -> None:
    folder = tmp_path / "calvex.prom"
    folder.mkdir()  # a folder where the file would go: the rename fails
    done = exporter("--textfile", str(folder), "--helper", *simulated())
    assert done.returncode == 1 and f"cannot write {folder}" in done.stderr, done.stderr
    assert sorted(entry.name for entry in tmp_path.iterdir()) == ["calvex.prom"]


def test_it_serves_on_the_socket_systemd_hands_over_when_told_to() -> None:
    with socket.socket() as handed:
        handed.bind(("127.0.0.1", 0))
        handed.listen()
        port = handed.getsockname()[1]
        # systemd's way: the socket at descriptor 3, its count and the pid it is for.
        wrapper = ["/bin/sh", "-c", 'LISTEN_PID=$$ LISTEN_FDS=1 exec "$@"', "sh"]
        process = subprocess.Popen([*wrapper, EXPORTER, "--web.systemd-socket", "--helper", *simulated()],
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=exporter_environment(),
                                   pass_fds=(3,), preexec_fn=lambda: os.dup2(handed.fileno(), 3))
        try:
            def served() -> bool:
                try:
                    with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=2) as answer:
                        return "calvex_up 1" in answer.read().decode()
                except OSError:
                    return False
            wait_until(10, "metrics on the handed-over socket", served)
        finally:
            process.terminate()
            _, err = process.communicate(timeout=10)
    assert process.returncode == 0, err
    # Told to, with nothing handed over: one sentence, status 2, no panic.
    done = exporter("--web.systemd-socket", "--helper", *simulated())
    assert done.returncode == 2 and "cannot take the sockets systemd hands over" in done.stderr, done.stderr


def test_every_form_of_a_helper_option_means_the_same() -> None:
    sensors, pressure = simulated(), simulated_pressure(CALVEX_SIM_PRESSURE="3")
    # As --help writes them: --helper=CMD ..., the command's first word after "=".
    forms = [f"--pressure-helper={pressure[0]}", *pressure[1:], "--web.telemetry-path", "/ignored", f"--helper={sensors[0]}", *sensors[1:]]
    with ExporterRun(None, *forms) as run:
        wait_until(10, "both helpers' metrics", lambda: run.value("calvex_up") == 1 and run.value("calvex_thermal_pressure_level") == 3)
        # A flag after a helper option is one of the helper's words, as it always was: said once.
        run.wait_for_log(5, "words after --pressure-helper go to the helper, not to the exporter")
        assert run.get("/ignored")[0] == 404


def test_the_command_line_says_what_it_does() -> None:
    done = exporter("--help")
    shown = " ".join(done.stdout.split())
    assert done.returncode == 0 and "--web.listen-address=127.0.0.1:9879" in shown and '--interval-ms="2000"' in shown
    # The names earlier versions took are there beside the toolkit's.
    for name in ("--listen=HOST:PORT", "--web-config-file=FILE", "--textfile=PATH", "--helper=CMD ...", "--pressure-helper=CMD ...",
                 "--web.config.file", "--web.telemetry-path", "--log.level", "--log.format"):
        assert name in shown, name
    done = exporter("--version")
    assert done.returncode == 0 and done.stdout.startswith("calvex-exporter ")
    with ExporterRun(simulated(), interval_ms=0) as run:
        run.wait_for_log(5, 'msg="--interval-ms is outside what the helper takes" asked=0 using=200')


def test_the_fleet_files_fit_together() -> None:
    import plistlib

    folder = ROOT / "docs" / "exporter"
    service = plistlib.loads((folder / "com.calvex.exporter.plist").read_bytes())
    arguments = service["ProgramArguments"]
    listen = arguments[arguments.index("--web.listen-address") + 1]
    assert listen.startswith("0.0.0.0:"), "a fleet's Prometheus must reach it"
    assert service.get("UserName") not in (None, "root"), "it needs no root"
    targets = re.findall(r"^\s+- ([\w.-]+):(\d+)$", (folder / "prometheus.yml").read_text(), re.MULTILINE)
    assert targets and {port for _, port in targets} == {listen.rsplit(":", 1)[1]}
    # launchd gives a daemon 256 open files unless told otherwise.
    assert service["SoftResourceLimits"]["NumberOfFiles"] >= 1024


def test_a_crowd_of_idle_clients_never_takes_the_descriptors_its_helpers_need() -> None:
    import resource

    # 64 open files, as a tight launchd limit would give; a helper that ends
    # every half second, so each restart needs new pipes.
    line = json.dumps({"sensors": [{"name": "PMU tdie1", "t": 40.25}]}, separators=(",", ":"))
    helper = script(f"echo '{line}'; sleep 0.5")
    limit = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))  # noqa: E731
    with ExporterRun(helper, interval_ms=200, limit_files=limit) as run:
        wait_until(5, "a snapshot", lambda: run.value("calvex_helper_starts_total", helper="sensors") is not None)
        idle = [socket.create_connection(("127.0.0.1", run.port)) for _ in range(80)]
        try:
            time.sleep(2 * TIME_SCALE)
        finally:
            for each in idle:
                each.close()
        wait_until(10, "served again", lambda: run.get()[0] == 200)
    said = "\n".join(run.log)
    assert "too many open files" not in said and "EMFILE" not in said and "cannot start" not in said, said


@pytest.mark.skipif(PROMTOOL is None, reason="promtool is not installed (Debian package prometheus)")
def test_the_alerts_fire_when_they_should_and_the_recording_rules_record_what_they_say() -> None:
    folder = Path(__file__).parent / "rules"
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
            run.wait_for_log(5, 'helper="the pressure helper" code=NO_PRESSURE_NOTIFICATION error="calvex: no thermal pressure notification"')
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
    wait_until(10, "the level in the file", lambda: path.exists() and "calvex_thermal_pressure_level 3" in path.read_text().splitlines())
    run.stop()
    left = path.read_text()
    assert "calvex_thermal_pressure_up 0" in left.splitlines() and "\ncalvex_thermal_pressure_level " not in left

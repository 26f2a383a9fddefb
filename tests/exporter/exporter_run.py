"""A calvex-exporter run for the tests: started on a free loopback port (or
with a text file), scraped, parsed with Prometheus's own parser, and
stopped with SIGTERM, after which neither it nor a helper may be left."""

import base64
import http.client
import json
import os
import re
import socket
import ssl
import shutil
import signal
import subprocess
import threading
import time
import urllib.parse
import urllib.request
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from conftest import EXPORTER, TIME_SCALE
from prometheus_client.parser import text_string_to_metric_families

Labels = Tuple[Tuple[str, str], ...]

PROMTOOL = shutil.which("promtool")
PROMETHEUS = shutil.which("prometheus")


class PrometheusRun:
    """Debian's Prometheus on a free loopback port with its own storage,
    scraping the targets every second and evaluating the rule files every
    second; query() gives an instant query's result. Stopped on exit."""

    def __init__(
        self, folder: Path, targets: List[str], rule_files: Sequence[Path] = (), jobs: Sequence[Dict[str, Any]] = ()
    ) -> None:
        assert PROMETHEUS is not None
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        config = folder / "prometheus.yml"
        config.write_text(
            "global: {scrape_interval: 1s, evaluation_interval: 1s}\n"
            f"rule_files: {json.dumps([str(path) for path in rule_files])}\n"
            f"scrape_configs: {json.dumps(list(jobs) or [{'job_name': 'calvex', 'static_configs': [{'targets': targets}]}])}\n"
        )
        self.process = subprocess.Popen(
            [PROMETHEUS, f"--config.file={config}", f"--storage.tsdb.path={folder / 'data'}",
             f"--web.listen-address=127.0.0.1:{self.port}", "--log.level=warn"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        )

    def query(self, expression: str) -> List[Dict[str, Any]]:
        url = f"http://127.0.0.1:{self.port}/api/v1/query?" + urllib.parse.urlencode({"query": expression})
        try:
            with urllib.request.urlopen(url, timeout=5) as answer:
                result: List[Dict[str, Any]] = json.load(answer)["data"]["result"]
                return result
        except OSError:
            return []

    def __enter__(self) -> "PrometheusRun":
        return self

    def __exit__(self, *failure: object) -> None:
        self.process.terminate()
        self.process.wait(30)


def exporter_environment() -> Dict[str, str]:
    """A plain environment: what the exporter needs is on its command line.
    GORACE makes a data race in a race-detecting build end it at once."""
    return {"PATH": "/usr/bin:/bin", "GORACE": "halt_on_error=1"}


def exporter(*arguments: str, timeout: float = 30) -> "subprocess.CompletedProcess[str]":
    """The exporter run to its end (it must end by itself)."""
    return subprocess.run(
        [EXPORTER, *arguments], capture_output=True, text=True, timeout=timeout * TIME_SCALE, env=exporter_environment()
    )


def message(line: str) -> str:
    """The msg of a logfmt log line, unquoted."""
    found = re.search(r' msg=("(?:[^"\\]|\\.)*"|\S+)', line)
    assert found is not None, line
    text = found.group(1)
    return json.loads(text) if text.startswith('"') else text


def scenario_file(folder: Path, entries: List[Tuple[str, float]]) -> str:
    """A scenario whose one snapshot repeats for ever."""
    path = folder / "exporter.scenario"
    path.write_text("".join(f'sensor {celsius} "{name}"\n' for name, celsius in entries))
    return str(path)


def pids_of_children(pid: int) -> List[int]:
    out = subprocess.run(["pgrep", "-P", str(pid)], capture_output=True, text=True).stdout
    return [int(word) for word in out.split()]


def alive(pid: int) -> bool:
    try:
        return Path(f"/proc/{pid}/stat").read_text().split(") ")[1][0] != "Z"
    except OSError:
        return False


def wait_until(seconds: float, what: str, check: Callable[[], bool]) -> None:
    deadline = time.monotonic() + seconds * TIME_SCALE
    while not check():
        if time.monotonic() > deadline:
            raise AssertionError(f"{what}: not within {seconds * TIME_SCALE} s")
        time.sleep(0.05)


class ExporterRun:
    def __init__(self, helper: Optional[List[str]], *options: str, interval_ms: int = 200, program: str = EXPORTER,
                 limit_files: Optional[Callable[[], None]] = None) -> None:
        """helper None: the exporter looks for its helpers itself."""
        self.interval = interval_ms / 1000
        listen = [] if "--textfile" in options or "--listen" in options else ["--listen", "127.0.0.1:0"]
        helper_words = [] if helper is None else ["--helper", *helper]
        # The options last but for the helper: one may be a helper's own.
        self.process = subprocess.Popen(
            [program, *listen, "--interval-ms", str(interval_ms), *options, *helper_words],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
            env=exporter_environment(),
            preexec_fn=limit_files,
        )
        self.port = 0
        self.helpers_seen: List[int] = []
        self.log: List[str] = []
        self._log_reader = threading.Thread(target=self._read_log, daemon=True)
        self._log_reader.start()
        if "--textfile" not in options:
            said = self.wait_for_log(10, 'msg=serving url=http')
            self.port = int(said.split("://", 1)[1].split("/")[0].rsplit(":", 1)[1])

    def _read_log(self) -> None:
        assert self.process.stderr is not None
        for line in self.process.stderr:
            self.log.append(line.decode().rstrip("\n"))

    def wait_for_log(self, seconds: float, text: str) -> str:
        """The first line of the exporter's log that contains ``text``."""
        found: List[str] = []
        wait_until(seconds, f"a log line with {text!r} (log: {self.log})", lambda: bool(found.extend(line for line in self.log if text in line) or found))
        return found[0]

    # Over TLS when given a context, with a user and password when given.
    tls: Optional[ssl.SSLContext] = None
    auth: Optional[Tuple[str, str]] = None

    def get(self, path: str = "/metrics") -> Tuple[int, str]:
        connection = (
            http.client.HTTPSConnection("127.0.0.1", self.port, timeout=10 * TIME_SCALE, context=self.tls)
            if self.tls is not None
            else http.client.HTTPConnection("127.0.0.1", self.port, timeout=10 * TIME_SCALE)
        )
        headers = {}
        if self.auth is not None:
            headers["Authorization"] = "Basic " + base64.b64encode(":".join(self.auth).encode()).decode()
        try:
            connection.request("GET", path, headers=headers)
            answer = connection.getresponse()
            return answer.status, answer.read().decode()
        finally:
            connection.close()

    def samples(self, text: Optional[str] = None) -> Dict[str, Dict[Labels, float]]:
        """Every sample of a scrape: name -> labels -> value."""
        found: Dict[str, Dict[Labels, float]] = {}
        for family in text_string_to_metric_families(self.get()[1] if text is None else text):
            for sample in family.samples:
                found.setdefault(sample.name, {})[tuple(sorted(sample.labels.items()))] = sample.value
        return found

    def value(self, name: str, **labels: str) -> Optional[float]:
        return self.samples().get(name, {}).get(tuple(sorted(labels.items())))

    def helpers(self) -> List[int]:
        pids = pids_of_children(self.process.pid)
        self.helpers_seen.extend(pid for pid in pids if pid not in self.helpers_seen)
        return pids

    def stop(self, signal_number: int = signal.SIGTERM) -> float:
        """SIGTERM: the exporter stops its helper, waits for it, exits 0.
        Returns the seconds it took."""
        self.helpers()
        started = time.monotonic()
        self.process.send_signal(signal_number)
        try:
            status = self.process.wait(10 * TIME_SCALE)
        finally:
            took = time.monotonic() - started
            self.kill()
        assert status == 0, f"the exporter exited with {status}"
        left = [pid for pid in self.helpers_seen if alive(pid)]
        assert left == [], f"helpers left behind: {left}"
        return took

    def kill(self) -> None:
        if self.process.poll() is None:
            self.helpers()
            self.process.kill()
            self.process.wait()
        for pid in self.helpers_seen:
            if alive(pid):
                os.kill(pid, signal.SIGKILL)
        self._log_reader.join(5)

    def __enter__(self) -> "ExporterRun":
        return self

    def __exit__(self, *failure: object) -> None:
        if failure[0] is None:
            self.stop()
        else:
            self.kill()


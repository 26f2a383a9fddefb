"""The Prometheus view of a HelperSupervisor, built on Prometheus's client
library: a collector that turns one consistent view into the calvex_*
metrics, the HTTP server for /metrics, and the atomic text file for the
host exporter's textfile collector."""

import os
import socket
import socketserver
import tempfile
import threading
from typing import Any, Callable, Iterable, Iterator
from wsgiref.simple_server import WSGIRequestHandler, WSGIServer, make_server

from prometheus_client import CollectorRegistry, generate_latest, make_wsgi_app
from prometheus_client.gc_collector import GCCollector
from prometheus_client.metrics_core import CounterMetricFamily, GaugeMetricFamily, Metric
from prometheus_client.platform_collector import PlatformCollector
from prometheus_client.process_collector import ProcessCollector
from prometheus_client.registry import Collector

from ._kinds import kind_of
from ._supervisor import HelperSupervisor, occurrences

# At most this many connections are served at once; more are closed at once.
LONGEST_CONNECTION_QUEUE = 128
# A client has this long to send its request and take the answer.
CLIENT_SECONDS = 10.0

INDEX_PAGE = b"""<!doctype html>
<html><head><title>calvex exporter</title></head>
<body><h1>calvex exporter</h1><p>Temperature sensors of this Mac: <a href="/metrics">/metrics</a></p></body></html>
"""


class CalvexCollector(Collector):
    """The calvex_* metrics, all from one view of the supervisor."""

    def __init__(self, supervisor: HelperSupervisor) -> None:
        self._supervisor = supervisor

    def collect(self) -> Iterator[Metric]:
        view = self._supervisor.view()
        sensors = view.snapshot.sensors if view.snapshot is not None else ()
        temperatures = GaugeMetricFamily(
            "calvex_temperature_celsius",
            "Reading of a temperature sensor in the newest snapshot; occurrence tells repeated names apart.",
            labels=["sensor", "kind", "occurrence"],
        )
        if view.fresh:  # a stale reading is never served as current
            for (name, celsius), occurrence in zip(sensors, occurrences([sensor.name for sensor in sensors])):
                temperatures.add_metric([name, kind_of(name), str(occurrence)], celsius)
        yield temperatures
        yield GaugeMetricFamily("calvex_up", "1 while the newest snapshot is younger than three intervals.", value=int(view.fresh))
        yield GaugeMetricFamily("calvex_sensors", "Entries in the newest snapshot.", value=len(sensors))
        yield GaugeMetricFamily(
            "calvex_snapshot_timestamp_seconds", "When the newest snapshot was read (Unix time; 0 before the first).", value=view.snapshot_time
        )
        yield CounterMetricFamily("calvex_helper_starts_total", "Helpers started.", value=view.starts)
        failures = CounterMetricFamily("calvex_helper_failures_total", "Helper failures by error code.", labels=["code"])
        for code, count in view.failures.items():
            failures.add_metric([code], count)
        yield failures


def calvex_registry(supervisor: HelperSupervisor, with_process_metrics: bool) -> CollectorRegistry:
    """A registry of the calvex_* metrics and, for the HTTP server, the
    client library's own process and Python metrics (not for a text file,
    where they would clash with the host exporter's own)."""
    registry = CollectorRegistry(auto_describe=False)
    registry.register(CalvexCollector(supervisor))
    if with_process_metrics:
        ProcessCollector(registry=registry)
        PlatformCollector(registry=registry)
        GCCollector(registry=registry)
    return registry


WsgiApp = Callable[[Any, Any], Iterable[bytes]]


def exporter_app(registry: CollectorRegistry) -> WsgiApp:
    """GET /metrics: the metrics; GET /: a page linking to them; else 404."""
    metrics = make_wsgi_app(registry)

    def app(environ: Any, start_response: Any) -> Iterable[bytes]:
        path, method = environ.get("PATH_INFO", ""), environ.get("REQUEST_METHOD", "")
        if method not in ("GET", "HEAD"):
            start_response("405 Method Not Allowed", [("Allow", "GET, HEAD"), ("Content-Type", "text/plain")])
            return [b"only GET\n"]
        if path == "/metrics":
            body: Iterable[bytes] = metrics(environ, start_response)
            return body
        if path == "/":
            start_response("200 OK", [("Content-Type", "text/html; charset=utf-8")])
            return [INDEX_PAGE]
        start_response("404 Not Found", [("Content-Type", "text/plain")])
        return [b"not found; the metrics are at /metrics\n"]

    return app


class _QuietHandler(WSGIRequestHandler):
    """Logs nothing, and gives each client a time limit."""

    timeout = CLIENT_SECONDS

    def log_message(self, format: str, *args: Any) -> None:
        pass


class BoundedServer(socketserver.ThreadingMixIn, WSGIServer):
    """A thread per connection, at most LONGEST_CONNECTION_QUEUE at once; a
    slow or broken client costs one thread for CLIENT_SECONDS at most."""

    daemon_threads = True
    request_queue_size = LONGEST_CONNECTION_QUEUE

    def __init__(self, *arguments: Any, **keywords: Any) -> None:
        self._slots = threading.BoundedSemaphore(LONGEST_CONNECTION_QUEUE)
        super().__init__(*arguments, **keywords)

    def process_request(self, request: Any, client_address: Any) -> None:
        if not self._slots.acquire(blocking=False):
            self.shutdown_request(request)
            return
        super().process_request(request, client_address)

    def process_request_thread(self, request: Any, client_address: Any) -> None:
        try:
            super().process_request_thread(request, client_address)
        finally:
            self._slots.release()

    def handle_error(self, request: Any, client_address: Any) -> None:
        pass  # a client that went away or sent garbage is no error of ours


def http_server(host: str, port: int, registry: CollectorRegistry) -> BoundedServer:
    family = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)[0][0]

    class Server(BoundedServer):
        address_family = family

    server: BoundedServer = make_server(host, port, exporter_app(registry), Server, handler_class=_QuietHandler)
    return server


def write_textfile(path: str, registry: CollectorRegistry) -> None:
    """Replaces ``path`` atomically with the metrics (mode 0644): written to
    a temporary file in the same folder, then renamed over it."""
    folder = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(prefix=".calvex-", suffix=".prom.tmp", dir=folder)
    try:
        with os.fdopen(handle, "wb") as out:
            out.write(generate_latest(registry))
            os.fchmod(out.fileno(), 0o644)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise

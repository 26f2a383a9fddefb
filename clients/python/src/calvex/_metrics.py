"""The Prometheus view of a HelperSupervisor, built on Prometheus's client
library: a collector that turns one consistent view into the calvex_*
metrics, the HTTP server for /metrics, and the atomic text file for the
host exporter's textfile collector."""

import os
import socket
import socketserver
import tempfile
import threading
import time
from typing import Any, Callable, Dict, Iterable, Iterator, Optional
from wsgiref.simple_server import WSGIRequestHandler, WSGIServer, make_server

from prometheus_client import CollectorRegistry, generate_latest, make_wsgi_app
from prometheus_client.gc_collector import GCCollector
from prometheus_client.metrics_core import CounterMetricFamily, GaugeMetricFamily, Metric
from prometheus_client.platform_collector import PlatformCollector
from prometheus_client.process_collector import ProcessCollector
from prometheus_client.registry import Collector

from ._kinds import kind_of
from ._protocol import Snapshot, ThermalPressure
from ._supervisor import HelperSupervisor, SupervisorView, occurrences

# At most this many connections are served at once.
LONGEST_CONNECTION_QUEUE = 128
# A client has this long from its connection to send its whole request,
# however it trickles the bytes; past it the connection is closed.
REQUEST_SECONDS = 5.0
# And this long for each write of the answer.
CLIENT_SECONDS = 10.0
# How often connections past their deadline are looked for.
DEADLINE_CHECK_SECONDS = 0.25

INDEX_PAGE = b"""<!doctype html>
<html><head><title>calvex exporter</title></head>
<body><h1>calvex exporter</h1><p>Temperature sensors of this Mac: <a href="/metrics">/metrics</a></p></body></html>
"""


class CalvexCollector(Collector):
    """The calvex_* metrics, each helper's from one view of its supervisor."""

    def __init__(self, sensors: "HelperSupervisor[Snapshot]", pressure: "Optional[HelperSupervisor[ThermalPressure]]") -> None:
        self._sensors = sensors
        self._pressure = pressure

    def collect(self) -> Iterator[Metric]:
        view = self._sensors.view()
        pressure_view = self._pressure.view() if self._pressure is not None else None
        sensors = view.value.sensors if view.value is not None else ()
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
            "calvex_snapshot_timestamp_seconds", "When the newest snapshot was read (Unix time; 0 before the first).", value=view.value_time
        )
        if pressure_view is not None:
            yield from self._pressure_metrics(pressure_view)
        starts = CounterMetricFamily("calvex_helper_starts_total", "Helpers started, by helper.", labels=["helper"])
        failures = CounterMetricFamily("calvex_helper_failures_total", "Helper failures by helper and error code.", labels=["helper", "code"])
        for helper, each in (("sensors", view), ("pressure", pressure_view)):
            if each is not None:
                starts.add_metric([helper], each.starts)
                for code, count in each.failures.items():
                    failures.add_metric([helper, code], count)
        yield starts
        yield failures

    @staticmethod
    def _pressure_metrics(view: "SupervisorView[ThermalPressure]") -> Iterator[Metric]:
        level = GaugeMetricFamily(
            "calvex_thermal_pressure_level",
            "The system's thermal pressure level: 0 nominal, 1 moderate, 2 heavy, 3 trapping, 4 sleeping; absent while unknown or stale.",
        )
        known = view.value is not None and view.value.level is not None and view.value.level <= 4
        if view.fresh and known:
            assert view.value is not None and view.value.level is not None
            level.add_metric([], view.value.level)
        yield level
        yield GaugeMetricFamily(
            "calvex_thermal_pressure_up", "1 while the pressure helper's newest line is younger than three intervals.", value=int(view.fresh)
        )


def calvex_registry(
    supervisor: "HelperSupervisor[Snapshot]",
    with_process_metrics: bool,
    pressure: "Optional[HelperSupervisor[ThermalPressure]]" = None,
) -> CollectorRegistry:
    """A registry of the calvex_* metrics and, for the HTTP server, the
    client library's own process and Python metrics (not for a text file,
    where they would clash with the host exporter's own)."""
    registry = CollectorRegistry(auto_describe=False)
    registry.register(CalvexCollector(supervisor, pressure))
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
            # Always the whole page, one consistent view: a name[] filter
            # that matched nothing would be an empty body, a scrape of nothing.
            body: Iterable[bytes] = metrics({**environ, "QUERY_STRING": ""}, start_response)
            return body
        if path == "/":
            start_response("200 OK", [("Content-Type", "text/html; charset=utf-8")])
            return [INDEX_PAGE]
        start_response("404 Not Found", [("Content-Type", "text/plain")])
        return [b"not found; the metrics are at /metrics\n"]

    return app


class _QuietHandler(WSGIRequestHandler):
    """Logs nothing, and tells the server when the request has been read."""

    timeout = CLIENT_SECONDS

    def parse_request(self) -> bool:
        read = super().parse_request()
        self.server.request_read(self.request)  # type: ignore[attr-defined]
        return read

    def log_message(self, format: str, *args: Any) -> None:
        pass


def _cut(connection: socket.socket) -> None:
    """Ends a connection under its handler: its next read sees the end."""
    try:
        connection.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass  # closed already


class BoundedServer(socketserver.ThreadingMixIn, WSGIServer):
    """A thread per connection, at most LONGEST_CONNECTION_QUEUE at once.
    Each connection has REQUEST_SECONDS to send its whole request, then is
    cut. When every slot is taken, the oldest connection still sending its
    request is cut to make room: a scraper sends its request at once, so the
    slots that slow or stalled clients hold are the ones given up."""

    daemon_threads = True
    request_queue_size = LONGEST_CONNECTION_QUEUE

    def __init__(self, *arguments: Any, **keywords: Any) -> None:
        self._slots = threading.BoundedSemaphore(LONGEST_CONNECTION_QUEUE)
        # Connections still sending their request, oldest first, with their deadlines.
        self._unread: Dict[Any, float] = {}
        self._unread_lock = threading.Lock()
        self._closed = threading.Event()
        super().__init__(*arguments, **keywords)
        threading.Thread(target=self._cut_late_requests, name="calvex-deadlines", daemon=True).start()

    def process_request(self, request: Any, client_address: Any) -> None:
        if not self._slots.acquire(blocking=False):
            self._cut_oldest_unread()
            if not self._slots.acquire(timeout=1.0):
                self.shutdown_request(request)
                return
        with self._unread_lock:
            self._unread[request] = time.monotonic() + REQUEST_SECONDS
        super().process_request(request, client_address)

    def process_request_thread(self, request: Any, client_address: Any) -> None:
        try:
            super().process_request_thread(request, client_address)
        finally:
            self.request_read(request)
            self._slots.release()

    def request_read(self, request: Any) -> None:
        with self._unread_lock:
            self._unread.pop(request, None)

    def _cut_oldest_unread(self) -> None:
        with self._unread_lock:
            oldest = next(iter(self._unread), None)
            if oldest is not None:
                del self._unread[oldest]
        if oldest is not None:
            _cut(oldest)

    def _cut_late_requests(self) -> None:
        while not self._closed.wait(DEADLINE_CHECK_SECONDS):
            now = time.monotonic()
            with self._unread_lock:
                late = [connection for connection, deadline in self._unread.items() if deadline <= now]
                for connection in late:
                    del self._unread[connection]
            for connection in late:
                _cut(connection)

    def server_close(self) -> None:
        self._closed.set()
        super().server_close()

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
    a temporary file in the same folder, then renamed over it. A write that
    fails leaves no temporary file behind."""
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

"""The exporter's HTTP server: /metrics from a registry, a thread per
connection in a bounded number of slots, and a deadline for each request
however its client trickles it."""

import socket
import socketserver
import ssl
import threading
import time
from typing import Any, Callable, Dict, Iterable, Optional
from wsgiref.simple_server import WSGIRequestHandler, WSGIServer, make_server

from prometheus_client import CollectorRegistry, make_wsgi_app

from ._webconfig import REALM, WebConfig

# At most this many connections are served at once.
CONNECTION_SLOTS = 128
# How many connections the kernel may hold waiting to be accepted.
LISTEN_BACKLOG = 128
# A client has this long from its connection to send its whole request,
# however it trickles the bytes; past it the connection is closed.
REQUEST_SECONDS = 5.0
# And this long for each write of the answer.
CLIENT_SECONDS = 10.0
# How often connections past their deadline are looked for.
DEADLINE_CHECK_SECONDS = 0.25
# How long a new connection may wait for a slot once the oldest unread one
# has been cut to make room.
SLOT_WAIT_SECONDS = 1.0

INDEX_PAGE = b"""<!doctype html>
<html><head><title>calvex exporter</title></head>
<body><h1>calvex exporter</h1><p>Temperature sensors of this Mac: <a href="/metrics">/metrics</a></p></body></html>
"""


WsgiApp = Callable[[Any, Any], Iterable[bytes]]


def exporter_app(registry: CollectorRegistry, web: Optional[WebConfig] = None) -> WsgiApp:
    """GET /metrics: the metrics; GET /: a page linking to them; else 404.
    With users in the web configuration, every request without one of them
    and the right password gets 401."""
    metrics = make_wsgi_app(registry)

    def app(environ: Any, start_response: Any) -> Iterable[bytes]:
        path, method = environ.get("PATH_INFO", ""), environ.get("REQUEST_METHOD", "")
        if web is not None and not web.allows(environ.get("HTTP_AUTHORIZATION")):
            start_response("401 Unauthorized", [("WWW-Authenticate", f'Basic realm="{REALM}"'), ("Content-Type", "text/plain")])
            return [b"a user and password are needed\n"]
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
        # The socket's own shutdown, under TLS too: a TLS socket's would
        # drop its state under the handshake running in another thread.
        socket.socket.shutdown(connection, socket.SHUT_RDWR)
    except OSError:
        pass  # closed already


class BoundedServer(socketserver.ThreadingMixIn, WSGIServer):
    """A thread per connection, at most CONNECTION_SLOTS at once.
    Each connection has REQUEST_SECONDS to send its whole request, then is
    cut. When every slot is taken, the oldest connection still sending its
    request is cut to make room: a scraper sends its request at once, so the
    slots that slow or stalled clients hold are the ones given up."""

    daemon_threads = True
    request_queue_size = LISTEN_BACKLOG

    def __init__(self, *arguments: Any, **keywords: Any) -> None:
        self._slots = threading.BoundedSemaphore(CONNECTION_SLOTS)
        # Connections still sending their request, oldest first, with their deadlines.
        self._unread: Dict[Any, float] = {}
        self._unread_lock = threading.Lock()
        self._closed = threading.Event()
        super().__init__(*arguments, **keywords)
        threading.Thread(target=self._cut_late_requests, name="calvex-deadlines", daemon=True).start()

    def process_request(self, request: Any, client_address: Any) -> None:
        if not self._slots.acquire(blocking=False):
            self._cut_oldest_unread()
            if not self._slots.acquire(timeout=SLOT_WAIT_SECONDS):
                self.shutdown_request(request)
                return
        with self._unread_lock:
            self._unread[request] = time.monotonic() + REQUEST_SECONDS
        super().process_request(request, client_address)

    # TLS for every connection, when the web configuration asks for it.
    tls: Optional[ssl.SSLContext] = None

    def process_request_thread(self, request: Any, client_address: Any) -> None:
        try:
            if self.tls is not None:
                request = self._handshake(request)
            if request is not None:
                super().process_request_thread(request, client_address)
        finally:
            self.request_read(request)
            self._slots.release()

    def _handshake(self, connection: socket.socket) -> Optional[ssl.SSLSocket]:
        """The connection in TLS, its handshake done under the request's own
        deadline (a client that never finishes it is cut like a trickling
        one); None, and the connection closed, when it fails (a plain HTTP
        request among them)."""
        assert self.tls is not None
        with self._unread_lock:
            deadline = self._unread.pop(connection, None)
            wrapped = self.tls.wrap_socket(connection, server_side=True, do_handshake_on_connect=False)
            if deadline is not None:
                self._unread[wrapped] = deadline
        try:
            wrapped.settimeout(CLIENT_SECONDS)
            wrapped.do_handshake()
            return wrapped
        except (OSError, ValueError):
            self.request_read(wrapped)
            wrapped.close()
            return None

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


def http_server(host: str, port: int, registry: CollectorRegistry, web: Optional[WebConfig] = None) -> BoundedServer:
    family = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)[0][0]

    class Server(BoundedServer):
        address_family = family
        tls = None if web is None else web.tls

    app = exporter_app(registry, web if web is not None and web.users else None)
    server: BoundedServer = make_server(host, port, app, Server, handler_class=_QuietHandler)
    return server

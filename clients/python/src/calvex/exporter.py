"""``calvex-exporter``: the Mac's temperatures for Prometheus. Runs the
helper, restarts it when it fails, and serves the newest snapshot on
``/metrics`` or writes it to a text file for the host exporter.

    calvex-exporter [--listen HOST:PORT | --textfile PATH] [--interval-ms N]
                    [--helper CMD ...] [--pressure-helper CMD ...]

Needs the exporter extra: ``pip install 'calvex[exporter]'``.
"""

import argparse
import signal
import sys
import threading
from types import FrameType
from typing import TYPE_CHECKING, Any, List, Optional, Sequence, TextIO, Tuple

from ._commandline import add_helper_options, package_version, parse_with_helpers
from ._command import DEFAULT_INTERVAL_MS, SHORTEST_INTERVAL_MS, helper_command, interval_argument, pressure_command
from ._protocol import CalvexError, parse_line, parse_pressure_line
from ._supervisor import FRESH_INTERVALS_IN_WORDS, PRESSURE_FAILURE_CODES, HelperSupervisor, SupervisorView

if TYPE_CHECKING:
    from ._webconfig import WebConfig

DEFAULT_LISTEN = "127.0.0.1:9879"
# A web configuration that cannot be used ends the exporter with this.
USAGE_STATUS = 2
# Each helper by its role, in the log and in its failures.
SENSOR_ROLE = "the sensor helper"
PRESSURE_ROLE = "the pressure helper"
# How often the exporter looks at its helper's state, and how soon a
# signal is acted on, whatever the interval.
TICK_SECONDS = 0.2


def listen_address(text: str) -> Tuple[str, int]:
    """HOST:PORT, or [IPV6]:PORT, as (host, port)."""
    host, colon, port = text.rpartition(":")
    if not colon or not host or not port.isdigit() or int(port) > 65535:
        raise argparse.ArgumentTypeError(f"wants HOST:PORT, not {text!r}")
    return host.strip("[]"), int(port)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="calvex-exporter",
        description="Temperature sensors of this Mac for Prometheus, read through the calvex helper.",
    )
    where = parser.add_mutually_exclusive_group()
    where.add_argument(
        "--listen", type=listen_address, default=DEFAULT_LISTEN, metavar="HOST:PORT",
        help="serve /metrics here; 0.0.0.0 is every interface, 127.0.0.1 this Mac only (default: %(default)s)",
    )
    where.add_argument("--textfile", metavar="PATH", help="write the metrics to PATH for node_exporter's textfile collector instead of serving them")
    parser.add_argument(
        "--interval-ms", type=int, default=DEFAULT_INTERVAL_MS, metavar="N", help=f"milliseconds between snapshots, at least {SHORTEST_INTERVAL_MS} (default: %(default)s)"
    )
    parser.add_argument(
        "--web-config-file", metavar="FILE",
        help="TLS and basic auth for --listen, from a web configuration file as Prometheus's exporters read it",
    )
    add_helper_options(parser)
    parser.add_argument("--version", action="version", version=f"calvex-exporter {package_version()}")
    return parser


class Printer:
    """The exporter's lines on standard error, each said at once."""

    def __init__(self, err: TextIO) -> None:
        self._err = err

    def say(self, text: str) -> None:
        self._err.write(f"calvex-exporter: {text}\n")
        self._err.flush()


class StateLog:
    """One line for each change of a helper's state (failed, with its code
    and why; back; readings gone stale), never one per retry, so a day of
    failures is a handful of lines."""

    def __init__(self, printer: Printer, helper: str, readings: str = "readings") -> None:
        self.say = printer.say
        self._helper = helper
        self._readings = readings
        self._failures = 0
        self._failing_code: Optional[str] = None
        self._fresh = False
        self._said_stale = False

    def look(self, view: "SupervisorView[Any]") -> None:
        """Compares a SupervisorView with the last one seen."""
        failures = sum(view.failures.values())
        failure = view.last_failure
        if failures > self._failures and failure is not None and failure.code != self._failing_code:
            self.say(f"{self._helper} failed ({failure.code}): {failure}; retrying with backoff")
            self._failing_code = failure.code
        self._failures = failures
        if view.fresh and not self._fresh:
            if self._failing_code is not None or self._said_stale:
                self.say(f"{self._helper} is back: fresh {self._readings} again")
            self._failing_code = None
            self._said_stale = False
        elif self._fresh and not view.fresh and self._failing_code is None:
            self.say(f"{self._readings} went stale: nothing new for {FRESH_INTERVALS_IN_WORDS} intervals; none is served until one comes")
            self._said_stale = True
        self._fresh = view.fresh


def _stop_on_signals(stopping: threading.Event, woken: threading.Event) -> None:
    def handle(number: int, frame: Optional[FrameType]) -> None:
        stopping.set()
        woken.set()

    for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(number, handle)


class Supervised:
    """The helpers the exporter keeps running (the sensors', and the
    pressure helper's where there is one), a log for each, and one event
    that either sets after each new value or failure."""

    def __init__(self, sensors: List[str], pressure: Optional[List[str]], interval: float, printer: Printer) -> None:
        self.woken = threading.Event()
        # Said once the exporter has started serving or writing.
        self.notes: List[str] = []
        if pressure is None:
            self.notes.append(
                "no thermal pressure helper here: the calvex_thermal_pressure_* metrics are left out (give --pressure-helper to run one)"
            )
        self.sensors = HelperSupervisor(sensors, interval, parse_line, woken=self.woken, role=SENSOR_ROLE)
        self.pressure = None
        if pressure is not None:
            self.pressure = HelperSupervisor(
                pressure, interval, parse_pressure_line, failure_codes=PRESSURE_FAILURE_CODES, woken=self.woken, role=PRESSURE_ROLE
            )
        self._logs: List[Tuple[Any, StateLog]] = [(self.sensors, StateLog(printer, SENSOR_ROLE))]
        if self.pressure is not None:
            self._logs.append((self.pressure, StateLog(printer, PRESSURE_ROLE, "pressure levels")))

    def start(self) -> None:
        for supervisor, _ in self._logs:
            supervisor.start()

    def stop(self) -> None:
        for supervisor, _ in self._logs:
            supervisor.stop()

    def look(self) -> None:
        for supervisor, log in self._logs:
            log.look(supervisor.view())

    def registry(self, with_process_metrics: bool) -> Any:
        from ._metrics import calvex_registry

        return calvex_registry(self.sensors, with_process_metrics, self.pressure)


def _write_textfile_until_stopped(path: str, helpers: Supervised, stopping: threading.Event, log: Printer, interval: float) -> int:
    """Rewrites the file after every new value and at least once per
    interval. On the way out it is rewritten once more, down and without
    temperatures or level, so nothing stale outlives the exporter as current."""
    from ._textfile import write_textfile

    registry = helpers.registry(with_process_metrics=False)
    said = ""
    try:
        write_textfile(path, registry)
    except OSError as error:  # never written: the path is wrong, not the moment
        log.say(f"cannot write {path}: {error.strerror}")
        return 1
    log.say(f"writing {path} after every snapshot (interval {int(interval * 1000)} ms)")
    for note in helpers.notes:
        log.say(note)
    try:
        while not stopping.is_set():
            helpers.woken.wait(min(interval, TICK_SECONDS * 5))
            helpers.woken.clear()
            helpers.look()
            if stopping.is_set():
                break
            try:
                write_textfile(path, registry)
                said = ""
            except OSError as error:
                if error.strerror != said:  # say each new trouble once, and keep trying
                    said = error.strerror or str(error)
                    log.say(f"cannot write {path} now: {said}")
    finally:  # a signal, or an error of our own: either way the file says down
        helpers.stop()
        try:
            write_textfile(path, registry)
            log.say(f"stopped; {path} now says calvex_up 0, with no temperatures")
        except OSError as error:
            log.say(f"cannot mark {path} down on the way out: {error.strerror}")
    return 0


def _serve_until_stopped(
    address: Tuple[str, int], helpers: Supervised, stopping: threading.Event, log: Printer, web: "Optional[WebConfig]"
) -> int:
    from ._http import http_server

    host, port = address
    try:
        server = http_server(host, port, helpers.registry(with_process_metrics=True), web)
    except OSError as error:
        log.say(f"cannot listen on {host}:{port}: {error.strerror}")
        return 1
    serving = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": TICK_SECONDS}, name="calvex-http", daemon=True)
    serving.start()
    shown = f"[{host}]" if ":" in host else host
    scheme = "https" if web is not None and web.tls is not None else "http"
    log.say(f"serving {scheme}://{shown}:{server.server_port}/metrics" + (" (users and passwords asked)" if web is not None and web.users else ""))
    for note in helpers.notes:
        log.say(note)
    while not stopping.wait(TICK_SECONDS):
        helpers.look()
    server.shutdown()
    server.server_close()
    log.say(f"stopped serving {scheme}://{shown}:{server.server_port}/metrics")
    return 0


def run(arguments: Sequence[str], err: TextIO) -> int:
    parser = _parser()
    options = parse_with_helpers(parser, arguments)
    if options.web_config_file is not None and options.textfile is not None:
        parser.error("--web-config-file is for --listen; in --textfile mode node_exporter serves the file")
    log = Printer(err)
    try:
        import prometheus_client  # noqa: F401: said now, not at the first scrape
    except ImportError as missing:
        log.say(f"{missing}; install it with: pip install 'calvex[exporter]'")
        return 1
    web = None
    if options.web_config_file is not None:
        from ._webconfig import WebConfigError, load_web_config

        try:
            web = load_web_config(options.web_config_file)
        except WebConfigError as error:
            log.say(str(error))
            return USAGE_STATUS
    argument = interval_argument(options.interval_ms)
    if int(argument) != options.interval_ms:
        log.say(f"--interval-ms {options.interval_ms} is outside what the helper takes; using {argument}")
    try:
        command = helper_command(options.helper, argument)
        pressure = pressure_command(options.pressure_helper, argument)
    except CalvexError as error:
        log.say(str(error))
        return 1
    interval = int(argument) / 1000
    stopping = threading.Event()
    helpers = Supervised(command, pressure, interval, log)
    _stop_on_signals(stopping, helpers.woken)
    helpers.start()
    try:
        if options.textfile is not None:
            return _write_textfile_until_stopped(options.textfile, helpers, stopping, log, interval)
        return _serve_until_stopped(options.listen, helpers, stopping, log, web)
    finally:
        helpers.stop()


def main() -> None:
    sys.exit(run(sys.argv[1:], sys.stderr))


if __name__ == "__main__":
    main()

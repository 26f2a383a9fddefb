"""``calvex-exporter``: the Mac's temperatures for Prometheus. Runs the
helper, restarts it when it fails, and serves the newest snapshot on
``/metrics`` or writes it to a text file for the host exporter.

    calvex-exporter [--listen HOST:PORT | --textfile PATH] [--interval-ms N] [--helper CMD ...]

Needs the exporter extra: ``pip install 'calvex[exporter]'``.
"""

import argparse
import signal
import sys
import threading
from types import FrameType
from typing import List, Optional, Sequence, TextIO, Tuple

from ._process import DEFAULT_INTERVAL_MS, helper_command, interval_argument
from ._protocol import CalvexError

DEFAULT_LISTEN = "127.0.0.1:9879"


def listen_address(text: str) -> Tuple[str, int]:
    """HOST:PORT, or [IPV6]:PORT, as (host, port)."""
    host, colon, port = text.rpartition(":")
    if not colon or not host or not port.isdigit() or int(port) > 65535:
        raise argparse.ArgumentTypeError(f"wants HOST:PORT, not {text!r}")
    return host.strip("[]"), int(port)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="calvex-exporter", description="Temperature sensors of this Mac for Prometheus, read through the calvex helper."
    )
    where = parser.add_mutually_exclusive_group()
    where.add_argument(
        "--listen", type=listen_address, default=listen_address(DEFAULT_LISTEN), metavar="HOST:PORT",
        help=f"serve /metrics here (default {DEFAULT_LISTEN}; 0.0.0.0 is every interface)",
    )
    where.add_argument("--textfile", metavar="PATH", help="write the metrics to PATH for the textfile collector instead")
    parser.add_argument("--interval-ms", type=int, default=DEFAULT_INTERVAL_MS, metavar="N", help="milliseconds between snapshots (200 at least)")
    parser.add_argument("--helper", nargs=argparse.REMAINDER, metavar="CMD", help="run CMD ... instead of the bundled helper (comes last)")
    return parser


def _stop_on_signals(stopping: threading.Event) -> None:
    def handle(number: int, frame: Optional[FrameType]) -> None:
        stopping.set()

    signal.signal(signal.SIGTERM, handle)
    signal.signal(signal.SIGINT, handle)


def run(arguments: Sequence[str], err: TextIO) -> int:
    options = _parser().parse_args(arguments)
    helper: Optional[List[str]] = options.helper
    try:
        from ._metrics import calvex_registry, http_server, write_textfile
        from ._supervisor import HelperSupervisor
    except ImportError as missing:
        err.write(f"calvex-exporter: {missing}; install it with: pip install 'calvex[exporter]'\n")
        return 1
    argument = interval_argument(options.interval_ms)
    try:
        command = helper_command(helper or None, argument)
    except CalvexError as error:
        err.write(f"calvex-exporter: {error}\n")
        return 1
    interval = int(argument) / 1000
    stopping = threading.Event()
    _stop_on_signals(stopping)
    supervisor = HelperSupervisor(command, interval)
    supervisor.start()
    try:
        if options.textfile is not None:
            registry = calvex_registry(supervisor, with_process_metrics=False)
            written, said = False, ""
            while not stopping.is_set():
                try:
                    write_textfile(options.textfile, registry)
                    written, said = True, ""
                except OSError as error:
                    if not written:  # never written: the path is wrong, not the moment
                        err.write(f"calvex-exporter: cannot write {options.textfile}: {error.strerror}\n")
                        return 1
                    if error.strerror != said:  # say each new trouble once, and keep trying
                        said = error.strerror or str(error)
                        err.write(f"calvex-exporter: cannot write {options.textfile} now: {said}\n")
                # Again after every snapshot, and at least once per interval.
                supervisor.new_snapshot.wait(interval)
                supervisor.new_snapshot.clear()
            return 0
        host, port = options.listen
        try:
            server = http_server(host, port, calvex_registry(supervisor, with_process_metrics=True))
        except OSError as error:
            err.write(f"calvex-exporter: cannot listen on {host}:{port}: {error.strerror}\n")
            return 1
        serving = threading.Thread(target=server.serve_forever, name="calvex-http", daemon=True)
        serving.start()
        shown = f"[{host}]" if ":" in host else host
        err.write(f"calvex-exporter: serving http://{shown}:{server.server_port}/metrics\n")
        err.flush()
        while not stopping.wait(1.0):
            pass
        server.shutdown()
        server.server_close()
        return 0
    finally:
        supervisor.stop()


def main() -> None:
    sys.exit(run(sys.argv[1:], sys.stderr))


if __name__ == "__main__":
    main()

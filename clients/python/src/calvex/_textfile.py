"""The exporter's text file, for the host exporter's textfile collector:
the metrics of a registry, replaced atomically."""

import os
import tempfile

from prometheus_client import CollectorRegistry, generate_latest


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

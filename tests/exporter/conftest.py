"""What the exporter tests share: the calvex-exporter binary under test,
and from the Python client's tests (clients/python/tests/conftest.py) the
built calvex on the simulated platform as its helper, scripts as helpers,
and the check after every test that no child of this process is left."""

import importlib.util
import os
from pathlib import Path
from typing import Iterator

import pytest

ROOT = Path(__file__).resolve().parents[2]
# Loaded under a name of its own: pytest knows this file as conftest.
_spec = importlib.util.spec_from_file_location("client_conftest", ROOT / "clients" / "python" / "tests" / "conftest.py")
assert _spec is not None and _spec.loader is not None
_client = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_client)
SIMRUN, TOOL, TIME_SCALE = _client.SIMRUN, _client.TOOL, _client.TIME_SCALE
simulated, simulated_pressure, script = _client.simulated, _client.simulated_pressure, _client.script

# The binary under test, built with the race detector by tests/go_exporter_test.sh.
EXPORTER = os.environ.get("CALVEX_TEST_EXPORTER", str(ROOT / "build" / "exporter-test" / "calvex-exporter"))
# The same without the race detector, where memory is measured.
PLAIN_EXPORTER = os.environ.get("CALVEX_TEST_PLAIN_EXPORTER", EXPORTER)


@pytest.fixture(autouse=True)
def no_child_left() -> Iterator[None]:
    yield
    left = _client.children()
    _client.kill_children()
    assert left == [], "a process is left behind"

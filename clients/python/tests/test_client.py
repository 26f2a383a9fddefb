"""The blocking client driving the real calvex on the simulated platform:
exact snapshots, every way a run can fail, every way a watch ends, and no
child left behind after any (the autouse fixture checks)."""

import asyncio
import io
import json
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Any, List

import pytest
from conftest import (
    PACKAGE,
    SKIPPED_WHILE_SLOW,
    TIME_SCALE,
    children,
    expected_lines,
    scenario,
    script,
    simulated,
    simulated_pressure,
    wait_for_snapshots_written,
    within,
)

from calvex import (
    CalvexError,
    Sensor,
    Snapshot,
    ThermalPressure,
    kind_of,
    read_sensors,
    read_sensors_async,
    read_thermal_pressure,
    sensors_temperatures,
    watch_sensors,
    watch_sensors_async,
    watch_thermal_pressure,
    watch_thermal_pressure_async,
)
from calvex.__main__ import run as cli_run

SNAPSHOT_LINE = "echo '{\"sensors\":[]}'"


def test_one_snapshot_has_the_exact_names_and_temperatures() -> None:
    snapshot = read_sensors(helper=simulated(CALVEX_SIM_SCENARIO=scenario("odd-names")), timeout=10)
    expected = [Sensor(entry["name"], entry["t"]) for entry in json.loads(expected_lines("odd-names")[0])["sensors"]]
    assert snapshot == Snapshot(tuple(expected))
    assert snapshot.sensors[0].name == 'quote " and backslash \\'
    assert snapshot.sensors[4].name == "café — 40°C"


@pytest.mark.parametrize(
    "helper, code, message",
    [
        (simulated(CALVEX_SIM_FAULT="no-iokit"), "IOKIT_NOT_AVAILABLE", "IOKit not available"),
        (simulated(CALVEX_SIM_FAULT="no-symbol=CFRelease"), "IOKIT_NOT_AVAILABLE", "IOKit not available"),
        (simulated(CALVEX_SIM_FAULT="no-client"), "NO_HID_EVENT_SYSTEM", "no HID event system"),
        (["/nonexistent/calvex"], "HELPER_FAILED", "cannot start.*nonexistent"),
        (script("echo broken >&2; exit 3"), "HELPER_FAILED", "status 3 without writing a line; it said: broken"),
        (script(f"{SNAPSHOT_LINE}; exit 3"), "HELPER_FAILED", "status 3$"),
        (script(f"{SNAPSHOT_LINE}; kill -KILL $$"), "HELPER_FAILED", "killed by SIGKILL"),
        (script("trap '' TERM; echo '{\"sensors\":[{\"name\":1}]}'; exec sleep 30"), "BAD_OUTPUT", "not {name, t}"),
        (script("echo '{\"error\":\"disk full\"}'; exec sleep 30"), "BAD_OUTPUT", "neither a snapshot"),
        (script("head -c 50000000 /dev/zero | tr '\\0' x; exec sleep 30"), "BAD_OUTPUT", "over-long line: x{200}…"),
        (script("exec sleep 30"), "HELPER_FAILED", "within the timeout"),
    ],
)
def test_failures_become_codes(helper: List[str], code: str, message: str) -> None:
    with pytest.raises(CalvexError, match=message) as raised:
        within(10, lambda: read_sensors(helper=helper, timeout=3 * TIME_SCALE))
    assert raised.value.code == code
    if code in ("IOKIT_NOT_AVAILABLE", "NO_HID_EVENT_SYSTEM"):
        assert raised.value.line == json.dumps({"error": message}, separators=(",", ":"))
        with pytest.raises(CalvexError) as watched, watch_sensors(200, helper=helper) as watch:
            next(watch)
        assert watched.value.code == code
        assert list(watch) == []


def test_unsupported_platform_without_a_spawn() -> None:
    assert (sys.platform, os.uname().machine) != ("darwin", "arm64")
    for call in (read_sensors, watch_sensors, sensors_temperatures):
        with pytest.raises(CalvexError) as raised:
            call()
        assert raised.value.code == "UNSUPPORTED_PLATFORM"


@pytest.mark.parametrize(
    "arguments, error",
    [
        ({"helper": "/usr/local/bin/calvex"}, "sequence of str"),
        ({"helper": []}, "non-empty"),
        ({"helper": ["calvex", 1]}, "sequence of str"),
        ({"interval_ms": 500.0}, "int of milliseconds"),
        ({"interval_ms": True}, "int of milliseconds"),
    ],
)
def test_bad_arguments_are_type_errors(arguments: Any, error: str) -> None:
    with pytest.raises(TypeError, match=error):
        watch_sensors(**arguments)


def test_a_nul_in_a_helper_word_is_a_type_error_before_anything_is_opened() -> None:
    nul = ["/bin/ca\0t"]
    faces: List[Any] = [
        lambda: read_sensors(helper=nul),
        lambda: watch_sensors(helper=nul),
        lambda: read_thermal_pressure(helper=nul),
        lambda: watch_thermal_pressure(helper=nul),
        lambda: sensors_temperatures(helper=nul),
        lambda: asyncio.run(read_sensors_async(helper=nul)),
        lambda: watch_sensors_async(helper=nul),
        lambda: watch_thermal_pressure_async(helper=nul),
    ]
    opened = len(os.listdir("/proc/self/fd"))
    for face in faces:
        with pytest.raises(TypeError, match="NUL"):
            face()
    assert len(os.listdir("/proc/self/fd")) == opened
    # The command lines say it as a usage error, in one line.
    said = io.StringIO()
    assert cli_run(["--helper", *nul], io.StringIO(), said) == 2
    assert said.getvalue().endswith("error: --helper: a word of the command must not contain a NUL character\n")


def test_the_client_appends_its_own_argument() -> None:
    # This helper writes its last argument back as its one line.
    echo = script('eval "echo \\${$#}"; exec sleep 30') + ["leading"]
    with pytest.raises(CalvexError) as raised:
        read_sensors(helper=echo, timeout=5)
    assert raised.value.line == "--once"
    for interval_ms, argument in [(2000, "2000"), (50, "200"), (-5, "200"), (750, "750"), (10**12, "4294967")]:
        with pytest.raises(CalvexError) as raised, watch_sensors(interval_ms, helper=echo) as watch:
            within(5, next, watch)
        assert raised.value.line == argument


def stop_after(seconds: float, stop: Any) -> threading.Timer:
    """A deadline for a blocking wait: stops the watch, so the wait ends."""
    timer = threading.Timer(seconds * TIME_SCALE, stop)
    timer.daemon = True
    timer.start()
    return timer


def test_every_way_out_of_a_watch_stops_the_helper() -> None:
    counts = [len(json.loads(line)["sensors"]) for line in expected_lines("coming-and-going")]
    helper = simulated(CALVEX_SIM_SCENARIO=scenario("coming-and-going"))

    seen = []
    for snapshot in watch_sensors(200, helper=helper):
        seen.append(len(snapshot.sensors))
        if len(seen) == 3:
            break
    assert seen == counts[:3]
    assert children() == [], "break"

    with watch_sensors(200, helper=helper) as watch:
        next(watch)
    assert children() == [], "with"

    watch = watch_sensors(200, helper=helper)
    next(watch)
    watch.close()
    assert children() == [] and list(watch) == [], "close()"

    with pytest.raises(ZeroDivisionError):
        for _ in watch_sensors(200, helper=helper):
            1 / 0
    assert children() == [], "an exception in the loop"


def test_a_helper_that_ignores_sigterm_is_killed_after_the_grace_period() -> None:
    stubborn = script(f"trap '' TERM; while :; do {SNAPSHOT_LINE}; sleep 0.1; done")
    watch = watch_sensors(200, helper=stubborn)
    next(watch)
    within(5, watch.close)


def test_a_watch_nobody_closes_does_not_keep_the_interpreter_alive() -> None:
    # A child program takes one snapshot and forgets the watch: it must exit by itself.
    app = (
        "import sys; sys.path.insert(0, sys.argv[1]); import json, calvex\n"
        "watch = calvex.watch_sensors(200, helper=json.loads(sys.argv[2]))  # held until the interpreter ends\n"
        "print(len(next(watch).sensors))\n"
    )
    child = subprocess.Popen([sys.executable, "-c", app, str(PACKAGE), json.dumps(simulated())], stdout=subprocess.PIPE)
    try:
        out, _ = child.communicate(timeout=10 * TIME_SCALE)
    finally:
        child.kill()
        child.wait()
    assert (child.returncode, out) == (0, b"55\n")


@pytest.mark.parametrize(
    "helper, message",
    [
        (script(f"{SNAPSHOT_LINE}; exit 0"), "exited with status 0"),
        (script("echo hello; exec sleep 30"), "not JSON: hello"),
        (script("head -c 50000000 /dev/zero | tr '\\0' x; exec sleep 30"), "over-long"),
    ],
)
def test_a_watch_ends_with_an_error_when_its_helper_misbehaves(helper: List[str], message: str) -> None:
    watch = watch_sensors(200, helper=helper)
    timer = stop_after(10, watch.close)
    with pytest.raises(CalvexError, match=message):
        for _ in watch:
            pass
    timer.cancel()
    assert children() == [], "the helper runs on after the error"


def test_a_helper_killed_from_outside_ends_the_watch() -> None:
    watch = watch_sensors(200, helper=simulated())
    next(watch)
    os.kill(children()[0], signal.SIGKILL)
    timer = stop_after(10, watch.close)
    with pytest.raises(CalvexError, match="killed by SIGKILL") as raised:
        for _ in watch:
            pass
    timer.cancel()
    assert raised.value.code == "HELPER_FAILED"


def test_a_slow_consumer_gets_fresh_snapshots_and_no_backlog(tmp_path: Path) -> None:
    # Each snapshot carries its own sequence number as its reading.
    blocks = [f'snapshot\nsensor {i + 1} "sequence"' for i in range(120)]
    (tmp_path / "sequence.scenario").write_text("\n".join(blocks) + "\n")
    trace = tmp_path / "trace"
    helper = simulated(CALVEX_SIM_SCENARIO=str(tmp_path / "sequence.scenario"), CALVEX_SIM_TRACE=str(trace))
    seen: List[float] = []
    with watch_sensors(200, helper=helper) as watch:
        for snapshot in watch:
            seen.append(snapshot.sensors[0].celsius)
            if len(seen) == 4:
                break
            wait_for_snapshots_written(trace, more_than=snapshot.sensors[0].celsius + SKIPPED_WHILE_SLOW)
    assert all(later - earlier >= 2 for earlier, later in zip(seen, seen[1:])), f"{seen}: queued snapshots were kept"


def test_keyboard_interrupt_in_a_child_python_stops_its_helper() -> None:
    app = (
        "import sys; sys.path.insert(0, sys.argv[1]); import json, calvex\n"
        "try:\n"
        "    for snapshot in calvex.watch_sensors(200, helper=json.loads(sys.argv[2])):\n"
        "        print(len(snapshot.sensors), flush=True)\n"
        "except KeyboardInterrupt:\n"
        "    import os; print('children', os.popen(f'pgrep -P {os.getpid()} -c calvex').read().strip(), flush=True)\n"
    )
    child = subprocess.Popen(
        [sys.executable, "-c", app, str(PACKAGE), json.dumps(simulated())], stdout=subprocess.PIPE, text=True
    )
    assert child.stdout is not None
    assert within(10, child.stdout.readline) == "55\n"
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=10 * TIME_SCALE)
    assert out.splitlines()[-1] == "children 0"
    assert child.returncode == 0


def test_sensors_temperatures_groups_by_kind_in_the_familiar_shape() -> None:
    helper = simulated(CALVEX_SIM_SCENARIO=scenario("laptop"))
    entries = json.loads(expected_lines("laptop")[0])["sensors"]
    groups = sensors_temperatures(helper=helper)
    fahrenheit = sensors_temperatures(True, helper=helper)
    assert [(entry.label, entry.current) for group in groups.values() for entry in group] == sorted(
        [(entry["name"], entry["t"]) for entry in entries],
        key=lambda pair: list(groups).index(kind_of(pair[0])),
    )
    assert all(entry.high is None and entry.critical is None for group in groups.values() for entry in group)
    first = next(iter(groups))
    assert fahrenheit[first][0].current == pytest.approx(groups[first][0].current * 9 / 5 + 32)


def test_a_helper_that_exits_by_itself_is_never_reported_as_stopped() -> None:
    # Once a race: the end of the output was answered with SIGTERM, whose
    # status then hid the helper's own.
    messages = set()
    for _ in range(40):
        with pytest.raises(CalvexError) as raised:
            read_sensors(helper=["/bin/false"], timeout=10)
        messages.add(str(raised.value))
    assert messages == {"the calvex helper exited with status 1 without writing a line"}
    # The widest form of that race: the output ends well before the exit.
    with pytest.raises(CalvexError, match="^the calvex helper exited with status 1 without writing a line$"):
        read_sensors(helper=script("exec >&- 2>&-; sleep 0.3; exit 1"), timeout=10)


def test_a_watch_is_its_own_iterator_and_stops_when_no_longer_held() -> None:
    watch = watch_sensors(200, helper=simulated())
    assert iter(watch) is watch
    first = next(iter(watch))
    assert len(within(5, next, watch).sensors) == len(first.sensors)  # the helper still runs
    assert len(children()) == 1
    del watch  # nobody holds it: its helper is stopped and reaped
    assert children() == []


def test_sensors_temperatures_has_a_timeout() -> None:
    with pytest.raises(CalvexError, match="within the timeout") as raised:
        within(10, lambda: sensors_temperatures(helper=script("exec sleep 30"), timeout=0.3))
    assert raised.value.code == "HELPER_FAILED"


def test_the_thermal_pressure_level_once_and_watched() -> None:
    assert read_thermal_pressure(helper=simulated_pressure(CALVEX_SIM_PRESSURE="3"), timeout=10) == ThermalPressure("trapping", 3)
    with watch_thermal_pressure(200, helper=simulated_pressure(CALVEX_SIM_PRESSURE="0,2,fail,9")) as watch:
        levels = [within(5, next, watch) for _ in range(4)]
    assert levels == [ThermalPressure("nominal", 0), ThermalPressure("heavy", 2), ThermalPressure("unknown", None), ThermalPressure("unknown", 9)]
    for fault, code in [("no-symbol=notify_get_state", "PRESSURE_NOT_AVAILABLE"), ("no-pressure-notification", "NO_PRESSURE_NOTIFICATION")]:
        with pytest.raises(CalvexError) as raised:
            read_thermal_pressure(helper=simulated_pressure(CALVEX_SIM_FAULT=fault), timeout=10)
        assert raised.value.code == code
    with pytest.raises(CalvexError) as raised:
        read_thermal_pressure()
    assert raised.value.code == "UNSUPPORTED_PLATFORM"

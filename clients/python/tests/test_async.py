"""The asyncio face on the real calvex: a snapshot, failures, and every way
a watch ends (async with, aclose(), break then aclose(), cancelling the
task), with the helper stopped and reaped before each returns."""

import asyncio
import json
import time
from pathlib import Path
from typing import Any, Coroutine, List

import pytest
from conftest import (
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

import calvex._process

from calvex import (
    CalvexError,
    Sensor,
    ThermalPressure,
    read_sensors_async,
    read_thermal_pressure_async,
    watch_sensors_async,
    watch_thermal_pressure_async,
)


def run(seconds: float, step: Coroutine[Any, Any, Any]) -> Any:
    """Runs a coroutine in its own loop and thread with a deadline, so that a
    stall fails the test (even one that resists cancellation)."""
    return within(seconds, asyncio.run, step)


def test_one_snapshot_and_the_failures() -> None:
    snapshot = run(10, read_sensors_async(helper=simulated(CALVEX_SIM_SCENARIO=scenario("odd-names"))))
    expected = [Sensor(entry["name"], entry["t"]) for entry in json.loads(expected_lines("odd-names")[0])["sensors"]]
    assert list(snapshot.sensors) == expected
    for helper, code in [
        (simulated(CALVEX_SIM_FAULT="no-client"), "NO_HID_EVENT_SYSTEM"),
        (["/nonexistent/calvex"], "HELPER_FAILED"),
        (script("echo '{\"sensors\":[]}'; exit 3"), "HELPER_FAILED"),
        (script("trap '' TERM; echo hello; exec sleep 30"), "BAD_OUTPUT"),
        (script("head -c 50000000 /dev/zero | tr '\\0' x; exec sleep 30"), "BAD_OUTPUT"),
    ]:
        with pytest.raises(CalvexError) as raised:
            run(10, read_sensors_async(helper=helper, timeout=5 * TIME_SCALE))
        assert raised.value.code == code, helper
        assert children() == [], helper


def test_a_timeout_stops_the_helper() -> None:
    with pytest.raises(CalvexError, match="within the timeout") as raised:
        run(10, read_sensors_async(helper=script("exec sleep 30"), timeout=0.3))
    assert raised.value.code == "HELPER_FAILED"


def test_every_way_out_of_an_async_watch_stops_the_helper() -> None:
    helper = simulated(CALVEX_SIM_SCENARIO=scenario("coming-and-going"))
    counts = [len(json.loads(line)["sensors"]) for line in expected_lines("coming-and-going")]

    async def ways_out() -> List[int]:
        seen = []
        async with watch_sensors_async(200, helper=helper) as watch:
            async for snapshot in watch:
                seen.append(len(snapshot.sensors))
                if len(seen) == 3:
                    break
        assert children() == [], "async with, break"

        watch = watch_sensors_async(200, helper=helper)
        await watch.__anext__()
        await watch.aclose()
        assert children() == [], "aclose()"
        assert [snapshot async for snapshot in watch] == []

        async def consume() -> None:
            async for _ in watch_sensors_async(200, helper=helper):
                pass

        task = asyncio.ensure_future(consume())
        await asyncio.sleep(0.5 * TIME_SCALE)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert children() == [], "a cancelled task"
        return seen

    assert run(20, ways_out()) == counts[:3]


def test_an_async_watch_ends_with_an_error_when_its_helper_misbehaves() -> None:
    async def watch_until_failure(helper: List[str]) -> None:
        async for _ in watch_sensors_async(200, helper=helper):
            pass

    for helper, message in [
        (script("echo '{\"sensors\":[]}'; exit 0"), "exited with status 0"),
        (script("trap '' TERM; echo hello; exec sleep 30"), "not JSON: hello"),
        (simulated(CALVEX_SIM_FAULT="no-iokit"), "IOKit not available"),
    ]:
        with pytest.raises(CalvexError, match=message):
            run(10, watch_until_failure(helper))
        assert children() == [], helper


async def _no_children_within(seconds: float) -> None:
    """Waits, with the loop running, until this process has no child."""
    deadline = time.monotonic() + seconds * TIME_SCALE
    while children():
        assert time.monotonic() < deadline, "the helper is still there"
        await asyncio.sleep(0.02)


def test_break_out_of_async_for_over_an_unheld_watch_stops_the_helper() -> None:
    async def break_out() -> int:
        async for snapshot in watch_sensors_async(200, helper=simulated()):
            break
        await _no_children_within(5)
        return len(snapshot.sensors)

    assert run(10, break_out()) == 55


def test_a_slow_async_consumer_gets_the_newest_snapshot(tmp_path: Path) -> None:
    # Each snapshot carries its own sequence number as its reading.
    blocks = [f'snapshot\nsensor {i + 1} "sequence"' for i in range(120)]
    (tmp_path / "sequence.scenario").write_text("\n".join(blocks) + "\n")

    async def read_slowly() -> List[float]:
        seen: List[float] = []
        async with watch_sensors_async(200, helper=helper) as watch:
            async for snapshot in watch:
                seen.append(snapshot.sensors[0].celsius)
                if len(seen) == 4:
                    break
                await asyncio.get_running_loop().run_in_executor(
                    None, lambda: wait_for_snapshots_written(trace, more_than=snapshot.sensors[0].celsius + SKIPPED_WHILE_SLOW)
                )
        return seen

    trace = tmp_path / "trace"
    helper = simulated(CALVEX_SIM_SCENARIO=str(tmp_path / "sequence.scenario"), CALVEX_SIM_TRACE=str(trace))
    seen = run(60, read_slowly())
    assert all(later - earlier >= 2 for earlier, later in zip(seen, seen[1:])), f"{seen}: queued snapshots were kept"


def test_a_cancellation_during_a_stop_still_ends_in_cancelled_error(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    marker = tmp_path / "terminated"
    stubborn = script(f"trap 'touch {marker}' TERM; while :; do echo '{{\"sensors\":[]}}'; sleep 0.1; done")
    monkeypatch.setattr(calvex._process, "STOP_GRACE_SECONDS", 3.0 * TIME_SCALE)

    async def cancel_the_stop() -> None:
        watch = watch_sensors_async(200, helper=stubborn)
        await watch.__anext__()
        closing = asyncio.ensure_future(watch.aclose())
        # The helper has had its SIGTERM and ignores it: the stop is under
        # way, and the grace period, made long here, leaves room to cancel it.
        while not marker.exists():
            await asyncio.sleep(0.01)
        closing.cancel()
        with pytest.raises(asyncio.CancelledError):
            await closing
        assert children() == [], "the stop was cut short"

    run(20, cancel_the_stop())


def test_the_thermal_pressure_level_under_asyncio() -> None:
    async def levels() -> List[ThermalPressure]:
        seen = [await read_thermal_pressure_async(helper=simulated_pressure(CALVEX_SIM_PRESSURE="1"), timeout=10)]
        async with watch_thermal_pressure_async(200, helper=simulated_pressure(CALVEX_SIM_PRESSURE="4,fail")) as watch:
            async for level in watch:
                seen.append(level)
                if len(seen) == 3:
                    break
        return seen

    assert run(10, levels()) == [ThermalPressure("moderate", 1), ThermalPressure("sleeping", 4), ThermalPressure("unknown", None)]

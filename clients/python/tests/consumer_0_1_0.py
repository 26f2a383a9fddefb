"""A consumer written against the 0.1.0 release, kept exactly as it was
then: whatever the package becomes, this must still type-check with
``mypy --strict`` (and its ignores still be needed), or the change log must
say why not."""

import asyncio
from typing import Dict, List, Optional

import calvex
from calvex import CalvexError, KindSummary, Sensor, Snapshot


def sync_uses() -> Optional[float]:
    snapshot: Snapshot = calvex.read_sensors(timeout=5.0)
    top: Optional[Sensor] = calvex.hottest(snapshot)
    names: Dict[str, List[float]] = calvex.by_name(snapshot)
    kinds: Dict[str, KindSummary] = calvex.summary(snapshot)
    kind: str = calvex.kind_of("PMU tdie1") if top is None else top.kind
    groups: Dict[str, List[calvex.shwtemp]] = calvex.sensors_temperatures(fahrenheit=True)
    with calvex.watch_sensors(500, helper=["/usr/local/bin/calvex"]) as watch:
        for each in watch:
            print(len(each.sensors))
            break
    try:
        calvex.read_sensors()
    except CalvexError as error:
        code: str = error.code
        line: Optional[str] = error.line
        print(code, line)
    print(names, kind, groups, calvex.bundled_helper_path)
    calvex.watch_sensors("500")  # type: ignore[arg-type]
    calvex.read_sensors(helper=None, timeout="5")  # type: ignore[arg-type]
    snapshot.sensors[0].celsius = 1.0  # type: ignore[misc]
    return kinds["cpu"].max if "cpu" in kinds else None


async def async_uses() -> int:
    snapshot: Snapshot = await calvex.read_sensors_async(timeout=5.0)
    watch: calvex.AsyncSensorWatch = calvex.watch_sensors_async(1000)
    async with watch:
        async for each in watch:
            return len(each.sensors) + len(snapshot.sensors)
    return 0


if __name__ == "__main__":
    print(sync_uses(), asyncio.run(async_uses()))

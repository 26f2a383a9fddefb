"""The Prometheus view of the exporter's helpers, built on Prometheus's
client library: a collector that turns one consistent view of each
supervisor into the calvex_* metrics, and the registry that holds it."""

from typing import Dict, Iterator, List, Optional, Sequence

from prometheus_client import CollectorRegistry
from prometheus_client.gc_collector import GCCollector
from prometheus_client.metrics_core import CounterMetricFamily, GaugeMetricFamily, Metric
from prometheus_client.platform_collector import PlatformCollector
from prometheus_client.process_collector import ProcessCollector
from prometheus_client.registry import Collector

from ._kinds import UNCLASSIFIED, kind_of
from ._protocol import PRESSURE_LEVELS, Snapshot, ThermalPressure
from ._supervisor import FRESH_INTERVALS_IN_WORDS, HelperSupervisor, SupervisorView

# The highest level on macOS's own scale; one above it is served as unknown.
HIGHEST_KNOWN_LEVEL = len(PRESSURE_LEVELS) - 1


def occurrences(names: Sequence[str]) -> List[int]:
    """For each name, how many times it came before in the list: labels that
    tell repeated names apart."""
    seen: Dict[str, int] = {}
    counts = []
    for name in names:
        counts.append(seen.get(name, 0))
        seen[name] = counts[-1] + 1
    return counts


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
        yield GaugeMetricFamily("calvex_up", f"1 while the newest snapshot is younger than {FRESH_INTERVALS_IN_WORDS} intervals.", value=int(view.fresh))
        yield GaugeMetricFamily("calvex_sensors", "Entries in the newest snapshot.", value=len(sensors))
        yield GaugeMetricFamily(
            "calvex_sensors_unclassified",
            "Entries in the newest snapshot whose names the kind table does not know (kind other): a Mac that needs a new row.",
            value=sum(1 for sensor in sensors if kind_of(sensor.name) == UNCLASSIFIED),
        )
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
        known = view.value is not None and view.value.level is not None and view.value.level <= HIGHEST_KNOWN_LEVEL
        if view.fresh and known:
            assert view.value is not None and view.value.level is not None
            level.add_metric([], view.value.level)
        yield level
        yield GaugeMetricFamily(
            "calvex_thermal_pressure_up", f"1 while the pressure helper's newest line is younger than {FRESH_INTERVALS_IN_WORDS} intervals.", value=int(view.fresh)
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

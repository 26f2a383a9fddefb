"""Temperature sensors of Apple Silicon Macs, read without root through a
tiny signed helper that ends with your program.

    >>> from calvex import read_sensors, hottest, summary
    >>> snapshot = read_sensors()
    >>> hottest(snapshot)
    Sensor(name='pACC MTR Temp Sensor7', celsius=54.84)
    >>> hottest(snapshot, "gpu")
    Sensor(name='GPU MTR Temp Sensor6', celsius=45.9)
"""

from ._async import (
    AsyncPressureWatch,
    AsyncSensorWatch,
    read_sensors_async,
    read_thermal_pressure_async,
    watch_sensors_async,
    watch_thermal_pressure_async,
)
from ._kinds import KINDS, kind_of
from ._command import bundled_helper_path, bundled_pressure_helper_path
from ._protocol import CalvexError, Sensor, Snapshot, ThermalPressure
from ._sync import (
    PressureWatch,
    SensorWatch,
    read_sensors,
    read_thermal_pressure,
    sensors_temperatures,
    shwtemp,
    watch_sensors,
    watch_thermal_pressure,
)
from ._views import KindSummary, by_name, hottest, summary

__all__ = [
    "KINDS",
    "AsyncPressureWatch",
    "AsyncSensorWatch",
    "CalvexError",
    "KindSummary",
    "PressureWatch",
    "Sensor",
    "SensorWatch",
    "Snapshot",
    "ThermalPressure",
    "bundled_helper_path",
    "bundled_pressure_helper_path",
    "by_name",
    "hottest",
    "kind_of",
    "read_sensors",
    "read_sensors_async",
    "read_thermal_pressure",
    "read_thermal_pressure_async",
    "sensors_temperatures",
    "shwtemp",
    "summary",
    "watch_sensors",
    "watch_sensors_async",
    "watch_thermal_pressure",
    "watch_thermal_pressure_async",
]

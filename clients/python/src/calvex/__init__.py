"""Temperature sensors of Apple Silicon Macs, read without root through a
tiny signed helper that ends with your program.

    >>> from calvex import read_sensors, hottest, summary
    >>> snapshot = read_sensors()
    >>> hottest(snapshot)
    Sensor(name='pACC MTR Temp Sensor7', celsius=54.84)
    >>> hottest(snapshot, "gpu")
    Sensor(name='GPU MTR Temp Sensor6', celsius=45.9)
"""

from ._async import AsyncSensorWatch, read_sensors_async, watch_sensors_async
from ._kinds import KINDS, KindSummary, kind_of, summary
from ._process import bundled_helper_path
from ._protocol import CalvexError, Sensor, Snapshot
from ._sync import SensorWatch, read_sensors, watch_sensors
from ._views import by_name, hottest, sensors_temperatures, shwtemp

__all__ = [
    "KINDS",
    "AsyncSensorWatch",
    "CalvexError",
    "KindSummary",
    "Sensor",
    "SensorWatch",
    "Snapshot",
    "bundled_helper_path",
    "by_name",
    "hottest",
    "kind_of",
    "read_sensors",
    "read_sensors_async",
    "sensors_temperatures",
    "shwtemp",
    "summary",
    "watch_sensors",
    "watch_sensors_async",
]

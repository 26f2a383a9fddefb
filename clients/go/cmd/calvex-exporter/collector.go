package main

import (
	"strconv"
	"strings"

	"calvex.invalid/calvex"
	"github.com/prometheus/client_golang/prometheus"
)

// The calvex_* metrics, each helper's from one view of its supervisor per
// scrape. Names, help texts, types and labels are a promise to dashboards
// and rules (docs/exporter/metrics.md).

// The highest level on macOS's own scale; anything above is served as unknown.
var highestKnownLevel = len(calvex.PressureLevels()) - 1

var (
	temperatureDesc = prometheus.NewDesc("calvex_temperature_celsius",
		"Reading of a temperature sensor in the newest snapshot; occurrence tells repeated names apart.",
		[]string{"sensor", "kind", "occurrence"}, nil)
	upDesc = prometheus.NewDesc("calvex_up",
		"1 while the newest snapshot is younger than "+freshIntervalsInWords+" intervals.", nil, nil)
	sensorsDesc      = prometheus.NewDesc("calvex_sensors", "Entries in the newest snapshot.", nil, nil)
	unclassifiedDesc = prometheus.NewDesc("calvex_sensors_unclassified",
		"Entries in the newest snapshot whose names the kind table does not know (kind other): a Mac that needs a new row.", nil, nil)
	timestampDesc = prometheus.NewDesc("calvex_snapshot_timestamp_seconds",
		"When the newest snapshot was read (Unix time; 0 before the first).", nil, nil)
	startsDesc   = prometheus.NewDesc("calvex_helper_starts_total", "Helpers started, by helper.", []string{"helper"}, nil)
	failuresDesc = prometheus.NewDesc("calvex_helper_failures_total", "Helper failures by helper and error code.",
		[]string{"helper", "code"}, nil)
	pressureLevelDesc = prometheus.NewDesc("calvex_thermal_pressure_level",
		"The system's thermal pressure level: "+levelsInWords()+"; absent while unknown or stale.", nil, nil)
	pressureUpDesc = prometheus.NewDesc("calvex_thermal_pressure_up",
		"1 while the pressure helper's newest line is younger than "+freshIntervalsInWords+" intervals.", nil, nil)
)

type calvexCollector struct {
	sensors  viewer[calvex.Snapshot]
	pressure viewer[calvex.ThermalPressure] // nil without a pressure helper
}

// viewer is what the collector needs of a supervisor.
type viewer[V any] interface {
	view() helperView[V]
}

func (c calvexCollector) Describe(descs chan<- *prometheus.Desc) {
	for _, desc := range []*prometheus.Desc{temperatureDesc, upDesc, sensorsDesc, unclassifiedDesc, timestampDesc, startsDesc, failuresDesc} {
		descs <- desc
	}
	if c.pressure != nil {
		descs <- pressureLevelDesc
		descs <- pressureUpDesc
	}
}

func (c calvexCollector) Collect(metrics chan<- prometheus.Metric) {
	view := c.sensors.view()
	sensors := view.value.Sensors
	if view.fresh { // a stale reading is never served as current
		for i, occurrence := range occurrences(sensors) {
			metrics <- gauge(temperatureDesc, sensors[i].Celsius, sensors[i].Name, sensors[i].Kind(), strconv.Itoa(occurrence))
		}
	}
	unclassified := 0
	for _, sensor := range sensors {
		if sensor.Kind() == calvex.Unclassified() {
			unclassified++
		}
	}
	timestamp := 0.0
	if view.has {
		timestamp = float64(view.valueTime.UnixNano()) / 1e9
	}
	metrics <- gauge(upDesc, boolValue(view.fresh))
	metrics <- gauge(sensorsDesc, float64(len(sensors)))
	metrics <- gauge(unclassifiedDesc, float64(unclassified))
	metrics <- gauge(timestampDesc, timestamp)
	counters(metrics, "sensors", view.starts, view.failures)
	if c.pressure != nil {
		pressure := c.pressure.view()
		level := pressure.value.Level
		if pressure.fresh && level != nil && *level >= 0 && *level <= highestKnownLevel {
			metrics <- gauge(pressureLevelDesc, float64(*level))
		}
		metrics <- gauge(pressureUpDesc, boolValue(pressure.fresh))
		counters(metrics, "pressure", pressure.starts, pressure.failures)
	}
}

func counters(metrics chan<- prometheus.Metric, helper string, starts int, failures map[string]int) {
	metrics <- constant(startsDesc, prometheus.CounterValue, float64(starts), helper)
	for code, count := range failures {
		metrics <- constant(failuresDesc, prometheus.CounterValue, float64(count), helper, code)
	}
}

// occurrences is, for each sensor, how many of the same name came before
// it: the label that tells repeated names apart.
func occurrences(sensors []calvex.Sensor) []int {
	seen := make(map[string]int, len(sensors))
	counts := make([]int, len(sensors))
	for i, sensor := range sensors {
		counts[i] = seen[sensor.Name]
		seen[sensor.Name]++
	}
	return counts
}

func gauge(desc *prometheus.Desc, value float64, labels ...string) prometheus.Metric {
	return constant(desc, prometheus.GaugeValue, value, labels...)
}

// constant is the metric, or, for a label the format cannot carry, an
// invalid metric: that scrape then reports it and serves the others.
func constant(desc *prometheus.Desc, kind prometheus.ValueType, value float64, labels ...string) prometheus.Metric {
	metric, err := prometheus.NewConstMetric(desc, kind, value, labels...)
	if err != nil {
		return prometheus.NewInvalidMetric(desc, err)
	}
	return metric
}

func boolValue(b bool) float64 {
	if b {
		return 1
	}
	return 0
}

// levelsInWords is macOS's scale as the help text says it: "0 nominal, 1
// moderate, ...".
func levelsInWords() string {
	words := make([]string, 0, len(calvex.PressureLevels()))
	for level, name := range calvex.PressureLevels() {
		words = append(words, strconv.Itoa(level)+" "+name)
	}
	return strings.Join(words, ", ")
}

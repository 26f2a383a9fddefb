package calvex

import (
	"slices"
	"time"
)

// The facts every calvex client shares, for programs built on this one
// (calvex-exporter takes its bounds, codes and names from here), each read
// from the shared data.

// ShortestInterval is the shortest interval a helper takes: a shorter one
// is raised to it.
func ShortestInterval() time.Duration { return milliseconds(protocol.IntervalMs.Shortest) }

// DefaultInterval is a watch's interval when WithInterval does not say.
func DefaultInterval() time.Duration { return milliseconds(protocol.IntervalMs.Default) }

// LongestInterval is the longest interval a helper takes (its 32-bit
// microsecond sleep): a longer one is capped at it.
func LongestInterval() time.Duration { return milliseconds(protocol.IntervalMs.Longest) }

func milliseconds(count int64) time.Duration { return time.Duration(count) * time.Millisecond }

// PressureLevels is macOS's scale of thermal pressure levels, by number:
// "nominal" (0) to "sleeping" (4). A level beyond it is "unknown".
func PressureLevels() []string { return slices.Clone(protocol.PressureLevels) }

// UnknownPressure is the name of a level off the scale, or not read.
func UnknownPressure() string { return protocol.UnknownPressure }

// Unclassified is the kind of a sensor name the kind table does not know.
func Unclassified() string { return table.Unmatched }

// SensorCodes is every code a failure of the sensor helper can carry, its
// error lines' own first.
func SensorCodes() []Code { return slices.Clone(sensorCodes) }

// PressureCodes is every code a failure of the pressure helper can carry,
// its error lines' own first.
func PressureCodes() []Code { return slices.Clone(pressureCodes) }

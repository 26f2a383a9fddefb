package main

import (
	"context"
	"iter"
	"time"

	"calvex.invalid/calvex"
)

// Which helpers run: the commands given, else the helper found as the Go
// client finds it (beside this program, as the release archive lays them
// out, then in PATH). Without a sensor helper there is nothing to export;
// without a pressure helper its metrics are left out.

const (
	sensorRole   = "the sensor helper"
	pressureRole = "the pressure helper"
)

// startFailure is a failure before anything was started; the exit status is 1.
type startFailure struct{ message string }

func (e startFailure) Error() string { return e.message }

func sensorCommand(given []string) ([]string, error) {
	if given != nil {
		return given, nil
	}
	found, err := calvex.FindHelper("calvex")
	if err != nil {
		return nil, startFailure{err.Error() + "; give one with --helper"}
	}
	return []string{found}, nil
}

// pressureCommand is nil when none is given and none is found.
func pressureCommand(given []string) []string {
	if given != nil {
		return given
	}
	if found, err := calvex.FindHelper("calvex-pressure"); err == nil {
		return []string{found}
	}
	return nil
}

func sensorWatch(command []string, interval time.Duration) func(context.Context) iter.Seq2[calvex.Snapshot, error] {
	return func(ctx context.Context) iter.Seq2[calvex.Snapshot, error] {
		return calvex.WatchSensors(ctx, calvex.WithHelper(command...), calvex.WithInterval(interval))
	}
}

func pressureWatch(command []string, interval time.Duration) func(context.Context) iter.Seq2[calvex.ThermalPressure, error] {
	return func(ctx context.Context) iter.Seq2[calvex.ThermalPressure, error] {
		return calvex.WatchThermalPressure(ctx, calvex.WithPressureHelper(command...), calvex.WithInterval(interval))
	}
}

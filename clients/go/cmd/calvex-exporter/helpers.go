package main

import (
	"context"
	"errors"
	"iter"
	"os"
	"os/exec"
	"path/filepath"
	"runtime"
	"time"

	"calvex.invalid/calvex"
)

// Which helpers run: the commands given, else the helper beside this
// program (as the release archive lays them out), else in PATH. Without a
// sensor helper there is nothing to export; without a pressure helper its
// metrics are left out.

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
	if found := findHelper("calvex"); found != "" {
		return []string{found}, nil
	}
	if runtime.GOOS != "darwin" || runtime.GOARCH != "arm64" {
		return nil, startFailure{"calvex runs on macOS on Apple Silicon only, not " + runtime.GOOS + " " + runtime.GOARCH +
			", and no calvex helper is beside this program or in PATH: give one with --helper"}
	}
	return nil, startFailure{"no calvex helper is beside this program or in PATH: give one with --helper"}
}

// pressureCommand is nil when none is given and none is found.
func pressureCommand(given []string) []string {
	if given != nil {
		return given
	}
	if found := findHelper("calvex-pressure"); found != "" {
		return []string{found}
	}
	return nil
}

func findHelper(program string) string {
	if executable, err := os.Executable(); err == nil {
		beside := filepath.Join(filepath.Dir(executable), program)
		if info, err := os.Stat(beside); err == nil && info.Mode().IsRegular() && info.Mode().Perm()&0o111 != 0 {
			return beside
		}
	}
	if found, err := exec.LookPath(program); err == nil && !errors.Is(err, exec.ErrDot) {
		return found
	}
	return ""
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

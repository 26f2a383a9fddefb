// Command hottest prints the hottest CPU part of this Mac and its thermal
// pressure level, through the calvex helpers:
//
//	$ hottest
//	hottest CPU part: PMU tdie3 at 51.80 °C
//	thermal pressure: nominal (level 0)
//
// CALVEX_HELPER and CALVEX_PRESSURE_HELPER, when set, are the helper
// commands to run instead, as words split at spaces (the tests use them).
package main

import (
	"context"
	"errors"
	"fmt"
	"os"
	"strings"
	"time"

	"calvex.invalid/calvex"
)

func main() {
	ctx, cancel := context.WithTimeout(context.Background(), 10*time.Second)
	defer cancel()
	var options []calvex.Option
	if words := os.Getenv("CALVEX_HELPER"); words != "" {
		options = append(options, calvex.WithHelper(strings.Fields(words)...))
	}
	if words := os.Getenv("CALVEX_PRESSURE_HELPER"); words != "" {
		options = append(options, calvex.WithPressureHelper(strings.Fields(words)...))
	}
	snapshot, err := calvex.ReadSensors(ctx, options...)
	if err != nil {
		fail(err)
	}
	if cpu, ok := calvex.Hottest(snapshot, "cpu"); ok {
		fmt.Printf("hottest CPU part: %s at %.2f °C\n", cpu.Name, cpu.Celsius)
	} else {
		fmt.Println("hottest CPU part: none with a reading")
	}
	pressure, err := calvex.ReadThermalPressure(ctx, options...)
	if err != nil {
		fail(err)
	}
	if pressure.Level == nil {
		fmt.Printf("thermal pressure: %s\n", pressure.Pressure)
	} else {
		fmt.Printf("thermal pressure: %s (level %d)\n", pressure.Pressure, *pressure.Level)
	}
}

func fail(err error) {
	var failure *calvex.Error
	if errors.As(err, &failure) {
		fmt.Fprintf(os.Stderr, "hottest: %s (%s)\n", failure.Message, failure.Code)
	} else {
		fmt.Fprintf(os.Stderr, "hottest: %v\n", err)
	}
	os.Exit(1)
}

// Package calvex reads the temperature sensors of an Apple Silicon Mac,
// and its thermal pressure level, through the calvex helpers: small signed
// programs that write one JSON line per snapshot and end with their parent.
//
//	snapshot, err := calvex.ReadSensors(ctx)
//	if hottest, ok := calvex.Hottest(snapshot, "cpu"); ok {
//		fmt.Printf("%s %.2f °C\n", hottest.Name, hottest.Celsius)
//	}
//	for snapshot, err := range calvex.WatchSensors(ctx, calvex.WithInterval(time.Second)) {
//		// break stops the helper
//	}
//
// The helpers are found beside the running program (as the release archive
// lays them out), then in PATH, unless WithHelper and WithPressureHelper
// name them. Every failure is an *Error with a Code from the table every
// calvex client shares. The package uses the standard library only.
package calvex

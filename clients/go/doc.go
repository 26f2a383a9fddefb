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
// name them. A failure of the helper, or of the options a call was given,
// is an *Error with a Code from the table every calvex client shares
// (errors.As); one that came from the system wraps its error (errors.Is
// with fs.ErrNotExist tells a missing helper). The end of the context is
// the context's own error, ctx.Err(), never an *Error.
//
// Range over a watch with both variables: "for snapshot := range
// WatchSensors(ctx)" never sees the failure that ends the loop.
//
// The package uses the standard library only.
package calvex

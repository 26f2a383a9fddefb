package calvex_test

import (
	"context"
	"errors"
	"fmt"

	"calvex.invalid/calvex"
)

// A watch ranged over with both variables: the failure that ends it is
// the last thing the loop sees. Ranged over with one variable, the loop
// would just stop.
func ExampleWatchSensors() {
	helper := calvex.WithHelper("/bin/sh", "-c", "echo garbage; exec sleep 30", "sh")
	for snapshot, err := range calvex.WatchSensors(context.Background(), helper) {
		var failure *calvex.Error
		if errors.As(err, &failure) {
			fmt.Println(failure.Code, failure.Message)
			break
		}
		fmt.Println(snapshot.Sensors[0].Name, snapshot.Sensors[0].Celsius)
	}
	// Output:
	// BAD_OUTPUT calvex wrote a line that is not JSON: garbage
}

// Command oneshot times ReadSensors: COUNT reads of the helper given as the
// remaining words, one line of microseconds per read.
package main

import (
	"context"
	"fmt"
	"os"
	"strconv"
	"time"

	"calvex.invalid/calvex"
)

func main() {
	count, err := strconv.Atoi(os.Args[1])
	if err != nil {
		fmt.Fprintln(os.Stderr, "usage: oneshot COUNT HELPER...")
		os.Exit(2)
	}
	for range count {
		started := time.Now()
		if _, err := calvex.ReadSensors(context.Background(), calvex.WithHelper(os.Args[2:]...)); err != nil {
			fmt.Fprintln(os.Stderr, err)
			os.Exit(1)
		}
		fmt.Println(time.Since(started).Microseconds())
	}
}

package calvex

import (
	"context"
	"iter"
)

// The faces over the process core: one value with a --once run, a stream
// of values with a watch. No helper outlives the call or the loop.

// The helpers as the faces know them: the program to look for, the name
// its failures give it (both from the shared data), the option that names
// it and the other helper's, and the parse of its lines.
type helperKind[V any] struct {
	program     string
	role        string
	option      string
	otherOption string
	parse       func(string) (V, error)
}

var (
	sensorHelper = helperKind[Snapshot]{protocol.Helpers.Sensors.Program, protocol.Helpers.Sensors.Role,
		withHelper, withPressureHelper, parseLine}
	pressureHelper = helperKind[ThermalPressure]{protocol.Helpers.Pressure.Program, protocol.Helpers.Pressure.Role,
		withPressureHelper, withHelper, parsePressureLine}
)

// ReadSensors runs the sensor helper once (calvex --once) and returns its
// snapshot once the helper has exited. The context's deadline or
// cancellation stops the helper, reaps it, and returns ctx.Err().
func ReadSensors(ctx context.Context, opts ...Option) (Snapshot, error) {
	return readOnce(ctx, "ReadSensors", sensorHelper, opts)
}

// ReadThermalPressure runs the pressure helper once (calvex-pressure
// --once) and returns the system's thermal pressure level, e.g.
// {Pressure: "nominal", Level: 0}. As ReadSensors; WithPressureHelper
// names the helper.
func ReadThermalPressure(ctx context.Context, opts ...Option) (ThermalPressure, error) {
	return readOnce(ctx, "ReadThermalPressure", pressureHelper, opts)
}

// WatchSensors runs the sensor helper at an interval (WithInterval,
// default 2 s) and yields its snapshots. A consumer slower than the
// interval gets the newest snapshot, never a backlog. A failure is yielded
// once, as the error, and ends the loop; so does the context's end, with
// ctx.Err(). Range with both variables: a loop over the snapshot alone
// ends at a failure without seeing it. Breaking out of the loop, the
// context's end and a panic in the loop's body stop the helper and reap it
// before the loop is left.
func WatchSensors(ctx context.Context, opts ...Option) iter.Seq2[Snapshot, error] {
	return watch(ctx, "WatchSensors", sensorHelper, opts)
}

// WatchThermalPressure is WatchSensors for the pressure helper: one level
// per interval, whether or not it changed.
func WatchThermalPressure(ctx context.Context, opts ...Option) iter.Seq2[ThermalPressure, error] {
	return watch(ctx, "WatchThermalPressure", pressureHelper, opts)
}

func readOnce[V any](ctx context.Context, call string, kind helperKind[V], opts []Option) (V, error) {
	var none V
	o, err := optionsOf(call, opts)
	if err != nil {
		return none, err
	}
	command, err := helperCommand(call, kind, o, "--once")
	if err != nil {
		return none, err
	}
	if err := ctx.Err(); err != nil {
		return none, err
	}
	run := startRun(command, kind.parse, true, kind.role)
	select {
	case <-run.done:
	case <-ctx.Done():
		run.close()
		return none, ctx.Err()
	}
	if run.failure != nil {
		return none, run.failure
	}
	value, _ := run.take()
	return value, nil
}

func watch[V any](ctx context.Context, call string, kind helperKind[V], opts []Option) iter.Seq2[V, error] {
	return func(yield func(V, error) bool) {
		var none V
		o, err := optionsOf(call, opts)
		var command []string
		if err == nil {
			command, err = helperCommand(call, kind, o, intervalArgument(o.interval))
		}
		if err == nil {
			err = ctx.Err()
		}
		if err != nil {
			yield(none, err)
			return
		}
		run := startRun(command, kind.parse, false, kind.role)
		defer run.close() // after a break, the context's end or a panic too
		for {
			select {
			case <-run.changed:
				if value, ok := run.take(); ok && !yield(value, nil) {
					return
				}
			case <-run.done:
				if value, ok := run.take(); ok && !yield(value, nil) {
					return
				}
				if run.failure != nil {
					yield(none, run.failure)
				}
				return
			case <-ctx.Done():
				run.close()
				yield(none, ctx.Err())
				return
			}
		}
	}
}

package main

import (
	"context"
	"errors"
	"iter"
	"strconv"
	"sync"
	"sync/atomic"
	"time"

	"calvex.invalid/calvex"
)

// One helper kept running: its newest value, how often it was started,
// and its failures by code; after any failure (an error line, a bad line,
// an exit, a crash, ten intervals without a line) a new helper after a
// backoff. Readers take one consistent view at a time.

const (
	// This many intervals without a line and the helper counts as hung.
	silentIntervals = 10
	// A value older than this many intervals is stale, never served as current.
	freshIntervals = 3
	// The same number as a person reads it, in help texts and the log.
	freshIntervalsInWords = "three"
)

// The codes each helper's failures are counted under, each from 0.
var (
	sensorFailureCodes   = codeNames(calvex.SensorCodes())
	pressureFailureCodes = codeNames(calvex.PressureCodes())
)

// backoff is the wait before the next helper: first after a failure,
// doubled after each further one up to longest, and first again once a
// helper has run ranWell before failing.
type backoff struct {
	first, longest, ranWell time.Duration
}

var defaultBackoff = backoff{first: time.Second, longest: time.Minute, ranWell: time.Minute}

func (b backoff) next(previous, ranFor time.Duration) time.Duration {
	if previous == 0 || ranFor >= b.ranWell {
		return b.first
	}
	return min(previous*2, b.longest)
}

// helperView is what a reader sees at one moment.
type helperView[V any] struct {
	value       V
	has         bool      // a value has come
	valueTime   time.Time // when it was read; zero before the first
	fresh       bool      // younger than freshIntervals intervals, and not stopped
	starts      int
	failures    map[string]int
	lastFailure *calvex.Error
}

type supervisor[V any] struct {
	role     string // "the sensor helper", in the log
	label    string // "sensors", the helper label of its metrics
	watch    func(ctx context.Context) iter.Seq2[V, error]
	interval time.Duration
	backoff  backoff
	// pause waits out a backoff; a stop cuts it short.
	pause func(ctx context.Context, wait time.Duration)
	woken chan struct{} // a value or a failure came; shared by every helper

	mu       sync.Mutex
	value    V
	has      bool
	read     time.Time // wall clock and monotonic reading, both kept by time.Time
	starts   int
	failures map[string]int
	last     *calvex.Error
	stopped  bool
	done     chan struct{}
}

func newSupervisor[V any](role, label string, codes []string, interval time.Duration, woken chan struct{},
	watch func(ctx context.Context) iter.Seq2[V, error]) *supervisor[V] {
	failures := make(map[string]int, len(codes))
	for _, code := range codes {
		failures[code] = 0
	}
	return &supervisor[V]{role: role, label: label, watch: watch, interval: interval, backoff: defaultBackoff,
		pause: sleepUnlessStopped, woken: woken, failures: failures, done: make(chan struct{})}
}

func sleepUnlessStopped(ctx context.Context, wait time.Duration) {
	timer := time.NewTimer(wait)
	defer timer.Stop()
	select {
	case <-timer.C:
	case <-ctx.Done():
	}
}

func (s *supervisor[V]) view() helperView[V] {
	s.mu.Lock()
	defer s.mu.Unlock()
	failures := make(map[string]int, len(s.failures))
	for code, count := range s.failures {
		failures[code] = count
	}
	fresh := s.has && !s.stopped && time.Since(s.read) < freshIntervals*s.interval
	return helperView[V]{value: s.value, has: s.has, valueTime: s.read, fresh: fresh, starts: s.starts,
		failures: failures, lastFailure: s.last}
}

// run keeps a helper running until ctx ends; then its helper has been
// stopped and reaped, and nothing it read is fresh any more.
func (s *supervisor[V]) run(ctx context.Context) {
	defer close(s.done)
	defer s.locked(func() { s.stopped = true })
	var wait time.Duration
	for ctx.Err() == nil {
		started := time.Now()
		failure := s.runOne(ctx)
		if failure == nil {
			return
		}
		s.locked(func() {
			s.failures[string(failure.Code)]++
			s.last = failure
		})
		s.wake()
		wait = s.backoff.next(wait, time.Since(started))
		s.pause(ctx, wait)
	}
}

// runOne runs one helper to its end: its failure, or nil once ctx ended.
func (s *supervisor[V]) runOne(ctx context.Context) *calvex.Error {
	runCtx, cancel := context.WithCancel(ctx)
	defer cancel()
	var silent atomic.Bool
	silence := silentIntervals * s.interval
	hung := time.AfterFunc(silence, func() { silent.Store(true); cancel() })
	defer hung.Stop()
	s.locked(func() { s.starts++ })
	for value, err := range s.watch(runCtx) {
		switch {
		case ctx.Err() != nil:
			return nil
		case silent.Load():
			return &calvex.Error{Code: calvex.CodeHelperFailed, Message: s.role + " wrote no line for " +
				strconv.Itoa(silentIntervals) + " intervals (" + silence.String() + ") and was stopped"}
		case err != nil:
			return asCalvexError(err)
		}
		hung.Reset(silence)
		s.locked(func() { s.value, s.has, s.read = value, true, time.Now() })
		s.wake()
	}
	if ctx.Err() != nil {
		return nil
	}
	return &calvex.Error{Code: calvex.CodeHelperFailed, Message: s.role + " ended without a failure"}
}

func asCalvexError(err error) *calvex.Error {
	var known *calvex.Error
	if errors.As(err, &known) {
		return known
	}
	return &calvex.Error{Code: calvex.CodeHelperFailed, Message: err.Error()}
}

func (s *supervisor[V]) locked(change func()) {
	s.mu.Lock()
	defer s.mu.Unlock()
	change()
}

func (s *supervisor[V]) wake() {
	select {
	case s.woken <- struct{}{}:
	default: // one wake-up waiting is enough
	}
}

func codeNames(codes []calvex.Code) []string {
	names := make([]string, len(codes))
	for at, code := range codes {
		names[at] = string(code)
	}
	return names
}

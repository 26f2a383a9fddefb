package main

import (
	"bytes"
	"context"
	"encoding/json"
	"errors"
	"iter"
	"log/slog"
	"os"
	"path/filepath"
	"reflect"
	"runtime/debug"
	"strings"
	"sync"
	"sync/atomic"
	"testing"
	"time"

	"calvex.invalid/calvex"
	"github.com/prometheus/client_golang/prometheus"
	"github.com/prometheus/client_golang/prometheus/testutil"
)

// What is hard to reach through the binary: the backoff's exact waits, a
// minute of failures in a second, and every reported machine's snapshot
// through the collector. The binary itself is tested black-box by
// tests/exporter/.

func TestTheBackoffDoublesToItsCapAndResetsAfterAGoodRun(t *testing.T) {
	b := backoff{first: 10 * time.Millisecond, longest: 40 * time.Millisecond, ranWell: 400 * time.Millisecond}
	ranFor := []time.Duration{0, 0, 0, 0, time.Second, 0, 0}
	var waits []time.Duration
	var wait time.Duration
	for _, ran := range ranFor {
		wait = b.next(wait, ran)
		waits = append(waits, wait)
	}
	want := []time.Duration{10, 20, 40, 40, 10, 20, 40}
	for i := range want {
		want[i] *= time.Millisecond
	}
	if !reflect.DeepEqual(waits, want) {
		t.Fatalf("waits %v, want %v", waits, want)
	}
}

func TestTheSupervisorsBackoffStartsAgainAfterAHelperRanWell(t *testing.T) {
	// Runs that fail at once, then one that runs past ranWell before it
	// fails, then one that fails at once: the wait after it is the first again.
	ranFor := []time.Duration{0, 0, 0, 250 * time.Millisecond, 0}
	var runs atomic.Int32
	watch := func(ctx context.Context) iter.Seq2[calvex.Snapshot, error] {
		return func(yield func(calvex.Snapshot, error) bool) {
			run := int(runs.Add(1)) - 1
			if run < len(ranFor) {
				time.Sleep(ranFor[run])
			}
			yield(calvex.Snapshot{}, &calvex.Error{Code: calvex.CodeHelperFailed, Message: "failed"})
		}
	}
	s := newSupervisor(sensorRole, "sensors", sensorFailureCodes, 200*time.Millisecond, make(chan struct{}, 1), watch)
	s.backoff = backoff{first: time.Millisecond, longest: 8 * time.Millisecond, ranWell: 200 * time.Millisecond}
	var waits []time.Duration
	ctx, stop := context.WithCancel(context.Background())
	s.pause = func(_ context.Context, wait time.Duration) {
		if waits = append(waits, wait); len(waits) == len(ranFor) {
			stop()
		}
	}
	s.run(ctx)
	want := []time.Duration{1, 2, 4, 1, 2}
	for i := range want {
		want[i] *= time.Millisecond
	}
	if !reflect.DeepEqual(waits, want) {
		t.Fatalf("waits %v, want %v", waits, want)
	}
}

// failingWatch fails at once, each run, with this error.
func failingWatch(err error) func(context.Context) iter.Seq2[calvex.Snapshot, error] {
	return func(context.Context) iter.Seq2[calvex.Snapshot, error] {
		return func(yield func(calvex.Snapshot, error) bool) { yield(calvex.Snapshot{}, err) }
	}
}

// silentWatch writes one snapshot, then nothing until it is stopped.
func silentWatch(ctx context.Context) iter.Seq2[calvex.Snapshot, error] {
	return func(yield func(calvex.Snapshot, error) bool) {
		if !yield(calvex.Snapshot{Sensors: []calvex.Sensor{{Name: "PMU tdie1", Celsius: 40.25}}}, nil) {
			return
		}
		<-ctx.Done()
		yield(calvex.Snapshot{}, ctx.Err())
	}
}

type lockedBuffer struct {
	mu sync.Mutex
	bytes.Buffer
}

func (b *lockedBuffer) Write(p []byte) (int, error) {
	b.mu.Lock()
	defer b.mu.Unlock()
	return b.Buffer.Write(p)
}

func waitFor(t *testing.T, what string, check func() bool) {
	t.Helper()
	deadline := time.Now().Add(20 * time.Second)
	for !check() {
		if time.Now().After(deadline) {
			t.Fatalf("%s: not within 20 s", what)
		}
		time.Sleep(5 * time.Millisecond)
	}
}

func TestAHelperFailingInALoopIsOneLogLineNotOneARetry(t *testing.T) {
	var out lockedBuffer
	log := newStateLog(slog.New(slog.NewTextHandler(&out, nil)), sensorRole, "readings")
	failure := &calvex.Error{Code: "HELPER_FAILED", Message: "the calvex helper exited with status 1"}
	s := newSupervisor(sensorRole, "sensors", sensorFailureCodes, 200*time.Millisecond, make(chan struct{}, 1), failingWatch(failure))
	s.backoff = backoff{first: time.Millisecond, longest: 2 * time.Millisecond, ranWell: time.Minute}
	ctx, stop := context.WithCancel(context.Background())
	go s.run(ctx)
	watched := watchedHelper[calvex.Snapshot]{s, log}
	waitFor(t, "60 failures", func() bool { watched.look(); return s.view().failures["HELPER_FAILED"] >= 60 })
	stop()
	<-s.done
	lines := strings.Split(strings.TrimSpace(out.String()), "\n")
	if len(lines) != 1 || !strings.Contains(lines[0], `msg="helper failed; retrying with backoff" helper="the sensor helper" code=HELPER_FAILED error="the calvex helper exited with status 1"`) {
		t.Fatalf("the log said %q", lines)
	}
}

func TestEachEndOfAHelperIsCountedUnderItsCode(t *testing.T) {
	cases := []struct {
		name  string
		watch func(context.Context) iter.Seq2[calvex.Snapshot, error]
		code  string
	}{
		{"an error line", failingWatch(&calvex.Error{Code: "NO_HID_EVENT_SYSTEM", Message: "calvex: no HID event system"}), "NO_HID_EVENT_SYSTEM"},
		{"an error of no code", failingWatch(errors.New("pipe broke")), "HELPER_FAILED"},
		{"ten intervals without a line", silentWatch, "HELPER_FAILED"},
	}
	for _, each := range cases {
		t.Run(each.name, func(t *testing.T) {
			s := newSupervisor(sensorRole, "sensors", sensorFailureCodes, 20*time.Millisecond, make(chan struct{}, 1), each.watch)
			s.backoff = backoff{first: time.Hour, longest: time.Hour, ranWell: time.Hour}
			ctx, stop := context.WithCancel(context.Background())
			go s.run(ctx)
			waitFor(t, "a counted failure", func() bool { return s.view().failures[each.code] == 1 })
			stop()
			<-s.done
			if view := s.view(); view.fresh || view.starts != 1 {
				t.Fatalf("after the stop: fresh %v, %d starts", view.fresh, view.starts)
			}
		})
	}
}

// still holds one snapshot, fresh.
type still struct{ snapshot calvex.Snapshot }

func (s still) view() helperView[calvex.Snapshot] {
	return helperView[calvex.Snapshot]{value: s.snapshot, has: true, valueTime: time.Now(), fresh: true, starts: 1, failures: map[string]int{}}
}

func TestEveryReportedMachineGetsDistinctSeriesWithTheirKinds(t *testing.T) {
	root := os.Getenv("CALVEX_TEST_ROOT")
	if root == "" {
		root = "../../../.."
	}
	expected, _ := filepath.Glob(filepath.Join(root, "sim", "scenarios", "*.expected"))
	if len(expected) < 8 {
		t.Fatalf("only %d scenarios found under %s", len(expected), root)
	}
	for _, path := range expected {
		text, err := os.ReadFile(path)
		if err != nil {
			t.Fatal(err)
		}
		for _, line := range strings.Split(strings.TrimSpace(string(text)), "\n") {
			var parsed struct {
				Sensors []struct {
					Name string  `json:"name"`
					T    float64 `json:"t"`
				} `json:"sensors"`
			}
			if json.Unmarshal([]byte(line), &parsed) != nil {
				continue // an error line: nothing to serve
			}
			var snapshot calvex.Snapshot
			unclassified := 0
			for _, entry := range parsed.Sensors {
				snapshot.Sensors = append(snapshot.Sensors, calvex.Sensor{Name: entry.Name, Celsius: entry.T})
				if calvex.KindOf(entry.Name) == "other" {
					unclassified++
				}
			}
			registry := prometheus.NewPedanticRegistry()
			registry.MustRegister(calvexCollector{sensors: still{snapshot}})
			if got := testutil.CollectAndCount(registry, "calvex_temperature_celsius"); got != len(snapshot.Sensors) {
				t.Fatalf("%s: %d series for %d entries: two entries share a label set", filepath.Base(path), got, len(snapshot.Sensors))
			}
			families, err := registry.Gather()
			if err != nil {
				t.Fatalf("%s: %v", filepath.Base(path), err)
			}
			for _, family := range families {
				if family.GetName() == "calvex_sensors_unclassified" && int(family.Metric[0].Gauge.GetValue()) != unclassified {
					t.Fatalf("%s: %v unclassified, want %d", filepath.Base(path), family.Metric[0].Gauge.GetValue(), unclassified)
				}
			}
		}
	}
}

func TestTheHelperWordsAreSplitOffAndTheIntervalKeptInBounds(t *testing.T) {
	leading, commands, twice := splitHelperCommands([]string{"--listen", "127.0.0.1:0", "--helper", "/bin/sh", "-c", "--listen", "--pressure-helper", "p"})
	if !reflect.DeepEqual(leading, []string{"--listen", "127.0.0.1:0"}) || len(twice) != 0 ||
		!reflect.DeepEqual(commands, map[string][]string{"--helper": {"/bin/sh", "-c", "--listen"}, "--pressure-helper": {"p"}}) {
		t.Fatalf("split into %q and %q", leading, commands)
	}
	// A helper option given twice is one mistake to say, never one command or the other.
	if _, _, twice := splitHelperCommands([]string{"--helper", "a", "--pressure-helper", "p", "--helper", "x", "--helper", "y"}); !reflect.DeepEqual(twice, []string{"--helper"}) {
		t.Fatalf("given twice: %q", twice)
	}
	for given, want := range map[string]int64{"0": shortestMs, "199": shortestMs, "0500": 500, "4294968": longestMs, "99999999999999999999": longestMs} {
		var s settings
		if err := s.takeInterval(given); err != nil || s.intervalMs != want || (s.intervalAsked != "") == (want == 500) {
			t.Fatalf("--interval-ms %s: %d (asked %q), %v", given, s.intervalMs, s.intervalAsked, err)
		}
	}
}

func TestAPlainBuildTakesItsVersionFromTheBuildInformation(t *testing.T) {
	read := func(version string) func() (*debug.BuildInfo, bool) {
		return func() (*debug.BuildInfo, bool) { return &debug.BuildInfo{Main: debug.Module{Version: version}}, true }
	}
	for _, each := range []struct{ set, built, want string }{
		{"0.4.0", "v9.9.9", "0.4.0"},
		{"0.0.0-dev", "v0.4.0", "0.4.0"},
		{"0.0.0-dev", "(devel)", "0.0.0-dev"},
		{"0.0.0-dev", "", "0.0.0-dev"},
	} {
		if got := builtVersion(each.set, read(each.built)); got != each.want {
			t.Errorf("set %q, built %q: %q, want %q", each.set, each.built, got, each.want)
		}
	}
}

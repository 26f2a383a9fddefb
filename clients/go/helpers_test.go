package calvex

// The faces against the real helpers on the simulated platform, as the
// other clients' suites run them: a snapshot and a level; the watch's
// newest-wins under a slow consumer; no helper left after a cancel, a
// break, a panic in the loop, or the program's own death; and each way a
// helper fails. Every wait has a deadline that only a fault reaches.

import (
	"context"
	"errors"
	"fmt"
	"io/fs"
	"os"
	"os/exec"
	"path/filepath"
	"strconv"
	"strings"
	"syscall"
	"testing"
	"time"
)

var (
	simrun       = fromEnvironment("CALVEX_TEST_SIMRUN", filepath.Join(repository, "build", "sim", "simrun"))
	tool         = fromEnvironment("CALVEX_TEST_TOOL", filepath.Join(repository, "build", "calvex"))
	pressureTool = fromEnvironment("CALVEX_TEST_PRESSURE_TOOL", filepath.Join(filepath.Dir(tool), "calvex-pressure"))
	timeScale    = func() float64 {
		scale, err := strconv.ParseFloat(os.Getenv("CALVEX_TEST_TIME_SCALE"), 64)
		if err != nil || scale < 1 {
			return 1
		}
		return scale
	}()
)

func fromEnvironment(name, otherwise string) string {
	if value := os.Getenv(name); value != "" {
		return value
	}
	absolute, _ := filepath.Abs(otherwise)
	return absolute
}

// bound is a deadline only a fault reaches, widened on slow lanes.
func bound(seconds float64) time.Duration {
	return time.Duration(seconds * timeScale * float64(time.Second))
}

// simulated is a helper command with simulated-platform variables in front.
func simulated(helper string, variables ...string) []string {
	return append(append([]string{"/usr/bin/env", "CALVEX_SIM_CLOCK=real"}, variables...), simrun, helper)
}

func scenario(name string) string {
	return "CALVEX_SIM_SCENARIO=" + filepath.Join(repository, "sim", "scenarios", name+".scenario")
}

func firstExpectedLine(t *testing.T, name string) Snapshot {
	data, err := os.ReadFile(filepath.Join(repository, "sim", "scenarios", name+".expected"))
	if err != nil {
		t.Fatal(err)
	}
	snapshot, err := parseLine(strings.SplitN(string(data), "\n", 2)[0])
	if err != nil {
		t.Fatal(err)
	}
	return snapshot
}

// script is a helper made of one shell script that writes its pid first
// to the file pidFile, so a test can see it gone.
func script(pidFile, text string) []string {
	return []string{"/bin/sh", "-c", "echo $$ > " + pidFile + "; " + text, "sh"}
}

func pidIn(t *testing.T, file string) int {
	t.Helper()
	deadline := time.Now().Add(bound(10))
	for time.Now().Before(deadline) {
		data, err := os.ReadFile(file)
		if pid, perr := strconv.Atoi(strings.TrimSpace(string(data))); err == nil && perr == nil {
			return pid
		}
		time.Sleep(10 * time.Millisecond)
	}
	t.Fatalf("no pid in %s", file)
	return 0
}

// gone is whether the process has ended and been reaped: no such process,
// or, when another parent adopted it, no longer running.
func gone(pid int) bool {
	if syscall.Kill(pid, 0) != nil {
		return true
	}
	stat, err := os.ReadFile(fmt.Sprintf("/proc/%d/stat", pid))
	return err != nil || strings.Contains(string(stat[strings.LastIndexByte(string(stat), ')')+1:]), " Z ")
}

func waitGone(t *testing.T, pid int, seconds float64) {
	t.Helper()
	deadline := time.Now().Add(bound(seconds))
	for !gone(pid) {
		if time.Now().After(deadline) {
			t.Fatalf("process %d is still there", pid)
		}
		time.Sleep(10 * time.Millisecond)
	}
}

func TestReadSensorsGivesTheScenariosSnapshot(t *testing.T) {
	snapshot, err := ReadSensors(context.Background(), WithHelper(simulated(tool, scenario("laptop"))...))
	if err != nil {
		t.Fatal(err)
	}
	want := firstExpectedLine(t, "laptop")
	if fmt.Sprint(snapshot) != fmt.Sprint(want) || len(snapshot.Sensors) == 0 {
		t.Errorf("got %v, want %v", snapshot, want)
	}
	if snapshot.Sensors[0].Kind() != KindOf(snapshot.Sensors[0].Name) {
		t.Error("Sensor.Kind is not KindOf its name")
	}
}

func TestReadThermalPressureGivesTheLevel(t *testing.T) {
	level, err := ReadThermalPressure(context.Background(), WithPressureHelper(simulated(pressureTool, "CALVEX_SIM_PRESSURE=2")...))
	if err != nil || level.Pressure != "heavy" || level.Level == nil || *level.Level != 2 {
		t.Fatalf("got %v %v", level, err)
	}
}

// writtenSnapshots counts the lines the simulated helper has flushed.
func writtenSnapshots(trace string) int {
	data, _ := os.ReadFile(trace)
	return strings.Count(string(data), "fflush stdout")
}

func TestASlowConsumerGetsTheNewestSnapshotNeverABacklog(t *testing.T) {
	folder := t.TempDir()
	var blocks strings.Builder
	for i := 1; i <= 120; i++ {
		fmt.Fprintf(&blocks, "snapshot\nsensor %d \"sequence\"\n", i)
	}
	scenarioFile, trace := filepath.Join(folder, "sequence.scenario"), filepath.Join(folder, "trace")
	if err := os.WriteFile(scenarioFile, []byte(blocks.String()), 0o644); err != nil {
		t.Fatal(err)
	}
	helper := simulated(tool, "CALVEX_SIM_SCENARIO="+scenarioFile, "CALVEX_SIM_TRACE="+trace)
	var seen []float64
	for snapshot, err := range WatchSensors(context.Background(), WithHelper(helper...), WithInterval(200*time.Millisecond)) {
		if err != nil {
			t.Fatal(err)
		}
		seen = append(seen, snapshot.Sensors[0].Celsius)
		if len(seen) == 4 {
			break
		}
		// Slow: wait until the helper has written three snapshots past this one.
		deadline := time.Now().Add(bound(20))
		for float64(writtenSnapshots(trace)) < snapshot.Sensors[0].Celsius+3 {
			if time.Now().After(deadline) {
				t.Fatal("the helper wrote no more snapshots")
			}
			time.Sleep(20 * time.Millisecond)
		}
	}
	for i := 1; i < len(seen); i++ {
		if seen[i]-seen[i-1] < 2 {
			t.Fatalf("%v: queued snapshots were kept", seen)
		}
	}
}

func TestNoHelperOutlivesACancelABreakOrAPanic(t *testing.T) {
	silent := "exec sleep 30"
	writing := `while :; do echo '{"sensors":[]}'; sleep 0.05; done`
	cases := []struct {
		name string
		body func(t *testing.T, helper []string)
	}{
		{"a read whose deadline passes", func(t *testing.T, helper []string) {
			ctx, cancel := context.WithTimeout(context.Background(), 300*time.Millisecond)
			defer cancel()
			if _, err := ReadSensors(ctx, WithHelper(append(helper, silent)...)); !errors.Is(err, context.DeadlineExceeded) {
				t.Errorf("got %v", err)
			}
		}},
		{"a watch whose context is cancelled", func(t *testing.T, helper []string) {
			ctx, cancel := context.WithCancel(context.Background())
			defer cancel()
			var last error
			for _, err := range WatchSensors(ctx, WithHelper(append(helper, writing)...)) {
				last = err
				cancel()
			}
			if !errors.Is(last, context.Canceled) {
				t.Errorf("the loop ended with %v", last)
			}
		}},
		{"a helper that ignores SIGTERM, killed after the grace period", func(t *testing.T, helper []string) {
			ctx, cancel := context.WithTimeout(context.Background(), 300*time.Millisecond)
			defer cancel()
			deaf := "trap '' TERM; while :; do sleep 0.05; done"
			if _, err := ReadSensors(ctx, WithHelper(append(helper, deaf)...)); !errors.Is(err, context.DeadlineExceeded) {
				t.Errorf("got %v", err)
			}
		}},
		{"a break", func(t *testing.T, helper []string) {
			for range WatchSensors(context.Background(), WithHelper(append(helper, writing)...)) {
				break
			}
		}},
		{"a panic in the loop's body", func(t *testing.T, helper []string) {
			defer func() {
				if recover() == nil {
					t.Error("the panic was lost")
				}
			}()
			for range WatchSensors(context.Background(), WithHelper(append(helper, writing)...)) {
				panic("in the body")
			}
		}},
	}
	for _, each := range cases {
		t.Run(each.name, func(t *testing.T) {
			pidFile := filepath.Join(t.TempDir(), "pid")
			started := time.Now()
			returned := make(chan struct{})
			go func() {
				defer close(returned)
				each.body(t, []string{"/bin/sh", "-c", "echo $$ > " + pidFile + "; eval \"$1\"", "sh"})
			}()
			select {
			case <-returned:
			case <-time.After(bound(10)):
				t.Fatal("the call has not returned: its helper is not reaped")
			}
			pid := pidIn(t, pidFile)
			if !gone(pid) {
				t.Errorf("helper %d is still there when the call returns", pid)
			}
			if took := time.Since(started); took > bound(5) {
				t.Errorf("took %v", took)
			}
		})
	}
}

// A program that watches and is then killed: its helper, the real calvex,
// ends by itself once its parent has gone.
func TestNoHelperOutlivesItsKilledProgram(t *testing.T) {
	if os.Getenv("CALVEX_GO_CHILD") != "" {
		for range WatchSensors(context.Background(), WithHelper(strings.Split(os.Getenv("CALVEX_GO_CHILD"), "\x1f")...), WithInterval(200*time.Millisecond)) {
			fmt.Println("snapshot")
		}
		return
	}
	child := exec.Command(os.Args[0], "-test.run=^TestNoHelperOutlivesItsKilledProgram$")
	child.Env = append(os.Environ(), "CALVEX_GO_CHILD="+strings.Join(simulated(tool), "\x1f"))
	output, err := child.StdoutPipe()
	if err != nil {
		t.Fatal(err)
	}
	if err := child.Start(); err != nil {
		t.Fatal(err)
	}
	line := make([]byte, 9)
	if _, err := output.Read(line); err != nil || string(line) != "snapshot\n" {
		t.Fatalf("the program said %q, %v", line, err)
	}
	helpers := childrenOf(child.Process.Pid)
	if len(helpers) != 1 {
		t.Fatalf("the program runs %v", helpers)
	}
	_ = child.Process.Kill()
	_ = child.Wait()
	waitGone(t, helpers[0], 10)
}

func childrenOf(parent int) []int {
	var found []int
	entries, _ := os.ReadDir("/proc")
	for _, entry := range entries {
		pid, err := strconv.Atoi(entry.Name())
		if err != nil {
			continue
		}
		stat, err := os.ReadFile(fmt.Sprintf("/proc/%d/stat", pid))
		if err != nil {
			continue
		}
		fields := strings.Fields(string(stat[strings.LastIndexByte(string(stat), ')')+1:]))
		if len(fields) > 1 && fields[1] == strconv.Itoa(parent) {
			found = append(found, pid)
		}
	}
	return found
}

func TestEachWayAHelperFails(t *testing.T) {
	pidFile := filepath.Join(t.TempDir(), "pid")
	cases := []struct {
		name    string
		helper  []string
		code    Code
		message string
		signal  string
	}{
		{"no HID event system", simulated(tool, "CALVEX_SIM_FAULT=no-client"), "NO_HID_EVENT_SYSTEM", "calvex: no HID event system", ""},
		{"missing", []string{"/nonexistent/calvex"}, "HELPER_FAILED",
			"cannot start the calvex helper /nonexistent/calvex: no such file or folder (ENOENT)", ""},
		{"exits without a line", []string{"/bin/false"}, "HELPER_FAILED", "the calvex helper exited with status 1 without writing a line", ""},
		{"a line over the cap", []string{"/bin/sh", "-c", "exec head -c 4194400 /dev/zero | tr '\\0' x", "sh"}, "BAD_OUTPUT",
			"calvex wrote an over-long line: " + strings.Repeat("x", 200) + "…", ""},
		{"killed by SIGINT", script(pidFile, "kill -INT $$"), "HELPER_FAILED", "the calvex helper was killed by SIGINT without writing a line", "SIGINT"},
	}
	for _, each := range cases {
		t.Run(each.name, func(t *testing.T) {
			_, err := ReadSensors(context.Background(), WithHelper(each.helper...))
			var failure *Error
			if !errors.As(err, &failure) || failure.Code != each.code || failure.Message != each.message || failure.Signal != each.signal {
				t.Fatalf("got %#v", err)
			}
		})
	}
	t.Run("a watched helper that fails yields its failure once", func(t *testing.T) {
		errs := 0
		for _, err := range WatchSensors(context.Background(), WithHelper(simulated(tool, "CALVEX_SIM_FAULT=no-iokit")...)) {
			var failure *Error
			if !errors.As(err, &failure) || failure.Code != "IOKIT_NOT_AVAILABLE" {
				t.Fatalf("got %v", err)
			}
			errs++
		}
		if errs != 1 {
			t.Fatalf("%d errors", errs)
		}
	})
}

func TestAHelperWordWithANulIsAnErrorBeforeAnythingStarts(t *testing.T) {
	marker := filepath.Join(t.TempDir(), "started")
	_, err := ReadSensors(context.Background(), WithHelper("/bin/sh", "-c", "touch "+marker, "a\x00b"))
	var failure *Error
	if !errors.As(err, &failure) || !strings.Contains(failure.Message, "NUL") {
		t.Fatalf("got %v", err)
	}
	if _, err := os.Stat(marker); err == nil {
		t.Fatal("the helper ran")
	}
}

func TestTheHelperIsFoundInPathAndEveryPlaceIsNamedWhenItIsNot(t *testing.T) {
	folder := t.TempDir()
	t.Setenv("PATH", folder)
	_, err := ReadSensors(context.Background())
	var failure *Error
	if !errors.As(err, &failure) || !strings.Contains(failure.Message, "calvex in PATH ("+folder+")") ||
		!strings.Contains(failure.Message, filepath.Join(filepath.Dir(os.Args[0]), "calvex")) {
		t.Fatalf("got %v", err)
	}
	helper := "#!/bin/sh\necho '{\"sensors\":[{\"name\":\"PMU tdie1\",\"t\":41.00}]}'\n"
	if err := os.WriteFile(filepath.Join(folder, "calvex"), []byte(helper), 0o755); err != nil {
		t.Fatal(err)
	}
	snapshot, err := ReadSensors(context.Background())
	if err != nil || len(snapshot.Sensors) != 1 || snapshot.Sensors[0].Celsius != 41 {
		t.Fatalf("got %v %v", snapshot, err)
	}
}

func TestOptionsThatCannotBeHonouredAreErrorsOfTheCall(t *testing.T) {
	var nilOption Option
	cases := []struct {
		name    string
		call    func() error
		message string
	}{
		{"no words", func() error { _, err := ReadSensors(context.Background(), WithHelper()); return err },
			"WithHelper needs at least the helper's program"},
		{"no words from an empty string", func() error {
			_, err := ReadThermalPressure(context.Background(), WithPressureHelper(strings.Fields("")...))
			return err
		}, "WithPressureHelper needs at least the helper's program"},
		{"an empty program", func() error { _, err := ReadSensors(context.Background(), WithHelper("", "x")); return err },
			"WithHelper: the program must not be empty"},
		{"a nil option", func() error { _, err := ReadSensors(context.Background(), nilOption); return err },
			"an Option given to ReadSensors is nil"},
		{"the sensor helper's option on a pressure read", func() error {
			_, err := ReadThermalPressure(context.Background(), WithHelper("/bin/true"))
			return err
		}, "WithHelper alone does not apply to ReadThermalPressure, which runs the calvex-pressure helper: give it with WithPressureHelper"},
		{"the pressure helper's option on a sensor watch", func() error {
			for _, err := range WatchSensors(context.Background(), WithPressureHelper("/bin/true")) {
				return err
			}
			return nil
		}, "WithPressureHelper alone does not apply to WatchSensors, which runs the calvex helper: give it with WithHelper"},
	}
	for _, each := range cases {
		t.Run(each.name, func(t *testing.T) {
			var failure *Error
			if err := each.call(); !errors.As(err, &failure) || failure.Code != "HELPER_FAILED" || failure.Message != each.message {
				t.Fatalf("got %v, want %q", err, each.message)
			}
		})
	}
}

func TestAStartFailureWrapsTheSystemsErrorAndNamesItsHelper(t *testing.T) {
	_, err := ReadThermalPressure(context.Background(), WithPressureHelper("/nonexistent/calvex-pressure"))
	if !errors.Is(err, fs.ErrNotExist) || err.Error() != "cannot start the calvex-pressure helper /nonexistent/calvex-pressure: no such file or folder (ENOENT)" {
		t.Fatalf("got %v", err)
	}
	// A program still open for writing cannot run: an errno outside the words.
	program := filepath.Join(t.TempDir(), "busy")
	writing, err := os.OpenFile(program, os.O_CREATE|os.O_WRONLY, 0o755)
	if err != nil {
		t.Fatal(err)
	}
	defer writing.Close()
	_, err = ReadSensors(context.Background(), WithHelper(program))
	var failure *Error
	if !errors.As(err, &failure) || failure.Code != "HELPER_FAILED" || failure.Message != "cannot start the calvex helper "+program+": ETXTBSY" ||
		!errors.Is(err, syscall.ETXTBSY) {
		t.Fatalf("got %v", err)
	}
}

func TestAPanicInTheReaderEndsTheRunAndReapsTheHelper(t *testing.T) {
	faulty := func(string) (Snapshot, error) { panic("injected") }
	run := startRun([]string{"/bin/sh", "-c", "trap '' TERM; echo '{\"sensors\":[]}'; exec sleep 30"}, faulty, true, sensorHelper.role)
	select {
	case <-run.done:
	case <-time.After(10 * time.Second):
		t.Fatal("the run did not end")
	}
	if run.failure == nil || run.failure.Message != "reading the calvex helper's output failed: injected" {
		t.Fatalf("got %v", run.failure)
	}
}

func TestOneSetOfOptionsServesBothCalls(t *testing.T) {
	options := []Option{WithHelper(simulated(tool, scenario("laptop"))...), WithPressureHelper(simulated(pressureTool, "CALVEX_SIM_PRESSURE=2")...)}
	if _, err := ReadSensors(context.Background(), options...); err != nil {
		t.Fatal(err)
	}
	if pressure, err := ReadThermalPressure(context.Background(), options...); err != nil || pressure.Pressure != "heavy" {
		t.Fatalf("got %v %v", pressure, err)
	}
}

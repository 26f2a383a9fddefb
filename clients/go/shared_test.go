package calvex

// Every shared case set, as every client runs them: the embedded contract
// equals clients/shared/, the kind vectors, the pressure line vectors, the
// reported machines' answers, the run cases and the protocol data.

import (
	"bytes"
	"encoding/hex"
	"encoding/json"
	"errors"
	"os"
	"path/filepath"
	"reflect"
	"runtime"
	"strconv"
	"strings"
	"syscall"
	"testing"
	"time"
)

var repository = filepath.Join("..", "..")

func readShared(t testing.TB, name string, into any) {
	t.Helper()
	readJSON(t, filepath.Join(repository, "clients", "shared", name), into)
}

func readJSON(t testing.TB, path string, into any) {
	t.Helper()
	data, err := os.ReadFile(path)
	if err != nil {
		t.Fatal(err)
	}
	if err := json.Unmarshal(data, into); err != nil {
		t.Fatalf("%s: %v", path, err)
	}
}

// readRunCases is the cases of a file in the run cases' form.
func readRunCases(t testing.TB, path string) []runCase {
	t.Helper()
	var cases struct {
		Cases []runCase `json:"cases"`
	}
	readJSON(t, path, &cases)
	return cases.Cases
}

func TestTheEmbeddedContractIsTheSharedOne(t *testing.T) {
	for name, embedded := range map[string][]byte{"protocol.json": protocolJSON, "sensor-kinds.json": sensorKindsJSON} {
		shared, err := os.ReadFile(filepath.Join(repository, "clients", "shared", name))
		if err != nil {
			t.Fatal(err)
		}
		if !bytes.Equal(shared, embedded) {
			t.Errorf("clients/go/shared/%s differs from clients/shared/%s: run tools/shared-code.py", name, name)
		}
	}
}

// pair is a [name, celsius] pair of the vectors, or null.
type pair []any

func sensorOfPair(p pair) Sensor { return Sensor{Name: p[0].(string), Celsius: p[1].(float64)} }

func snapshotOf(pairs []pair) Snapshot {
	snapshot := Snapshot{Sensors: []Sensor{}}
	for _, p := range pairs {
		snapshot.Sensors = append(snapshot.Sensors, sensorOfPair(p))
	}
	return snapshot
}

func TestEveryKindVector(t *testing.T) {
	var vectors struct {
		Names     [][2]string `json:"names"`
		Snapshots []struct {
			About   string                            `json:"about"`
			Sensors []pair                            `json:"sensors"`
			Summary map[string]map[string]json.Number `json:"summary"`
		} `json:"snapshots"`
		Hottest []struct {
			About   string          `json:"about"`
			Sensors []pair          `json:"sensors"`
			Hottest pair            `json:"hottest"`
			ByKind  map[string]pair `json:"byKind"`
		} `json:"hottest"`
	}
	readShared(t, "sensor-kinds-vectors.json", &vectors)
	for _, each := range vectors.Names {
		if got := KindOf(each[0]); got != each[1] {
			t.Errorf("KindOf(%q) = %q, want %q", each[0], got, each[1])
		}
	}
	for _, each := range vectors.Snapshots {
		got := Summary(snapshotOf(each.Sensors))
		want := map[string]KindSummary{}
		for kind, fields := range each.Summary {
			count, _ := fields["count"].Int64()
			most, _ := fields["max"].Float64()
			mean, _ := fields["mean"].Float64()
			leftOut, _ := fields["leftOut"].Int64()
			want[kind] = KindSummary{Count: int(count), Max: most, Mean: mean, LeftOut: int(leftOut)}
		}
		if !reflect.DeepEqual(got, want) {
			t.Errorf("%s: Summary = %v, want %v", each.About, got, want)
		}
	}
	for _, each := range vectors.Hottest {
		snapshot := snapshotOf(each.Sensors)
		check := func(what string, want pair, kind ...string) {
			got, ok := Hottest(snapshot, kind...)
			if ok != (want != nil) || (ok && got != sensorOfPair(want)) {
				t.Errorf("%s: Hottest%v = %v %v, want %v", each.About, kind, got, ok, want)
			}
		}
		check("hottest", each.Hottest)
		for kind, want := range each.ByKind {
			check(kind, want, kind)
		}
	}
	if _, ok := Hottest(Snapshot{Sensors: []Sensor{{"PMU tdie1", 40}}}, "CPU"); ok {
		t.Error("a kind that is no kind has a hottest")
	}
}

func TestEveryPressureLineVector(t *testing.T) {
	var vectors struct {
		Lines [][2]json.RawMessage `json:"lines"`
	}
	readShared(t, "pressure-line-vectors.json", &vectors)
	for _, each := range vectors.Lines {
		var line string
		_ = json.Unmarshal(each[0], &line)
		got, err := parsePressureLine(line)
		var code Code
		if json.Unmarshal(each[1], &code) == nil {
			var failure *Error
			if !errors.As(err, &failure) || failure.Code != code || failure.Line != line {
				t.Errorf("%s: %v, want %s", line, err, code)
			}
			continue
		}
		var want struct {
			Pressure string `json:"pressure"`
			Level    *int   `json:"level"`
		}
		_ = json.Unmarshal(each[1], &want)
		if err != nil || got.Pressure != want.Pressure || !reflect.DeepEqual(got.Level, want.Level) {
			t.Errorf("%s: %v %v, want %+v", line, got, err, want)
		}
	}
}

func TestEveryReportedMachineGetsItsAnswers(t *testing.T) {
	var layouts struct {
		Scenarios map[string][]struct {
			Hottest pair           `json:"hottest"`
			CPU     pair           `json:"cpu"`
			Counts  map[string]int `json:"counts"`
			LeftOut map[string]int `json:"leftOut"`
		} `json:"scenarios"`
	}
	readShared(t, "reported-layouts.json", &layouts)
	for scenario, answers := range layouts.Scenarios {
		data, err := os.ReadFile(filepath.Join(repository, "sim", "scenarios", scenario+".expected"))
		if err != nil {
			t.Fatal(err)
		}
		lines := strings.Split(strings.TrimRight(string(data), "\n"), "\n")
		if len(lines) != len(answers) {
			t.Fatalf("%s: %d lines, %d answers", scenario, len(lines), len(answers))
		}
		for i, line := range lines {
			snapshot, err := parseLine(line)
			if err != nil {
				t.Fatal(err)
			}
			top, _ := Hottest(snapshot)
			cpu, _ := Hottest(snapshot, "cpu")
			counts, leftOut := map[string]int{}, map[string]int{}
			for kind, each := range Summary(snapshot) {
				counts[kind] = each.Count
				if each.LeftOut > 0 {
					leftOut[kind] = each.LeftOut
				}
			}
			want := answers[i]
			if top != sensorOfPair(want.Hottest) || cpu != sensorOfPair(want.CPU) ||
				!reflect.DeepEqual(counts, want.Counts) || !reflect.DeepEqual(leftOut, want.LeftOut) {
				t.Errorf("%s snapshot %d: %v %v %v %v, want %+v", scenario, i, top, cpu, counts, leftOut, want)
			}
		}
	}
}

// The run cases: the plain forms the cases are written in.

func plainValue(value any) any {
	switch v := value.(type) {
	case Snapshot:
		sensors := []any{}
		for _, s := range v.Sensors {
			sensors = append(sensors, []any{s.Name, s.Celsius})
		}
		return map[string]any{"sensors": sensors}
	case ThermalPressure:
		var level any
		if v.Level != nil {
			level = float64(*v.Level)
		}
		return map[string]any{"pressure": v.Pressure, "level": level}
	}
	return nil
}

func said(each action) string {
	switch each.kind {
	case actValue:
		return "value"
	case actSignal:
		return "signal " + each.name
	case actTimer:
		return "timer " + itoaForTest(each.ms)
	}
	return "end"
}

func itoaForTest(n int) string { return strconv.Itoa(n) }

type feeder interface {
	output([]byte) []action
	errorOutput([]byte) []action
	outputEnd() []action
	exited(*int, string) []action
	stop(*Error) []action
	timerFired() []action
}

func feed(core feeder, event map[string]json.RawMessage) []action {
	for kind, raw := range event {
		var text string
		switch kind {
		case "output":
			_ = json.Unmarshal(raw, &text)
			return core.output([]byte(text))
		case "outputHex":
			_ = json.Unmarshal(raw, &text)
			data, _ := hex.DecodeString(text)
			return core.output(data)
		case "outputRepeat":
			var repeat struct {
				Text  string `json:"text"`
				Times int    `json:"times"`
			}
			_ = json.Unmarshal(raw, &repeat)
			return core.output([]byte(strings.Repeat(repeat.Text, repeat.Times)))
		case "errorOutput":
			_ = json.Unmarshal(raw, &text)
			return core.errorOutput([]byte(text))
		case "errorOutputHex":
			_ = json.Unmarshal(raw, &text)
			data, _ := hex.DecodeString(text)
			return core.errorOutput(data)
		case "outputEnd":
			return core.outputEnd()
		case "exited":
			var exit struct {
				Code   *int    `json:"code"`
				Signal *string `json:"signal"`
			}
			_ = json.Unmarshal(raw, &exit)
			signal := ""
			if exit.Signal != nil {
				signal = *exit.Signal
			}
			return core.exited(exit.Code, signal)
		case "stop":
			return core.stop(nil)
		case "timerFired":
			return core.timerFired()
		}
	}
	panic("an event of no known kind")
}

// runCase is one case of the run cases or the generated transcripts.
type runCase struct {
	Name   string                       `json:"name"`
	Parse  string                       `json:"parse"`
	Once   bool                         `json:"once"`
	Events []map[string]json.RawMessage `json:"events"`
	Expect json.RawMessage              `json:"expect"`
}

// answer is what the core answers to one case's events, as plain JSON.
func answer(each runCase) map[string]any {
	actions := [][]string{}
	var ended bool
	var taken any
	var failure *Error
	run := func(core feeder, done func() (bool, any, *Error)) {
		for _, event := range each.Events {
			step := []string{}
			for _, a := range feed(core, event) {
				step = append(step, said(a))
			}
			actions = append(actions, step)
		}
		ended, taken, failure = done()
	}
	if each.Parse == "sensors" {
		core := newRunCore(parseLine, each.Once, sensorHelper.role)
		run(core, func() (bool, any, *Error) { v, ok := core.take(); return core.ended, takenOf(v, ok), core.failure })
	} else {
		core := newRunCore(parsePressureLine, each.Once, pressureHelper.role)
		run(core, func() (bool, any, *Error) { v, ok := core.take(); return core.ended, takenOf(v, ok), core.failure })
	}
	return map[string]any{"actions": actions, "ended": ended, "taken": taken, "failure": failureOf(failure)}
}

func TestEveryRunCase(t *testing.T) {
	for _, file := range []string{"run-cases.json", "run-transcripts.json"} {
		cases := readRunCases(t, filepath.Join(repository, "clients", "shared", file))
		if len(cases) == 0 {
			t.Fatal("no cases in " + file)
		}
		for _, each := range cases {
			t.Run(each.Name, func(t *testing.T) {
				// Compared as JSON, each side written the same way, so that -0
				// and 0 differ as they do in the data.
				var want map[string]any
				_ = json.Unmarshal(each.Expect, &want)
				gotJSON, _ := json.Marshal(answer(each))
				var gotPlain map[string]any
				_ = json.Unmarshal(gotJSON, &gotPlain)
				gotText, _ := json.Marshal(gotPlain)
				wantText, _ := json.Marshal(want)
				if string(gotText) != string(wantText) {
					t.Errorf("got  %s\nwant %s", gotText, wantText)
				}
			})
		}
	}
}

func takenOf[V any](value V, ok bool) any {
	if !ok {
		return nil
	}
	return plainValue(value)
}

func failureOf(failure *Error) any {
	if failure == nil {
		return nil
	}
	orNull := func(text string) any {
		if text == "" {
			return nil
		}
		return text
	}
	// Line is the helper's line for BAD_OUTPUT and the error-line codes,
	// an empty one too; the other codes have none.
	var line any
	if failure.Code == CodeBadOutput || strings.HasPrefix(failure.Message, "calvex: ") {
		line = failure.Line
	}
	return map[string]any{"code": failure.Code, "message": failure.Message, "line": line, "signal": orNull(failure.Signal)}
}

func TestTheProtocolDataIsRead(t *testing.T) {
	var shared protocolData
	readShared(t, "protocol.json", &shared)
	for role, lines := range map[string]map[string]string{"sensors": shared.Helpers.Sensors.ErrorLines, "pressure": shared.Helpers.Pressure.ErrorLines} {
		for text, code := range lines {
			line := `{"error":"` + text + `"}`
			var err error
			if role == "sensors" {
				_, err = parseLine(line)
			} else {
				_, err = parsePressureLine(line)
			}
			var failure *Error
			if !errors.As(err, &failure) || string(failure.Code) != code || failure.Code.Meaning() == "" {
				t.Errorf("%s: %v, want %s", line, err, code)
			}
		}
	}
	for _, each := range []struct {
		interval int64
		want     string
	}{{1, "200"}, {shared.IntervalMs.Shortest + 1, "201"}, {shared.IntervalMs.Longest + 1, "4294967"}} {
		if got := intervalArgument(time.Duration(each.interval) * time.Millisecond); got != each.want {
			t.Errorf("intervalArgument(%d ms) = %s, want %s", each.interval, got, each.want)
		}
	}
	if o, _ := optionsOf("ReadSensors", nil); intervalArgument(o.interval) != itoaForTest(int(shared.IntervalMs.Default)) {
		t.Errorf("the default interval is %s ms", intervalArgument(o.interval))
	}
}

func TestEachCodeConstantIsASharedCodeWithItsMeaning(t *testing.T) {
	var shared protocolData
	readShared(t, "protocol.json", &shared)
	constants := []Code{CodeIOKitNotAvailable, CodeNoHIDEventSystem, CodePressureNotAvailable, CodeNoPressureNotification,
		CodeUnsupportedPlatform, CodeHelperFailed, CodeBadOutput}
	if len(constants) != len(shared.Codes) {
		t.Fatalf("%d constants for %d shared codes", len(constants), len(shared.Codes))
	}
	for _, code := range constants {
		if code.Meaning() == "" || code.Meaning() != shared.Codes[string(code)] {
			t.Errorf("%s means %q", code, code.Meaning())
		}
	}
	if Code("NO_SUCH_CODE").Meaning() != "" {
		t.Error("an unknown code has a meaning")
	}
}

func TestTheErrnoAndSignalNamesAreTheSharedOnesByThisSystemsNumbers(t *testing.T) {
	var shared struct {
		ErrnoNames  []string            `json:"errnoNames"`
		SignalNames map[string][]string `json:"signalNames"`
	}
	readShared(t, "protocol.json", &shared)
	named := map[string]bool{}
	for _, name := range errnoNames {
		named[name] = true
	}
	for _, name := range shared.ErrnoNames {
		if !named[name] {
			t.Errorf("errno %s has no number here", name)
		}
	}
	for _, each := range []struct {
		signal syscall.Signal
		want   string
	}{{syscall.SIGXCPU, "SIGXCPU"}, {syscall.SIGSYS, "SIGSYS"}, {syscall.SIGPROF, "SIGPROF"}, {syscall.SIGVTALRM, "SIGVTALRM"},
		{syscall.SIGIO, "SIGIO"}, {syscall.SIGABRT, "SIGABRT"}, {syscall.Signal(34), "signal 34"}, {syscall.Signal(64), "signal 64"}} {
		if got := signalName(each.signal); got != each.want {
			t.Errorf("signal %d is %q, want %q", int(each.signal), got, each.want)
		}
	}
	if got := len(signalNames); got != len(shared.SignalNames["everywhere"])+len(shared.SignalNames[runtime.GOOS]) {
		t.Errorf("%d signal names", got)
	}
}

func TestTheFactsAProgramTakesAreTheSharedOnes(t *testing.T) {
	var shared protocolData
	readShared(t, "protocol.json", &shared)
	bounds := []time.Duration{ShortestInterval(), DefaultInterval(), LongestInterval()}
	want := []int64{shared.IntervalMs.Shortest, shared.IntervalMs.Default, shared.IntervalMs.Longest}
	for at, bound := range bounds {
		if bound != time.Duration(want[at])*time.Millisecond {
			t.Errorf("bound %d is %v, want %d ms", at, bound, want[at])
		}
	}
	if !reflect.DeepEqual(PressureLevels(), shared.PressureLevels) || UnknownPressure() != shared.UnknownPressure {
		t.Errorf("levels %v, unknown %q", PressureLevels(), UnknownPressure())
	}
	if Unclassified() != KindOf("no such sensor name") || Kinds()[len(Kinds())-1] != Unclassified() {
		t.Errorf("unclassified is %q", Unclassified())
	}
	for helper, codes := range map[string][]Code{"sensors": SensorCodes(), "pressure": PressureCodes()} {
		lines := shared.Helpers.Sensors.ErrorLines
		if helper == "pressure" {
			lines = shared.Helpers.Pressure.ErrorLines
		}
		seen := map[string]bool{}
		for _, code := range codes {
			seen[string(code)] = true
		}
		for _, code := range lines {
			if !seen[code] {
				t.Errorf("%s codes %v lack %s", helper, codes, code)
			}
		}
		for _, code := range []Code{CodeUnsupportedPlatform, CodeHelperFailed, CodeBadOutput} {
			if !seen[string(code)] {
				t.Errorf("%s codes %v lack %s", helper, codes, code)
			}
		}
		if len(codes) != len(lines)+3 {
			t.Errorf("%s codes %v", helper, codes)
		}
	}
	PressureLevels()[0] = "changed"
	if PressureLevels()[0] == "changed" {
		t.Error("a caller can change the shared levels")
	}
}

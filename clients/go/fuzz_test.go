package calvex

import (
	"encoding/hex"
	"encoding/json"
	"errors"
	"math"
	"path/filepath"
	"testing"
)

// The line parsers and the run core under Go's fuzzer, seeded from the
// shared cases: whatever a helper writes, no panic, and only answers the
// protocol allows. tools/fuzz.sh runs each for a bounded time; inputs
// that failed once stay in testdata/fuzz/.

// sharedOutputs is every output chunk the shared run cases feed, as bytes.
func sharedOutputs(f *testing.F) [][]byte {
	var chunks [][]byte
	for _, file := range []string{"run-cases.json", "run-transcripts.json"} {
		for _, each := range readRunCases(f, filepath.Join(repository, "clients", "shared", file)) {
			for _, event := range each.Events {
				var text string
				if raw, ok := event["output"]; ok && json.Unmarshal(raw, &text) == nil {
					chunks = append(chunks, []byte(text))
				}
				if raw, ok := event["outputHex"]; ok && json.Unmarshal(raw, &text) == nil {
					if data, err := hex.DecodeString(text); err == nil {
						chunks = append(chunks, data)
					}
				}
			}
		}
	}
	return chunks
}

func allowedFailure(t *testing.T, err error, errorLines map[string]string) {
	var failure *Error
	if !errors.As(err, &failure) {
		t.Fatalf("not an *Error: %v", err)
	}
	if failure.Code == CodeBadOutput {
		return
	}
	for _, code := range errorLines {
		if string(failure.Code) == code {
			return
		}
	}
	t.Fatalf("a line gave %s", failure.Code)
}

func FuzzParseLine(f *testing.F) {
	for _, chunk := range sharedOutputs(f) {
		f.Add(string(chunk))
	}
	f.Fuzz(func(t *testing.T, line string) {
		snapshot, err := parseLine(line)
		if err != nil {
			allowedFailure(t, err, protocol.Helpers.Sensors.ErrorLines)
			return
		}
		for _, sensor := range snapshot.Sensors {
			if math.IsInf(sensor.Celsius, 0) || math.IsNaN(sensor.Celsius) {
				t.Fatalf("a reading that is no number: %v", sensor.Celsius)
			}
		}
		pressure, err := parsePressureLine(line)
		if err == nil && pressure.Level != nil && (*pressure.Level < 0 || int64(*pressure.Level) > protocol.HighestLevel) {
			t.Fatalf("a level out of range: %d", *pressure.Level)
		}
	})
}

// FuzzRunCore feeds the core events made from bytes: each byte's low three
// bits pick an event, output chunks taking the bytes that follow.
func FuzzRunCore(f *testing.F) {
	for _, chunk := range sharedOutputs(f) {
		f.Add(append([]byte{0}, chunk...), true)
	}
	f.Add([]byte{1, 2, 3, 4, 5, 6, 7}, false)
	f.Fuzz(func(t *testing.T, data []byte, once bool) {
		core := newRunCore(parseLine, once, sensorHelper.role)
		ends := 0
		for at := 0; at < len(data); at++ {
			var actions []action
			switch data[at] % 8 {
			case 0:
				size := min(len(data)-at-1, int(data[at]>>3)+1)
				actions = core.output(data[at+1 : at+1+size])
				at += size
			case 1:
				actions = core.outputEnd()
			case 2:
				code := int(data[at] >> 3)
				actions = core.exited(&code, "")
			case 3:
				actions = core.exited(nil, "SIGTERM")
			case 4:
				actions = core.stop(nil)
			case 5:
				actions = core.timerFired()
			case 6:
				actions = core.errorOutput(data[at:])
			case 7:
				core.take()
			}
			for _, each := range actions {
				if each.kind == actEnd {
					ends++
				}
				if ends > 0 && each.kind == actValue {
					t.Fatal("a value after the end")
				}
			}
		}
		if ends > 1 {
			t.Fatalf("the run ended %d times", ends)
		}
		if core.ended && core.failure != nil && core.failure.Code == "" {
			t.Fatal("a failure without a code")
		}
	})
}

package calvex

import (
	"context"
	"encoding/json"
	"errors"
	"math"
	"os"
	"testing"
	"time"
)

// TestReplayRuns is the Go run core replaying run cases for
// tools/transcripts.py, which compares its answers with the other
// clients': CALVEX_REPLAY_IN names the cases, CALVEX_REPLAY_OUT the file
// the answers go to. Without them there is nothing to replay.
func TestReplayRuns(t *testing.T) {
	in, out := os.Getenv("CALVEX_REPLAY_IN"), os.Getenv("CALVEX_REPLAY_OUT")
	if in == "" || out == "" {
		t.Skip("CALVEX_REPLAY_IN and CALVEX_REPLAY_OUT name no cases")
	}
	cases := readRunCases(t, in)
	answers := make([]any, 0, len(cases))
	for _, each := range cases {
		answers = append(answers, signedZero(answer(each)))
	}
	writeJSON(t, out, answers)
}

// signedZero writes -0 as the text "-0": not every client's JSON writer
// keeps its sign.
func signedZero(value any) any {
	switch v := value.(type) {
	case float64:
		if v == 0 && math.Signbit(v) {
			return "-0"
		}
	case map[string]any:
		for key, each := range v {
			v[key] = signedZero(each)
		}
	case []any:
		for at, each := range v {
			v[at] = signedZero(each)
		}
	}
	return value
}

// TestReplayHelpers is the Go client's public face running real helper
// programs for tools/transcripts.py: CALVEX_REPLAY_IN names the programs,
// CALVEX_REPLAY_OUT the file each one's value or failure goes to, and
// CALVEX_REPLAY_HELPERS_PATH the PATH they run with.
func TestReplayHelpers(t *testing.T) {
	in, out := os.Getenv("CALVEX_REPLAY_IN"), os.Getenv("CALVEX_REPLAY_OUT")
	if in == "" || out == "" {
		t.Skip("CALVEX_REPLAY_IN and CALVEX_REPLAY_OUT name no programs")
	}
	t.Setenv("PATH", os.Getenv("CALVEX_REPLAY_HELPERS_PATH"))
	var given struct {
		Programs []struct {
			Parse   string   `json:"parse"`
			Command []string `json:"command"`
		} `json:"programs"`
	}
	readJSON(t, in, &given)
	answers := make([]any, 0, len(given.Programs))
	for _, program := range given.Programs {
		ctx, cancel := context.WithTimeout(context.Background(), 10*time.Second)
		var value any
		var err error
		if program.Parse == "sensors" {
			value, err = ReadSensors(ctx, WithHelper(program.Command...))
		} else {
			value, err = ReadThermalPressure(ctx, WithPressureHelper(program.Command...))
		}
		cancel()
		answer := map[string]any{"value": nil, "failure": nil}
		var failure *Error
		switch {
		case errors.As(err, &failure):
			var signal any
			if failure.Signal != "" {
				signal = failure.Signal
			}
			answer["failure"] = map[string]any{"code": failure.Code, "message": failure.Message, "signal": signal}
		case err != nil:
			answer["failure"] = map[string]any{"code": "NOT_A_CALVEX_ERROR", "message": err.Error(), "signal": nil}
		default:
			answer["value"] = plainValue(value)
		}
		answers = append(answers, signedZero(answer))
	}
	writeJSON(t, out, answers)
}

func writeJSON(t *testing.T, path string, value any) {
	t.Helper()
	written, err := json.Marshal(value)
	if err == nil {
		err = os.WriteFile(path, written, 0o644)
	}
	if err != nil {
		t.Fatal(err)
	}
}

package calvex

import (
	"encoding/json"
	"math"
	"os"
	"testing"
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
	data, err := os.ReadFile(in)
	if err != nil {
		t.Fatal(err)
	}
	var cases struct {
		Cases []runCase `json:"cases"`
	}
	if err := json.Unmarshal(data, &cases); err != nil {
		t.Fatal(err)
	}
	answers := make([]any, 0, len(cases.Cases))
	for _, each := range cases.Cases {
		answers = append(answers, signedZero(answer(each)))
	}
	written, err := json.Marshal(answers)
	if err == nil {
		err = os.WriteFile(out, written, 0o644)
	}
	if err != nil {
		t.Fatal(err)
	}
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

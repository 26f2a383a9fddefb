package calvex

import (
	_ "embed"
	"encoding/json"
)

// The contract every client follows, from copies of clients/shared/ that
// tools/shared-code.py writes (go:embed reaches no file outside the
// module); a test checks that they equal the shared files.

//go:embed shared/protocol.json
var protocolJSON []byte

//go:embed shared/sensor-kinds.json
var sensorKindsJSON []byte

type protocolData struct {
	ErrorLines struct {
		Sensors  map[string]string `json:"sensors"`
		Pressure map[string]string `json:"pressure"`
	} `json:"errorLines"`
	PressureLevels   []string `json:"pressureLevels"`
	UnknownPressure  string   `json:"unknownPressure"`
	LongestLineBytes int      `json:"longestLineBytes"`
	KeptLineStart    int      `json:"keptLineStart"`
	IntervalMs       struct {
		Shortest int64 `json:"shortest"`
		Default  int64 `json:"default"`
		Longest  int64 `json:"longest"`
	} `json:"intervalMs"`
	StopGraceMs  int               `json:"stopGraceMs"`
	Codes        map[string]string `json:"codes"`
	CannotStart  string            `json:"cannotStart"`
	SystemErrors map[string]string `json:"systemErrors"`
}

type kindTable struct {
	Kinds     []string `json:"kinds"`
	Unmatched string   `json:"unmatched"`
	NotAPart  struct {
		Kind string `json:"kind"`
	} `json:"notAPart"`
	LowestPlausible struct {
		Celsius map[string]*float64 `json:"celsius"`
	} `json:"lowestPlausible"`
	Placeholder struct {
		Celsius float64 `json:"celsius"`
	} `json:"placeholder"`
	Rows []struct {
		Kind       string `json:"kind"`
		Pattern    string `json:"pattern"`
		IgnoreCase bool   `json:"ignoreCase"`
	} `json:"rows"`
}

var (
	protocol = mustDecode[protocolData](protocolJSON)
	table    = mustDecode[kindTable](sensorKindsJSON)
)

// The embedded files are the module's own: one that does not decode is a
// build that must not ship, and every test fails on it at once.
func mustDecode[T any](data []byte) T {
	var value T
	if err := json.Unmarshal(data, &value); err != nil {
		panic("calvex: an embedded contract file does not decode: " + err.Error())
	}
	return value
}

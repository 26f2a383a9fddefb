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

type helperData struct {
	Program    string            `json:"program"`
	Role       string            `json:"role"`
	ErrorLines map[string]string `json:"errorLines"`
}

type protocolData struct {
	Helpers struct {
		Sensors  helperData `json:"sensors"`
		Pressure helperData `json:"pressure"`
	} `json:"helpers"`
	PressureLevels     []string `json:"pressureLevels"`
	UnknownPressure    string   `json:"unknownPressure"`
	LongestLineBytes   int      `json:"longestLineBytes"`
	KeptLineStart      int      `json:"keptLineStart"`
	OverLongStartBytes int      `json:"overLongStartBytes"`
	DeepestNesting     int      `json:"deepestNesting"`
	HighestLevel       int64    `json:"highestLevel"`
	IntervalMs         struct {
		Shortest int64 `json:"shortest"`
		Default  int64 `json:"default"`
		Longest  int64 `json:"longest"`
	} `json:"intervalMs"`
	StopGraceMs     int               `json:"stopGraceMs"`
	KeptStderrBytes int               `json:"keptStderrBytes"`
	StderrTrimmed   string            `json:"stderrTrimmed"`
	Codes           map[string]string `json:"codes"`
	CannotStart     string            `json:"cannotStart"`
	TimedOut        string            `json:"timedOut"`
	Silent          string            `json:"silent"`
	ReadFailed      string            `json:"readFailed"`
	SystemErrors    map[string]string `json:"systemErrors"`
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

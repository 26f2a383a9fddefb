package calvex

import (
	"encoding/json"
	"errors"
	"io"
	"os/exec"
	"slices"
	"strings"
	"syscall"
)

// The helpers' line protocol: one line of their output becomes a Snapshot
// or a ThermalPressure, or an *Error for an error line or anything else.

// Sensor is one reading: the sensor's name ("sensor N" when it has none;
// names repeat) and degrees Celsius with two decimals, from -40 to 150.
type Sensor struct {
	Name    string
	Celsius float64
}

// Kind is what the sensor measures, from the shared kind table: KindOf(s.Name).
func (s Sensor) Kind() string { return KindOf(s.Name) }

// Snapshot is every sensor that had a valid reading at one moment, in the
// order the system lists them.
type Snapshot struct {
	Sensors []Sensor
}

// ThermalPressure is the system's thermal pressure level: Pressure is
// "nominal", "moderate", "heavy", "trapping", "sleeping" or "unknown";
// Level is macOS's number for it (0 to 4), the number the system gave when
// it is off that scale, or nil when it could not be read.
type ThermalPressure struct {
	Pressure string
	Level    *int
}

// Code says why a run failed: one of the codes every calvex client shares
// (CodeHelperFailed, ...; codes.go lists them with their meanings).
type Code string

// Meaning is what the code means, in one sentence, or "" for a code that
// is not one of the shared ones.
func (c Code) Meaning() string { return protocol.Codes[string(c)] }

// Error is how a run failed; use it with errors.As. Code is one of the
// shared table's: CodeIOKitNotAvailable, CodeNoHIDEventSystem,
// CodePressureNotAvailable, CodeNoPressureNotification,
// CodeUnsupportedPlatform, CodeHelperFailed, CodeBadOutput.
type Error struct {
	Code    Code
	Message string
	// Line is the helper's line, for BAD_OUTPUT and the error-line codes.
	Line string
	// Signal is the name of the signal that ended the helper ("SIGINT"), if one did.
	Signal string
	// Err is the system's error the failure came from, if one did: a
	// helper that cannot start wraps it, so errors.Is(err, fs.ErrNotExist)
	// tells a missing helper.
	Err error
}

func (e *Error) Error() string { return e.Message }

// Unwrap is the system's error the failure came from, or nil.
func (e *Error) Unwrap() error { return e.Err }

func badOutput(what, line string) *Error {
	return &Error{Code: CodeBadOutput, Message: "calvex wrote " + what + ": " + line, Line: line}
}

// overLongLine is the error for a line that went past the cap.
func overLongLine(start string) *Error {
	kept := []rune(start) // code points, as every client counts them
	if len(kept) > protocol.KeptLineStart {
		kept = kept[:protocol.KeptLineStart]
	}
	return &Error{Code: CodeBadOutput, Message: "calvex wrote an over-long line: " + string(kept) + "…", Line: string(kept)}
}

// decoded is the line's JSON value, numbers kept as written; false when the
// line is not one JSON value, or nests deeper than the protocol allows.
func decoded(line string) (any, bool) {
	if nestsTooDeeply(line) {
		return nil, false
	}
	decoder := json.NewDecoder(strings.NewReader(line))
	decoder.UseNumber()
	var message any
	if err := decoder.Decode(&message); err != nil {
		return nil, false
	}
	if _, err := decoder.Token(); !errors.Is(err, io.EOF) {
		return nil, false // more after the value
	}
	return message, true
}

// nestsTooDeeply says whether the line's brackets, outside strings, go
// deeper than the protocol allows (the decoder's own bound is far higher).
func nestsTooDeeply(line string) bool {
	depth, inString := 0, false
	for at := 0; at < len(line); at++ {
		switch c := line[at]; {
		case inString && c == '\\':
			at++
		case c == '"':
			inString = !inString
		case inString:
		case c == '[' || c == '{':
			if depth++; depth > protocol.DeepestNesting {
				return true
			}
		case c == ']' || c == '}':
			depth--
		}
	}
	return false
}

func errorLine(message any, codes map[string]string, line string) *Error {
	object, _ := message.(map[string]any)
	text, isText := object["error"].(string)
	if code, found := codes[text]; isText && found {
		return &Error{Code: Code(code), Message: "calvex: " + text, Line: line}
	}
	return nil
}

// parseLine is one line of the sensor helper's output, without its line feed.
func parseLine(line string) (Snapshot, error) {
	message, ok := decoded(line)
	if !ok {
		return Snapshot{}, badOutput("a line that is not JSON", line)
	}
	object, _ := message.(map[string]any)
	if entries, isList := object["sensors"].([]any); isList {
		sensors := make([]Sensor, 0, len(entries))
		for _, entry := range entries {
			sensor, ok := sensorOf(entry)
			if !ok {
				return Snapshot{}, badOutput("a sensor entry that is not {name, t}", line)
			}
			sensors = append(sensors, sensor)
		}
		return Snapshot{Sensors: sensors}, nil
	}
	if failure := errorLine(message, protocol.Helpers.Sensors.ErrorLines, line); failure != nil {
		return Snapshot{}, failure
	}
	return Snapshot{}, badOutput("a line that is neither a snapshot nor an error", line)
}

func sensorOf(entry any) (Sensor, bool) {
	object, isObject := entry.(map[string]any)
	name, isName := object["name"].(string)
	number, isNumber := object["t"].(json.Number)
	if !isObject || !isName || !isNumber {
		return Sensor{}, false
	}
	celsius, err := number.Float64()
	return Sensor{Name: name, Celsius: celsius}, err == nil
}

// parsePressureLine is one line of the pressure helper's output.
func parsePressureLine(line string) (ThermalPressure, error) {
	message, ok := decoded(line)
	if !ok {
		return ThermalPressure{}, badOutput("a line that is not JSON", line)
	}
	if pressure, ok := pressureOf(message); ok {
		return pressure, nil
	}
	if failure := errorLine(message, protocol.Helpers.Pressure.ErrorLines, line); failure != nil {
		return ThermalPressure{}, failure
	}
	return ThermalPressure{}, badOutput("a line that is neither a pressure level nor an error", line)
}

// pressureOf is the line's level when it is one the helper writes.
func pressureOf(message any) (ThermalPressure, bool) {
	object, isObject := message.(map[string]any)
	if !isObject || len(object) != 2 {
		return ThermalPressure{}, false
	}
	pressure, isText := object["pressure"].(string)
	raw, hasLevel := object["level"]
	if !isText || !hasLevel {
		return ThermalPressure{}, false
	}
	if raw == nil {
		return ThermalPressure{Pressure: pressure}, pressure == protocol.UnknownPressure
	}
	number, isNumber := raw.(json.Number)
	if !isNumber || strings.ContainsAny(number.String(), ".eE-") {
		return ThermalPressure{}, false // a level is a whole number, written without sign, fraction or exponent
	}
	level, err := number.Int64()
	if err != nil || level > protocol.HighestLevel {
		// More than every client can hold exactly: unknown, with no number.
		return ThermalPressure{Pressure: pressure}, pressure == protocol.UnknownPressure
	}
	named := protocol.UnknownPressure
	if level < int64(len(protocol.PressureLevels)) {
		named = protocol.PressureLevels[level]
	}
	value := int(level)
	return ThermalPressure{Pressure: pressure, Level: &value}, pressure == named
}

// systemError is the system's error in words, and by its name: the same
// from every client.
func systemError(err error) string {
	var number syscall.Errno
	if errors.Is(err, exec.ErrNotFound) {
		number = syscall.ENOENT // not in PATH: what the other clients' spawn says
	} else if !errors.As(err, &number) {
		return err.Error()
	}
	name := errnoName(number)
	if name == "" {
		return number.Error()
	}
	if words, found := protocol.SystemErrors[name]; found {
		return words + " (" + name + ")"
	}
	return name
}

func cannotStart(role, program string, err error) *Error {
	message := strings.NewReplacer("{role}", role, "{program}", program, "{reason}", systemError(err)).Replace(protocol.CannotStart)
	return &Error{Code: CodeHelperFailed, Message: message, Err: err}
}

// helperFailed is HELPER_FAILED with one of the protocol's sentences
// (timedOut, silent, readFailed), filled: pairs of name and value.
func helperFailed(sentence string, pairs ...string) *Error {
	for at := 0; at+1 < len(pairs); at += 2 {
		sentence = strings.ReplaceAll(sentence, "{"+pairs[at]+"}", pairs[at+1])
	}
	return &Error{Code: CodeHelperFailed, Message: sentence}
}

// The errno and signal names every client gives, by this system's numbers
// (names.go and names_GOOS.go, from the shared data); the first name of a
// number wins.
var (
	errnoNames  = firstNames(errnoNamed)
	signalNames = firstNames(append(slices.Clone(signalNamed), signalNamedHere...))
)

type named[N comparable] struct {
	number N
	name   string
}

func firstNames[N comparable](entries []named[N]) map[N]string {
	names := make(map[N]string, len(entries))
	for _, entry := range entries {
		if names[entry.number] == "" {
			names[entry.number] = entry.name
		}
	}
	return names
}

func errnoName(number syscall.Errno) string { return errnoNames[number] }

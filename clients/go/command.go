package calvex

import (
	"os"
	"os/exec"
	"path/filepath"
	"runtime"
	"slices"
	"strconv"
	"strings"
	"time"
)

// Which helper to run and with what argument, decided from the options
// before anything is started.

// Option sets how a helper runs.
type Option func(*options)

type options struct {
	interval time.Duration
	// The words given for each helper, by its option's name; a helper
	// given no option is not in the map.
	given map[string][]string
}

// WithInterval is how often a watch takes a snapshot: raised to 200 ms and
// capped at 4,294,967 ms, as the helper does; whole milliseconds count.
func WithInterval(interval time.Duration) Option {
	return func(o *options) { o.interval = interval }
}

// WithHelper runs these words (a program and its leading arguments, not a
// shell string) instead of the calvex helper found beside the program or
// in PATH. It names the sensor helper: ReadSensors and WatchSensors run
// it; a pressure call given it without WithPressureHelper is an *Error
// (one set of options with both serves every call). No words, an empty
// program or a word holding a NUL is an *Error of the call that takes it.
func WithHelper(words ...string) Option {
	return func(o *options) { o.given[withHelper] = append([]string{}, words...) }
}

// WithPressureHelper is WithHelper for the thermal pressure helper:
// ReadThermalPressure and WatchThermalPressure run it; a sensor call given
// it without WithHelper is an *Error.
func WithPressureHelper(words ...string) Option {
	return func(o *options) { o.given[withPressureHelper] = append([]string{}, words...) }
}

const (
	withHelper         = "WithHelper"
	withPressureHelper = "WithPressureHelper"
)

// optionsOf applies the options a call was given; a nil one is an *Error
// naming the call.
func optionsOf(call string, given []Option) (options, error) {
	o := options{interval: time.Duration(protocol.IntervalMs.Default) * time.Millisecond, given: map[string][]string{}}
	for _, option := range given {
		if option == nil {
			return o, badOption("an Option given to " + call + " is nil")
		}
		option(&o)
	}
	return o, nil
}

func badOption(message string) *Error { return &Error{Code: CodeHelperFailed, Message: message} }

// intervalArgument is the helper's argument for an interval.
func intervalArgument(interval time.Duration) string {
	ms := min(max(interval.Milliseconds(), protocol.IntervalMs.Shortest), protocol.IntervalMs.Longest)
	return strconv.FormatInt(ms, 10)
}

// helperCommand is [program, leading words..., argument] for a call of
// kind's helper: the words its option gave, else the helper named program
// beside the running executable (as the release archive lays them out),
// else in PATH. The other helper's option alone is a mistake of the call:
// it names a helper the call does not run (with both, as one set of
// options for both calls, each call takes its own).
func helperCommand[V any](call string, kind helperKind[V], o options, argument string) ([]string, error) {
	given, isGiven := o.given[kind.option]
	if _, other := o.given[kind.otherOption]; other && !isGiven {
		return nil, badOption(kind.otherOption + " alone does not apply to " + call + ", which runs the " + kind.program + " helper: give it with " + kind.option)
	}
	if !isGiven {
		path, looked := findHelper(kind.program)
		if path == "" {
			return nil, notFound(kind, looked)
		}
		return []string{path, argument}, nil
	}
	switch {
	case len(given) == 0:
		return nil, badOption(kind.option + " needs at least the helper's program")
	case given[0] == "":
		return nil, badOption(kind.option + ": the program must not be empty")
	case slices.ContainsFunc(given, func(word string) bool { return strings.ContainsRune(word, 0) }):
		return nil, badOption(kind.option + ": a word must not contain a NUL character")
	}
	return append(append([]string(nil), given...), argument), nil
}

// FindHelper is where the helper named program (calvex, calvex-pressure)
// is found when no option names one: beside the running executable (as the
// release archive lays them out), then in PATH. Where it is found nowhere,
// the error is an *Error naming every place looked at, with
// CodeUnsupportedPlatform where the bundled helpers cannot run and
// CodeHelperFailed elsewhere, wrapping exec.ErrNotFound.
func FindHelper(program string) (string, error) {
	path, looked := findHelper(program)
	if path == "" {
		return "", lookFailure(program, looked)
	}
	return path, nil
}

func findHelper(program string) (string, []string) {
	var looked []string
	if executable, err := os.Executable(); err == nil {
		beside := filepath.Join(filepath.Dir(executable), program)
		looked = append(looked, beside)
		if isProgram(beside) {
			return beside, looked
		}
	}
	looked = append(looked, program+" in PATH ("+os.Getenv("PATH")+")")
	if found, err := exec.LookPath(program); err == nil {
		return found, looked
	}
	return "", looked
}

func isProgram(path string) bool {
	info, err := os.Stat(path)
	return err == nil && info.Mode().IsRegular() && info.Mode().Perm()&0o111 != 0
}

func notFound[V any](kind helperKind[V], looked []string) *Error {
	failure := lookFailure(kind.program, looked)
	failure.Message += "; give one with " + kind.option
	return failure
}

func lookFailure(program string, looked []string) *Error {
	places := strings.Join(looked, ", then ")
	if runtime.GOOS != "darwin" || runtime.GOARCH != "arm64" {
		return &Error{Code: CodeUnsupportedPlatform, Message: "calvex runs on macOS on Apple Silicon only, not " +
			runtime.GOOS + " " + runtime.GOARCH + "; no " + program + " helper was found (looked at " + places + ")", Err: exec.ErrNotFound}
	}
	return &Error{Code: CodeHelperFailed, Message: "no " + program + " helper was found: looked at " + places, Err: exec.ErrNotFound}
}

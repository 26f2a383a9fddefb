package calvex

import (
	"os"
	"os/exec"
	"path/filepath"
	"runtime"
	"strconv"
	"strings"
	"time"
)

// Which helper to run and with what argument, decided from the options
// before anything is started.

// Option sets how a helper runs.
type Option func(*options)

type options struct {
	interval       time.Duration
	helper         []string
	pressureHelper []string
}

// WithInterval is how often a watch takes a snapshot: raised to 200 ms and
// capped at 4,294,967 ms, as the helper does; whole milliseconds count.
func WithInterval(interval time.Duration) Option {
	return func(o *options) { o.interval = interval }
}

// WithHelper runs these words (a program and its leading arguments, not a
// shell string) instead of the calvex helper found beside the program or
// in PATH. A word holding a NUL is an error of the call that takes it.
func WithHelper(words ...string) Option {
	return func(o *options) { o.helper = append([]string(nil), words...) }
}

// WithPressureHelper is WithHelper for the thermal pressure helper.
func WithPressureHelper(words ...string) Option {
	return func(o *options) { o.pressureHelper = append([]string(nil), words...) }
}

func optionsOf(given []Option) options {
	o := options{interval: time.Duration(protocol.IntervalMs.Default) * time.Millisecond}
	for _, option := range given {
		option(&o)
	}
	return o
}

// intervalArgument is the helper's argument for an interval.
func intervalArgument(interval time.Duration) string {
	ms := min(max(interval.Milliseconds(), protocol.IntervalMs.Shortest), protocol.IntervalMs.Longest)
	return strconv.FormatInt(ms, 10)
}

// helperCommand is [program, leading words..., argument]: the words given,
// else the helper named program beside the running executable (as the
// release archive lays them out), else in PATH.
func helperCommand(given []string, program, argument string) ([]string, error) {
	if given != nil {
		if len(given) == 0 {
			return nil, &Error{Code: "HELPER_FAILED", Message: "a helper command needs at least its program"}
		}
		for _, word := range given {
			if strings.ContainsRune(word, 0) {
				return nil, &Error{Code: "HELPER_FAILED", Message: "a helper word must not contain a NUL character"}
			}
		}
		return append(append([]string(nil), given...), argument), nil
	}
	path, looked := findHelper(program)
	if path == "" {
		return nil, notFound(program, looked)
	}
	return []string{path, argument}, nil
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

func notFound(program string, looked []string) *Error {
	places := strings.Join(looked, ", then ")
	if runtime.GOOS != "darwin" || runtime.GOARCH != "arm64" {
		return &Error{Code: "UNSUPPORTED_PLATFORM", Message: "calvex runs on macOS on Apple Silicon only, not " +
			runtime.GOOS + " " + runtime.GOARCH + "; no " + program + " helper was found (looked at " + places + "): give one with WithHelper"}
	}
	return &Error{Code: "HELPER_FAILED", Message: "no " + program + " helper was found: looked at " + places}
}

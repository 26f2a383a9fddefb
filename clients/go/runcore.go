package calvex

import (
	"bytes"
	"errors"
	"strconv"
	"strings"
	"unicode/utf8"
)

// How a helper's run goes, as a pure state machine: fed what happened
// (output bytes, the end of output, the helper's exit, a stop asked for, a
// timer that ran out) and answering with what to do (send a signal, set a
// timer, tell that a value came, end the run). No I/O, no clock, no
// goroutine: process.go does those. The other clients' run cores are the
// same machine, and clients/shared/run-cases.json holds all to it.

type actionKind int

const (
	actValue actionKind = iota
	actSignal
	actTimer
	actEnd
)

// action is one thing for the driver to do: a value came (wake the
// consumer); send the signal named; call timerFired() after ms (replacing
// any timer set before); or the run is over with failure (or cleanly).
type action struct {
	kind    actionKind
	name    string
	ms      int
	failure *Error
}

type exitStatus struct {
	code   *int
	signal string
}

type runCore[V any] struct {
	parse        func(string) (V, error)
	once         bool
	role         string
	pieces       [][]byte // the start of a line not yet ended
	pendingBytes int
	stderrTail   []byte
	newest       *V
	valuesSeen   int
	stopAsked    bool
	terminating  bool // signalled after its output ended: not a stop asked for
	outputEnded  bool
	exit         *exitStatus
	failure      *Error
	ended        bool
}

func newRunCore[V any](parse func(string) (V, error), once bool, role string) *runCore[V] {
	return &runCore[V]{parse: parse, once: once, role: role}
}

func grace() []action { return []action{{kind: actTimer, ms: protocol.StopGraceMs}} }

// take is the newest value not yet taken; older unread ones are gone.
func (c *runCore[V]) take() (V, bool) {
	var value V
	if c.newest == nil {
		return value, false
	}
	value, c.newest = *c.newest, nil
	return value, true
}

// stop is a stop asked for; a failure given becomes the run's end.
func (c *runCore[V]) stop(failure *Error) []action {
	if c.ended {
		return nil
	}
	if c.failure == nil {
		c.failure = failure
	}
	c.newest = nil
	if c.stopAsked {
		return nil
	}
	c.stopAsked = true
	if c.exit != nil {
		return c.end()
	}
	return append([]action{{kind: actSignal, name: "SIGTERM"}}, grace()...)
}

func (c *runCore[V]) startFailed(failure *Error) []action {
	c.failure = failure
	return c.end()
}

// output is a chunk of standard output: each line it completes is parsed;
// a line that grows past the cap ends the run.
func (c *runCore[V]) output(chunk []byte) []action {
	if c.ended || c.stopAsked {
		return nil
	}
	var actions []action
	start := 0
	for newline := bytes.IndexByte(chunk, '\n'); newline != -1 && !c.stopAsked; newline = indexFrom(chunk, start) {
		line := bytes.Join(append(c.pieces, chunk[start:newline]), nil)
		c.pieces, c.pendingBytes = nil, 0
		actions = append(actions, c.deliver(decodeUTF8(line))...)
		start = newline + 1
	}
	if c.stopAsked {
		return actions
	}
	if start < len(chunk) {
		c.pieces = append(c.pieces, append([]byte(nil), chunk[start:]...))
		c.pendingBytes += len(chunk) - start
	}
	if c.pendingBytes > protocol.LongestLineBytes {
		begun := bytes.Join(c.pieces, nil)
		c.pieces, c.pendingBytes = nil, 0
		actions = append(actions, c.stop(overLongLine(decodeUTF8(begun[:min(len(begun), protocol.OverLongStartBytes)])))...)
	}
	return actions
}

func indexFrom(chunk []byte, start int) int {
	found := bytes.IndexByte(chunk[start:], '\n')
	if found == -1 {
		return -1
	}
	return start + found
}

func (c *runCore[V]) errorOutput(chunk []byte) []action {
	c.stderrTail = append(c.stderrTail, chunk...)
	if extra := len(c.stderrTail) - protocol.KeptStderrBytes; extra > 0 {
		c.stderrTail = append([]byte(nil), c.stderrTail[extra:]...)
	}
	return nil
}

// outputEnd: its standard output closed. Once it has exited too, the run
// ends; a helper that ended its output by itself gets the grace period to
// exit, so its own status is the one told.
func (c *runCore[V]) outputEnd() []action {
	if c.ended || c.outputEnded {
		return nil
	}
	c.outputEnded = true
	if c.exit != nil {
		return c.end()
	}
	if c.stopAsked {
		return nil
	}
	return grace()
}

// exited: code when it exited, signal the name of the one that ended it.
// A stopped helper's output is dropped at once; one that ended by itself
// gets the grace period for its output to end, so its last line is read,
// but no grandchild that holds the pipe keeps the run going.
func (c *runCore[V]) exited(code *int, signal string) []action {
	if c.ended || c.exit != nil {
		return nil
	}
	c.exit = &exitStatus{code, signal}
	if c.stopAsked || c.outputEnded {
		return c.end()
	}
	return grace()
}

func (c *runCore[V]) timerFired() []action {
	switch {
	case c.ended:
		return nil
	case c.exit != nil:
		return c.end() // its output did not end in time: a grandchild holds it
	case c.stopAsked || c.terminating:
		return []action{{kind: actSignal, name: "SIGKILL"}}
	}
	// Its output ended but it did not exit: asked to, and its status told.
	c.terminating = true
	return append([]action{{kind: actSignal, name: "SIGTERM"}}, grace()...)
}

func (c *runCore[V]) deliver(line string) []action {
	value, err := c.parse(line)
	if err != nil {
		var failure *Error
		if !errors.As(err, &failure) {
			failure = &Error{Code: CodeBadOutput, Message: err.Error(), Line: line}
		}
		return c.stop(failure)
	}
	if c.once && c.valuesSeen > 0 {
		return nil
	}
	c.valuesSeen++
	c.newest = &value
	return []action{{kind: actValue}}
}

func (c *runCore[V]) end() []action {
	if c.failure == nil {
		c.failure = c.failureOfExit()
	}
	if c.failure != nil {
		c.newest = nil // the failure is the newest news
	}
	c.ended = true
	return []action{{kind: actEnd, failure: c.failure}}
}

// failureOfExit is how an exit the client did not ask for ends the run.
func (c *runCore[V]) failureOfExit() *Error {
	if c.stopAsked || c.exit == nil {
		return nil
	}
	if c.once {
		if c.valuesSeen == 0 || c.exit.code == nil || *c.exit.code != 0 {
			return exitFailure(c.exit, c.stderrTail, c.valuesSeen == 0, c.role)
		}
		return nil
	}
	// A watched helper never ends by itself while its parent lives.
	return exitFailure(c.exit, c.stderrTail, false, c.role)
}

// exitFailure is HELPER_FAILED saying how the helper ended.
func exitFailure(exit *exitStatus, stderrTail []byte, withoutLine bool, role string) *Error {
	how := "was killed by " + exit.signal
	if exit.signal == "" {
		how = "exited with status " + strconv.Itoa(*exit.code)
	}
	if withoutLine {
		how += " without writing a line"
	}
	message := role + " " + how
	if said := strings.Trim(decodeUTF8(stderrTail), protocol.StderrTrimmed); said != "" {
		message += "; it said: " + said
	}
	return &Error{Code: CodeHelperFailed, Message: message, Signal: exit.signal}
}

// decodeUTF8 replaces each maximal invalid subpart with one U+FFFD, as the
// other clients' decoders do (Unicode's recommended practice).
func decodeUTF8(data []byte) string {
	if utf8.Valid(data) {
		return string(data)
	}
	var text strings.Builder
	for at := 0; at < len(data); {
		r, size := utf8.DecodeRune(data[at:])
		if r == utf8.RuneError && size == 1 {
			size = maximalSubpart(data[at:])
		}
		text.WriteRune(r)
		at += size
	}
	return text.String()
}

// maximalSubpart is how many bytes from the start of p begin a sequence
// that a valid one could have, at least the one invalid byte.
func maximalSubpart(p []byte) int {
	lead := p[0]
	need, low, high := 0, byte(0x80), byte(0xBF)
	switch {
	case lead >= 0xC2 && lead <= 0xDF:
		need = 1
	case lead == 0xE0:
		need, low = 2, 0xA0
	case lead == 0xED:
		need, high = 2, 0x9F
	case lead >= 0xE1 && lead <= 0xEF:
		need = 2
	case lead == 0xF0:
		need, low = 3, 0x90
	case lead == 0xF4:
		need, high = 3, 0x8F
	case lead >= 0xF1 && lead <= 0xF3:
		need = 3
	default:
		return 1
	}
	taken := 1
	for taken <= need && taken < len(p) {
		next := p[taken]
		if (taken == 1 && (next < low || next > high)) || (taken > 1 && (next < 0x80 || next > 0xBF)) {
			break
		}
		taken++
	}
	return taken
}

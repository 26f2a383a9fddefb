package calvex

import (
	"fmt"
	"io"
	"os"
	"os/exec"
	"strconv"
	"strings"
	"sync"
	"syscall"
	"time"
)

// The one place a helper runs: the child process from start to reaped,
// driven by the pure run core (runcore.go), which decides how the run goes
// and ends; this file only does what it answers, from three goroutines
// (standard output, standard error, the exit) that feed it.

const readChunkBytes = 65536

type helperRun[V any] struct {
	mutex   sync.Mutex
	core    *runCore[V]
	process *os.Process
	pipes   []io.Closer
	timer   *time.Timer
	changed chan struct{} // a value came, or the end: at most one wake-up waits
	done    chan struct{} // closed at the end, once the helper has been reaped
	failure *Error
}

// startRun starts command and feeds the core. A helper that cannot start
// is a run that has ended already, with that failure. role names the
// helper in its failures.
func startRun[V any](command []string, parse func(string) (V, error), once bool, role string) *helperRun[V] {
	run := &helperRun[V]{core: newRunCore(parse, once, role), changed: make(chan struct{}, 1), done: make(chan struct{})}
	cmd := exec.Command(command[0], command[1:]...)
	if strings.ContainsRune(command[0], '/') {
		// A path is run as it is: exec.Command's look-up would refuse a
		// folder itself (EISDIR) where every other client's start says
		// what the system says (EACCES).
		cmd.Path, cmd.Err = command[0], nil
	}
	output, errOut := run.pipe(cmd.StdoutPipe), run.pipe(cmd.StderrPipe)
	if err := cmd.Start(); err != nil {
		run.locked(func() []action { return run.core.startFailed(cannotStart(role, command[0], err)) })
		return run
	}
	run.process = cmd.Process
	errorsRead := make(chan struct{})
	go run.read(output, run.core.output, run.core.outputEnd)
	go run.read(errOut, run.core.errorOutput, func() []action { close(errorsRead); return nil })
	go run.wait(errorsRead)
	return run
}

func (run *helperRun[V]) pipe(open func() (io.ReadCloser, error)) io.ReadCloser {
	pipe, err := open()
	if err != nil {
		return io.NopCloser(eofReader{}) // Start fails the same way and says why
	}
	run.pipes = append(run.pipes, pipe)
	return pipe
}

type eofReader struct{}

func (eofReader) Read([]byte) (int, error) { return 0, io.EOF }

// What the faces call.

func (run *helperRun[V]) take() (V, bool) {
	run.mutex.Lock()
	defer run.mutex.Unlock()
	return run.core.take()
}

// stop asks the helper to end (SIGTERM, SIGKILL after the grace period)
// and returns at once; done is closed once it has been reaped.
func (run *helperRun[V]) stop() {
	run.locked(func() []action { return run.core.stop(nil) })
}

// close stops the helper and waits until it has been reaped.
func (run *helperRun[V]) close() {
	run.stop()
	<-run.done
}

// The feeding goroutines.

func (run *helperRun[V]) read(pipe io.Reader, chunk func([]byte) []action, end func() []action) {
	defer run.recoverReader()
	buffer := make([]byte, readChunkBytes)
	for {
		count, err := pipe.Read(buffer)
		if count > 0 {
			run.locked(func() []action { return chunk(buffer[:count]) })
		}
		if err != nil {
			run.locked(end)
			return
		}
	}
}

// recoverReader turns a fault of the client's own (a parse that panics)
// into the run's failure, and kills the helper so that wait() reaps it:
// the call ends with an error, never a hang or a crash.
func (run *helperRun[V]) recoverReader() {
	fault := recover()
	if fault == nil {
		return
	}
	failure := helperFailed(protocol.ReadFailed, "role", run.core.role, "error", fmt.Sprint(fault))
	run.locked(func() []action {
		return append(run.core.stop(failure), action{kind: actSignal, name: "SIGKILL"})
	})
}

// wait reaps the helper and tells the core, once what it wrote on standard
// error before it ended has been read (a grandchild that holds the pipe
// gets the grace period, no more): the failure then says what it said.
func (run *helperRun[V]) wait(errorsRead <-chan struct{}) {
	state, err := run.process.Wait()
	code, signal := exitOf(state, err)
	grace := time.NewTimer(time.Duration(protocol.StopGraceMs) * time.Millisecond)
	select {
	case <-errorsRead:
	case <-grace.C:
	}
	grace.Stop()
	run.locked(func() []action { return run.core.exited(code, signal) })
}

func exitOf(state *os.ProcessState, err error) (*int, string) {
	if err != nil || state == nil {
		return nil, "SIGKILL" // cannot be told: treated as killed
	}
	if status, ok := state.Sys().(syscall.WaitStatus); ok && status.Signaled() {
		return nil, signalName(status.Signal())
	}
	code := state.ExitCode()
	return &code, ""
}

func signalName(signal syscall.Signal) string {
	if name, found := signalNames[signal]; found {
		return name
	}
	return "signal " + strconv.Itoa(int(signal))
}

// locked feeds the core one event and does what it answers.
func (run *helperRun[V]) locked(event func() []action) {
	run.mutex.Lock()
	defer run.mutex.Unlock()
	for _, each := range event() {
		run.do(each)
	}
}

func (run *helperRun[V]) do(each action) {
	switch each.kind {
	case actValue:
		run.wake()
	case actSignal:
		signal := syscall.SIGTERM
		if each.name == "SIGKILL" {
			signal = syscall.SIGKILL
		}
		if run.process != nil {
			_ = run.process.Signal(signal) // one that has exited already needs none
		}
	case actTimer:
		if run.timer != nil {
			run.timer.Stop()
		}
		run.timer = time.AfterFunc(time.Duration(each.ms)*time.Millisecond, func() {
			run.locked(run.core.timerFired)
		})
	case actEnd:
		if run.timer != nil {
			run.timer.Stop()
		}
		for _, pipe := range run.pipes {
			_ = pipe.Close() // a grandchild may still hold the other end
		}
		run.failure = each.failure
		close(run.done)
		run.wake()
	}
}

func (run *helperRun[V]) wake() {
	select {
	case run.changed <- struct{}{}:
	default:
	}
}

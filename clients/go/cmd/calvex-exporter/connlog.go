package main

import (
	"log"
	"log/slog"
	"strings"
	"sync"
	"time"
)

// What net/http and promhttp say of one connection (a plain request to a
// TLS port, a handshake that failed, a client that stopped reading) is no
// change of the exporter's state: a flood of them must not grow the log
// by a line each. The first is said at once; the rest are counted and said
// in one line a minute, with the last of them, and once more at the stop.

const connectionSummaryEvery = time.Minute

type connectionLog struct {
	logger *slog.Logger
	every  time.Duration

	mu      sync.Mutex
	counted int       // since the last line
	last    string    // the newest of them
	said    time.Time // when the last line was written; zero: none yet
}

func newConnectionLog(logger *slog.Logger) *connectionLog {
	return &connectionLog{logger: logger, every: connectionSummaryEvery}
}

// asLogger is the log.Logger to give net/http and promhttp.
func (c *connectionLog) asLogger() *log.Logger { return log.New(c, "", 0) }

// Write takes one line a library logs.
func (c *connectionLog) Write(line []byte) (int, error) {
	text := strings.TrimSpace(string(line))
	c.mu.Lock()
	defer c.mu.Unlock()
	if c.said.IsZero() {
		c.said = time.Now()
		c.logger.Warn("a client's connection failed; more are counted and said once a minute", "error", text)
		return len(line), nil
	}
	c.counted++
	c.last = text
	return len(line), nil
}

// look says the count when a minute has passed since the last line.
func (c *connectionLog) look() { c.summarise(false) }

// flush says what is counted, whatever the time: at the stop.
func (c *connectionLog) flush() { c.summarise(true) }

func (c *connectionLog) summarise(now bool) {
	c.mu.Lock()
	defer c.mu.Unlock()
	if c.counted == 0 || (!now && time.Since(c.said) < c.every) {
		return
	}
	c.logger.Warn("clients' connections failed", "count", c.counted, "since", c.said.UTC().Format(time.RFC3339), "last_error", c.last)
	c.counted, c.last, c.said = 0, "", time.Now()
}

package main

import "log/slog"

// stateLog says one line for each change of a helper's state (failed, with
// its code and why; back; readings gone stale), never one per retry, so a
// day of failures is a handful of lines.
type stateLog struct {
	logger      *slog.Logger
	helper      string // "the sensor helper"
	readings    string // "readings", "pressure levels"
	failures    int
	failingCode string
	fresh       bool
	saidStale   bool
}

func newStateLog(logger *slog.Logger, helper, readings string) *stateLog {
	return &stateLog{logger: logger, helper: helper, readings: readings}
}

// look compares a view with the last one seen.
func (l *stateLog) look(fresh bool, failures map[string]int, lastCode, lastMessage string) {
	total := 0
	for _, count := range failures {
		total += count
	}
	if total > l.failures && lastCode != "" && lastCode != l.failingCode {
		l.logger.Warn("helper failed; retrying with backoff", "helper", l.helper, "code", lastCode, "error", lastMessage)
		l.failingCode = lastCode
	}
	l.failures = total
	switch {
	case fresh && !l.fresh:
		if l.failingCode != "" || l.saidStale {
			l.logger.Info("helper is back; fresh again", "helper", l.helper, "readings", l.readings)
		}
		l.failingCode, l.saidStale = "", false
	case l.fresh && !fresh && l.failingCode == "":
		l.logger.Warn("readings went stale; none is served until one comes", "helper", l.helper, "readings", l.readings,
			"nothing_new_for", freshIntervalsInWords+" intervals")
		l.saidStale = true
	}
	l.fresh = fresh
}

// watched is a helper's supervisor with its log, as the exporter's loops see it.
type watched interface {
	look()
}

type watchedHelper[V any] struct {
	supervisor *supervisor[V]
	log        *stateLog
}

func (w watchedHelper[V]) look() {
	view := w.supervisor.view()
	code, message := "", ""
	if view.lastFailure != nil {
		code, message = string(view.lastFailure.Code), view.lastFailure.Message
	}
	w.log.look(view.fresh, view.failures, code, message)
}

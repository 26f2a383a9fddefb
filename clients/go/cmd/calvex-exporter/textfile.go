package main

import (
	"context"
	"fmt"
	"log/slog"
	"time"

	"github.com/prometheus/client_golang/prometheus"
)

// The text file for node_exporter's textfile collector: replaced whole
// (written beside it, then renamed over it) after every new value and at
// least once a tick; on a clean stop written once more, down and without
// temperatures or level, so nothing stale outlives the exporter as current.
// No process or Go metrics here: they would clash with the host exporter's.

func writeUntilStopped(stopping context.Context, s settings, h *exporterHelpers, logger *slog.Logger) int {
	registry := prometheus.NewRegistry()
	registry.MustRegister(h.collector())
	path := s.textfile
	if err := prometheus.WriteToTextfile(path, registry); err != nil {
		h.stop() // never written: the path is wrong, not the moment
		logger.Error("cannot write " + path + ": " + reason(err))
		return 1
	}
	logger.Info(fmt.Sprintf("writing %s after every snapshot (interval %d ms)", path, s.intervalMs))
	h.sayNotes(logger)
	ticker := time.NewTicker(tick)
	defer ticker.Stop()
	said := ""
	for stopping.Err() == nil {
		select {
		case <-stopping.Done():
			continue
		case <-h.woken:
		case <-ticker.C:
		}
		h.look()
		said = rewrite(path, registry, said, logger)
	}
	h.stop()
	if err := prometheus.WriteToTextfile(path, registry); err != nil {
		logger.Error("cannot mark " + path + " down on the way out: " + reason(err))
		return 0
	}
	logger.Info("stopped; " + path + " now says calvex_up 0, with no temperatures")
	return 0
}

// rewrite writes the file, saying each new trouble once and trying on.
func rewrite(path string, registry prometheus.Gatherer, said string, logger *slog.Logger) string {
	err := prometheus.WriteToTextfile(path, registry)
	if err == nil {
		return ""
	}
	if trouble := reason(err); trouble != said {
		logger.Warn("cannot write " + path + " now: " + trouble)
		return trouble
	}
	return said
}

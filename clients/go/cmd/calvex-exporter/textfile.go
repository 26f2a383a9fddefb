package main

import (
	"bytes"
	"context"
	"log/slog"
	"os"
	"path/filepath"
	"time"

	"github.com/prometheus/client_golang/prometheus"
	"github.com/prometheus/common/expfmt"
)

// The text file for node_exporter's textfile collector: replaced whole
// (written beside it, then renamed over it) when what it says changes: a
// snapshot (each has its own timestamp), a pressure level, calvex_up, a
// failure counted; looked at after every new value and once a tick (a
// reading goes stale with time). On a clean stop written once more, down
// and without temperatures or level, so nothing stale outlives the
// exporter as current. No process or Go metrics here: they would clash
// with the host exporter's.

func writeUntilStopped(stopping context.Context, s settings, h *exporterHelpers, logger *slog.Logger) int {
	registry := prometheus.NewRegistry()
	registry.MustRegister(h.collector())
	path := s.textfile
	written, err := writeTextfile(path, registry, nil)
	if err != nil {
		h.stop() // never written: the path is wrong, not the moment
		logger.Error("cannot write " + path + ": " + reason(err))
		return 1
	}
	logger.Info("writing the text file after every snapshot", "path", path, "interval_ms", s.intervalMs)
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
		written, said = rewrite(path, registry, written, said, logger)
	}
	h.stop()
	if _, err := writeTextfile(path, registry, nil); err != nil {
		logger.Error("cannot mark the text file down on the way out", "path", path, "error", reason(err))
		return 0
	}
	logger.Info("stopped; the text file now says calvex_up 0, with no temperatures", "path", path)
	return 0
}

// rewrite writes the file when what it says has changed, saying each new
// trouble once and trying on.
func rewrite(path string, registry prometheus.Gatherer, written []byte, said string, logger *slog.Logger) ([]byte, string) {
	now, err := writeTextfile(path, registry, written)
	if err == nil {
		return now, ""
	}
	if trouble := reason(err); trouble != said {
		logger.Warn("cannot write the text file now; trying on", "path", path, "error", trouble)
		return written, trouble
	}
	return written, said
}

// writeTextfile replaces the file with what the registry says, unless that
// is what it says already (unchanged); a temporary file beside it is
// renamed over it, and never left behind.
func writeTextfile(path string, registry prometheus.Gatherer, unchanged []byte) ([]byte, error) {
	families, err := registry.Gather()
	if err != nil {
		return nil, err
	}
	var text bytes.Buffer
	for _, family := range families {
		if _, err := expfmt.MetricFamilyToText(&text, family); err != nil {
			return nil, err
		}
	}
	if unchanged != nil && bytes.Equal(text.Bytes(), unchanged) {
		return unchanged, nil
	}
	temporary, err := os.CreateTemp(filepath.Dir(path), "."+filepath.Base(path)+".*")
	if err != nil {
		return nil, err
	}
	defer os.Remove(temporary.Name()) // gone once renamed; here if anything failed
	_, err = temporary.Write(text.Bytes())
	if closed := temporary.Close(); err == nil {
		err = closed
	}
	if err == nil {
		err = os.Chmod(temporary.Name(), 0o644)
	}
	if err == nil {
		err = os.Rename(temporary.Name(), path)
	}
	if err != nil {
		return nil, err
	}
	return text.Bytes(), nil
}

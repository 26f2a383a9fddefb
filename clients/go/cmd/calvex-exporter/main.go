// calvex-exporter serves the temperature sensors of this Mac (and its
// thermal pressure level) to Prometheus, read through the calvex helpers
// it keeps running, or writes them to a file for node_exporter's textfile
// collector.
package main

import (
	"context"
	"fmt"
	"io"
	"log/slog"
	"net"
	"os"
	"os/signal"
	"strings"
	"syscall"
	"time"

	"calvex.invalid/calvex"
	"github.com/prometheus/common/promslog"
)

// How often the exporter looks at its helpers' states for the log, and how
// often the text file is rewritten at the least, whatever the interval.
const tick = 200 * time.Millisecond

// exporterHelpers are the helpers kept running, with a log for each.
type exporterHelpers struct {
	sensors  *supervisor[calvex.Snapshot]
	pressure *supervisor[calvex.ThermalPressure] // nil without a pressure helper
	watched  []watched
	woken    chan struct{}
	cancel   context.CancelFunc
	// Said once the exporter serves or writes, after the line that says so.
	notes []string
}

func startHelpers(sensors, pressure []string, interval time.Duration, logger *slog.Logger) *exporterHelpers {
	ctx, cancel := context.WithCancel(context.Background())
	h := &exporterHelpers{woken: make(chan struct{}, 1), cancel: cancel}
	h.sensors = newSupervisor(sensorRole, "sensors", sensorFailureCodes, interval, h.woken, sensorWatch(sensors, interval))
	h.watched = append(h.watched, watchedHelper[calvex.Snapshot]{h.sensors, newStateLog(logger, sensorRole, "readings")})
	go h.sensors.run(ctx)
	if pressure == nil {
		h.notes = append(h.notes, "no thermal pressure helper here: the calvex_thermal_pressure_* metrics are left out (give --pressure-helper to run one)")
		return h
	}
	h.pressure = newSupervisor(pressureRole, "pressure", pressureFailureCodes, interval, h.woken, pressureWatch(pressure, interval))
	h.watched = append(h.watched, watchedHelper[calvex.ThermalPressure]{h.pressure, newStateLog(logger, pressureRole, "pressure levels")})
	go h.pressure.run(ctx)
	return h
}

func (h *exporterHelpers) sayNotes(logger *slog.Logger) {
	for _, note := range h.notes {
		logger.Info(note)
	}
}

func (h *exporterHelpers) look() {
	for _, each := range h.watched {
		each.look()
	}
}

// stop ends both helpers (SIGTERM, SIGKILL after the grace period) and
// waits until they are reaped; from then on nothing is fresh.
func (h *exporterHelpers) stop() {
	h.cancel()
	<-h.sensors.done
	if h.pressure != nil {
		<-h.pressure.done
	}
}

func (h *exporterHelpers) collector() calvexCollector {
	c := calvexCollector{sensors: h.sensors}
	if h.pressure != nil {
		c.pressure = h.pressure
	}
	return c
}

func run(words []string, out, errOut io.Writer) int {
	// From the first line: a stop that comes while the exporter starts is
	// heard, and said, as any other.
	stopping, stopListening := signal.NotifyContext(context.Background(), syscall.SIGTERM, syscall.SIGINT, syscall.SIGHUP)
	defer stopListening()
	s, done, err := parseCommandLine(words, out)
	if done {
		return 0
	}
	if err != nil {
		fmt.Fprintf(errOut, "calvex-exporter: error: %s, try --help\n", err)
		return usageStatus
	}
	s.log.Writer = errOut
	logger := promslog.New(&s.log)
	var webConfig *servedConfig
	tls := false
	if s.webConfigFile != "" {
		if webConfig, tls, err = serveCopy(s.webConfigFile); err != nil {
			logger.Error(err.Error())
			return usageStatus
		}
		defer webConfig.remove()
		webConfig.warnExpired(logger)
	}
	if s.intervalAsked != "" {
		logger.Warn("--interval-ms is outside what the helper takes", "asked", s.intervalAsked, "using", s.intervalMs)
	}
	var listeners []net.Listener
	if s.textfile == "" {
		if listeners, err = bindListeners(s); err != nil {
			logger.Error(err.Error())
			return usageStatus
		}
	}
	sensors, err := sensorCommand(s.helper)
	if err != nil {
		closeAll(listeners)
		logger.Error(err.Error())
		return 1
	}
	sayHelperWords(s, logger)
	interval := time.Duration(s.intervalMs) * time.Millisecond
	helpers := startHelpers(sensors, pressureCommand(s.pressureHelper), interval, logger)
	if s.textfile != "" {
		return writeUntilStopped(stopping, s, helpers, logger)
	}
	return serveUntilStopped(stopping, s, tls, webConfig, listeners, helpers, logger)
}

// sayHelperWords says, once, that words looking like the exporter's own
// flags after --helper or --pressure-helper go to the helper, as they do.
func sayHelperWords(s settings, logger *slog.Logger) {
	for option, command := range map[string][]string{helperFlag: s.helper, pressureFlag: s.pressureHelper} {
		var flags []string
		for _, word := range command {
			if strings.HasPrefix(word, "--") {
				flags = append(flags, word)
			}
		}
		if len(flags) > 0 {
			logger.Info("words after "+option+" go to the helper, not to the exporter", "words", strings.Join(flags, " "))
		}
	}
}

func main() {
	os.Exit(run(os.Args[1:], os.Stdout, os.Stderr))
}

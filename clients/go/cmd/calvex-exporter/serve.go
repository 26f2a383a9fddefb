package main

import (
	"context"
	"errors"
	"fmt"
	"log/slog"
	"net"
	"net/http"
	"slices"
	"strings"
	"sync"
	"time"

	"github.com/coreos/go-systemd/v22/activation"
	"github.com/prometheus/client_golang/prometheus"
	"github.com/prometheus/client_golang/prometheus/collectors"
	versioncollector "github.com/prometheus/client_golang/prometheus/collectors/version"
	"github.com/prometheus/client_golang/prometheus/promhttp"
	commonversion "github.com/prometheus/common/version"
	"github.com/prometheus/exporter-toolkit/web"
)

// Serving /metrics through the exporter toolkit (TLS, client certificates
// and basic auth as every exporter reads them), with deadlines so that
// slow, silent and trickling clients hold up neither scrapes nor the stop.

const (
	// A client has this long to send its request (a TLS handshake included).
	requestTimeout = 5 * time.Second
	// and this long to take the answer.
	answerTimeout = 10 * time.Second
	idleTimeout   = 30 * time.Second
	// A request's head larger than this is refused (431). net/http reads
	// 4 KiB past its MaxHeaderBytes before it refuses: given for that.
	longestHeaderBytes = 16 << 10
	netHTTPHeaderSlack = 4 << 10
	// On a stop, requests under way get this long to finish.
	shutdownGrace = 300 * time.Millisecond
)

func metricsServer(s settings, h *exporterHelpers, connections *connectionLog) *http.Server {
	registry := prometheus.NewRegistry()
	// calvex_exporter_build_info, as every Prometheus exporter serves it.
	commonversion.Version = exporterVersion()
	registry.MustRegister(h.collector(), versioncollector.NewCollector("calvex_exporter"), collectors.NewGoCollector(),
		collectors.NewProcessCollector(collectors.ProcessCollectorOpts{}))
	mux := http.NewServeMux()
	mux.Handle(s.telemetryPath, wholePage(promhttp.HandlerFor(registry, promhttp.HandlerOpts{
		ErrorLog:      connections.asLogger(), // a client that stopped reading, say
		ErrorHandling: promhttp.ContinueOnError,
	})))
	if s.telemetryPath != "/" {
		landing, err := web.NewLandingPage(web.LandingConfig{
			Name:        "calvex-exporter",
			Description: "Temperature sensors of this Mac, read through the calvex helper",
			Version:     exporterVersion(),
			Profiling:   "false",
			Links:       []web.LandingLinks{{Address: s.telemetryPath, Text: "Metrics"}},
		})
		if err == nil {
			mux.Handle("/", landing)
		}
	}
	// HTTP/1.1 only: its deadlines above hold for every client, where an
	// HTTP/2 client could hold a connection with frames that reset none.
	var protocols http.Protocols
	protocols.SetHTTP1(true)
	return &http.Server{
		Handler:           onlyReads(mux),
		ReadHeaderTimeout: requestTimeout,
		ReadTimeout:       requestTimeout,
		WriteTimeout:      answerTimeout,
		IdleTimeout:       idleTimeout,
		MaxHeaderBytes:    longestHeaderBytes - netHTTPHeaderSlack,
		Protocols:         &protocols,
		ErrorLog:          connections.asLogger(), // a failed handshake, a plain request to TLS
	}
}

// wholePage leaves out the query: a scrape is the whole page, one
// consistent view, whatever name filter it asks for.
func wholePage(next http.Handler) http.Handler {
	return http.HandlerFunc(func(w http.ResponseWriter, r *http.Request) {
		whole := r.Clone(r.Context())
		whole.URL.RawQuery = ""
		next.ServeHTTP(w, whole)
	})
}

func onlyReads(next http.Handler) http.Handler {
	return http.HandlerFunc(func(w http.ResponseWriter, r *http.Request) {
		if r.Method != http.MethodGet && r.Method != http.MethodHead {
			w.Header().Set("Allow", "GET, HEAD")
			http.Error(w, http.StatusText(http.StatusMethodNotAllowed), http.StatusMethodNotAllowed)
			return
		}
		next.ServeHTTP(w, r)
	})
}

// serving is what the log says is served, from the listeners as bound.
type serving struct {
	mu     sync.Mutex
	scheme string
	path   string
	urls   []string
}

func (v *serving) listening(listener net.Listener, logger *slog.Logger) {
	url := v.scheme + "://" + listener.Addr().String() + v.path
	v.mu.Lock()
	v.urls = append(v.urls, url)
	v.mu.Unlock()
	logger.Info("serving", "url", url)
}

func (v *serving) said() string {
	v.mu.Lock()
	defer v.mu.Unlock()
	return strings.Join(v.urls, " and ")
}

// bindListeners binds every address before anything starts (or takes the
// sockets systemd hands over): an address in use ends the exporter before
// a helper runs.
func bindListeners(s settings) ([]net.Listener, error) {
	if s.systemdSocket {
		handed, err := activation.Listeners()
		// A descriptor that is no listening socket comes back as nil.
		listeners := slices.DeleteFunc(handed, func(listener net.Listener) bool { return listener == nil })
		if err == nil && len(listeners) == 0 {
			err = errors.New("systemd handed over no listening socket")
		}
		if err != nil {
			return nil, fmt.Errorf("cannot take the sockets systemd hands over (--web.systemd-socket): %s", err)
		}
		return listeners, nil
	}
	var listeners []net.Listener
	for _, address := range s.listen {
		listener, err := net.Listen("tcp", address)
		if err != nil {
			closeAll(listeners)
			return nil, fmt.Errorf("cannot listen on %s: %s", address, listenReason(err))
		}
		listeners = append(listeners, listener)
	}
	return listeners, nil
}

func listenReason(err error) string {
	var opErr *net.OpError
	if errors.As(err, &opErr) {
		return opErr.Err.Error()
	}
	return err.Error()
}

func closeAll(listeners []net.Listener) {
	for _, listener := range listeners {
		_ = listener.Close()
	}
}

func serveUntilStopped(stopping context.Context, s settings, tls bool, webConfig *servedConfig, listeners []net.Listener, h *exporterHelpers, logger *slog.Logger) int {
	connections := newConnectionLog(logger)
	server := metricsServer(s, h, connections)
	shown := &serving{scheme: "http", path: s.telemetryPath}
	if tls {
		shown.scheme = "https"
	}
	var noted sync.Once
	server.BaseContext = func(listener net.Listener) context.Context {
		shown.listening(listener, logger)
		noted.Do(func() { h.sayNotes(logger) })
		return context.Background()
	}
	noSocketActivation := false
	servedPath := ""
	if webConfig != nil {
		servedPath = webConfig.served // the checked copy, never the operator's file
	}
	flags := &web.FlagConfig{WebListenAddresses: &s.listen, WebSystemdSocket: &noSocketActivation, WebConfigFile: &servedPath}
	served := make(chan error, 1)
	go func() { served <- web.ServeMultiple(limitListeners(listeners, connectionCap()), server, flags, logger) }()
	look := func() {
		h.look()
		connections.look()
		if webConfig != nil {
			webConfig.look(logger)
		}
	}
	if failed := lookUntilStopped(stopping, served, look); failed != nil {
		h.stop()
		logger.Error("cannot serve", "error", oneLine(failed.Error()))
		return 1
	}
	helpersStopped := make(chan struct{})
	go func() { h.stop(); close(helpersStopped) }()
	finishing, cut := context.WithTimeout(context.Background(), shutdownGrace)
	defer cut()
	if server.Shutdown(finishing) != nil {
		server.Close() // the clients still there are cut: a stop waits for none
	}
	<-served
	<-helpersStopped
	connections.flush()
	logger.Info("stopped serving; its helpers are stopped and reaped", "url", shown.said())
	return 0
}

// lookUntilStopped keeps the helpers' log until a stop comes (nil) or the
// server could not start (its error).
func lookUntilStopped(stopping context.Context, served <-chan error, look func()) error {
	ticker := time.NewTicker(tick)
	defer ticker.Stop()
	for {
		select {
		case <-stopping.Done():
			return nil
		case err := <-served:
			if errors.Is(err, http.ErrServerClosed) {
				return nil
			}
			return err
		case <-ticker.C:
			look()
		}
	}
}

package main

import (
	"bytes"
	"errors"
	"log/slog"
	"net"
	"strings"
	"testing"
	"time"
)

func TestAFloodOfConnectionErrorsIsOneLineThenOneAMinute(t *testing.T) {
	var out bytes.Buffer
	connections := newConnectionLog(slog.New(slog.NewTextHandler(&out, nil)))
	logger := connections.asLogger()
	for range 300 {
		logger.Printf("http: TLS handshake error from 127.0.0.1:1234: client sent an HTTP request to an HTTPS server")
	}
	connections.look() // within the minute: nothing more
	if lines := strings.Count(out.String(), "\n"); lines != 1 {
		t.Fatalf("%d lines for 300 errors: %q", lines, out.String())
	}
	connections.every = 0 // the minute is up
	connections.look()
	connections.look() // nothing new since: nothing said
	said := strings.Split(strings.TrimSpace(out.String()), "\n")
	if len(said) != 2 || !strings.Contains(said[1], "count=299") || !strings.Contains(said[1], "HTTP request to an HTTPS server") {
		t.Fatalf("said %q", said)
	}
	logger.Printf("one more")
	connections.every = time.Hour
	connections.flush() // the stop says what is counted
	if !strings.Contains(out.String(), "count=1") {
		t.Fatalf("said %q", out.String())
	}
}

func TestConnectionsPastTheCapWaitAndAStopEndsTheWait(t *testing.T) {
	inner, err := net.Listen("tcp", "127.0.0.1:0")
	if err != nil {
		t.Fatal(err)
	}
	limited := limitListeners([]net.Listener{inner}, 2)[0]
	accepted := make(chan net.Conn, 4)
	ended := make(chan error, 1)
	go func() {
		for {
			conn, err := limited.Accept()
			if err != nil {
				ended <- err
				return
			}
			accepted <- conn
		}
	}()
	var clients []net.Conn
	for range 3 {
		client, err := net.Dial("tcp", inner.Addr().String())
		if err != nil {
			t.Fatal(err)
		}
		clients = append(clients, client)
	}
	first, second := <-accepted, <-accepted
	select {
	case <-accepted:
		t.Fatal("a third connection was taken past the cap of two")
	case <-time.After(100 * time.Millisecond):
	}
	_ = first.Close() // a slot is free: the third is taken
	third := <-accepted
	_ = limited.Close() // a stop while the accept waits for a slot
	select {
	case err := <-ended:
		if !errors.Is(err, net.ErrClosed) {
			t.Fatalf("the accept ended with %v", err)
		}
	case <-time.After(5 * time.Second):
		t.Fatal("the stop did not end the waiting accept")
	}
	for _, conn := range append(clients, second, third) {
		_ = conn.Close()
	}
}

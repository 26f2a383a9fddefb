package main

import (
	"net"
	"sync"
	"syscall"
)

// Connections are capped below the process's limit on open files (read at
// start), so that a crowd of idle clients can never take the descriptors
// the helpers' pipes need: past the cap a client waits in the kernel's
// queue, where before the accept failed ("too many open files") and so
// did the next helper's start.

// descriptorsKept is what the cap leaves for the rest: the helpers' pipes,
// the listeners, the text and configuration files, the runtime's own.
const descriptorsKept = 32

// connectionCap is how many connections may be open at once.
func connectionCap() int {
	var limit syscall.Rlimit
	if err := syscall.Getrlimit(syscall.RLIMIT_NOFILE, &limit); err != nil || limit.Cur > 1<<20 {
		return 1 << 16
	}
	return max(1, int(limit.Cur)-descriptorsKept)
}

// limitListeners shares one cap among every listener.
func limitListeners(listeners []net.Listener, cap int) []net.Listener {
	slots := make(chan struct{}, cap)
	limited := make([]net.Listener, len(listeners))
	for at, listener := range listeners {
		limited[at] = &limitListener{Listener: listener, slots: slots, closed: make(chan struct{})}
	}
	return limited
}

type limitListener struct {
	net.Listener
	slots     chan struct{}
	closed    chan struct{} // a stop: an accept that waits for a slot gives up
	closeOnce sync.Once
}

func (l *limitListener) Accept() (net.Conn, error) {
	select {
	case l.slots <- struct{}{}:
	case <-l.closed:
		return nil, net.ErrClosed
	}
	conn, err := l.Listener.Accept()
	if err != nil {
		<-l.slots
		return nil, err
	}
	return &limitedConn{Conn: conn, release: func() { <-l.slots }}, nil
}

func (l *limitListener) Close() error {
	l.closeOnce.Do(func() { close(l.closed) })
	return l.Listener.Close()
}

type limitedConn struct {
	net.Conn
	once    sync.Once
	release func()
}

func (c *limitedConn) Close() error {
	err := c.Conn.Close()
	c.once.Do(c.release)
	return err
}

// Command authflood floods an HTTPS endpoint with wrong basic-auth
// passwords (each a new one) from CLIENTS goroutines, each on its own
// connection kept alive, while it times the right password's scrapes: it
// prints the slowest of ten, in seconds.
//
//	authflood URL CA_FILE USER PASSWORD CLIENTS
package main

import (
	"crypto/tls"
	"crypto/x509"
	"fmt"
	"io"
	"net/http"
	"os"
	"strconv"
	"sync/atomic"
	"time"
)

func main() {
	if len(os.Args) != 6 {
		fmt.Fprintln(os.Stderr, "usage: authflood URL CA_FILE USER PASSWORD CLIENTS")
		os.Exit(2)
	}
	url, caFile, user, password := os.Args[1], os.Args[2], os.Args[3], os.Args[4]
	clients, err := strconv.Atoi(os.Args[5])
	ca, readErr := os.ReadFile(caFile)
	if err != nil || readErr != nil {
		fmt.Fprintln(os.Stderr, "authflood: bad arguments")
		os.Exit(2)
	}
	pool := x509.NewCertPool()
	pool.AppendCertsFromPEM(ca)
	newClient := func() *http.Client {
		return &http.Client{Timeout: 30 * time.Second, Transport: &http.Transport{TLSClientConfig: &tls.Config{RootCAs: pool}}}
	}
	get := func(client *http.Client, password string) int {
		request, _ := http.NewRequest(http.MethodGet, url, nil)
		request.SetBasicAuth(user, password)
		answer, err := client.Do(request)
		if err != nil {
			return 0
		}
		_, _ = io.Copy(io.Discard, answer.Body)
		answer.Body.Close()
		return answer.StatusCode
	}
	var stop atomic.Bool
	for worker := range clients {
		go func() {
			client := newClient()
			for attempt := 0; !stop.Load(); attempt++ {
				get(client, fmt.Sprintf("wrong-%d-%d", worker, attempt))
			}
		}()
	}
	time.Sleep(time.Second)
	right := newClient()
	slowest := 0.0
	for range 10 {
		asked := time.Now()
		if get(right, password) != http.StatusOK {
			slowest = 1e9
		}
		slowest = max(slowest, time.Since(asked).Seconds())
		time.Sleep(250 * time.Millisecond)
	}
	stop.Store(true)
	fmt.Printf("%.2f\n", slowest)
}

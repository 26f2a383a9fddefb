package main

import (
	"crypto/tls"
	"errors"
	"fmt"
	"io"
	"os"
	"sort"
	"strings"
	"unicode/utf8"

	"github.com/prometheus/exporter-toolkit/web"
	"go.yaml.in/yaml/v2"
	"golang.org/x/crypto/bcrypt"
)

// The web configuration file is read by the exporter toolkit, as every
// other exporter reads it. Before that, what the toolkit would choke on or
// wait for ever on is refused here: not a regular file (a FIFO, a device
// such as /dev/zero), too big, not UTF-8, or a password hash too costly to
// check on each scrape.

const (
	longestWebConfigBytes = 1 << 20
	// bcrypt cost 14 takes about a second a check; every step up doubles it,
	// and the toolkit checks one password at a time.
	highestBcryptCost = 14
)

// checkWebConfig says whether the file turns TLS on, or, for a file the
// exporter cannot serve with, the one sentence that says why not.
func checkWebConfig(path string) (tls bool, err error) {
	content, err := readWebConfig(path)
	if err != nil {
		return false, err
	}
	if err := web.Validate(path); err != nil {
		return false, fmt.Errorf("the web configuration %s cannot be used: %s", path, oneLine(err.Error()))
	}
	var config web.Config
	if err := yaml.Unmarshal(content, &config); err != nil {
		return false, fmt.Errorf("the web configuration %s cannot be used: %s", path, oneLine(err.Error()))
	}
	if err := checkTLSPolicy(config.TLSConfig); err != nil {
		return false, fmt.Errorf("the web configuration %s cannot be used: %s", path, err)
	}
	users := make([]string, 0, len(config.Users))
	for user := range config.Users {
		users = append(users, user)
	}
	sort.Strings(users)
	for _, user := range users {
		cost, err := bcrypt.Cost([]byte(config.Users[user]))
		if err == nil && cost > highestBcryptCost {
			return false, fmt.Errorf("the web configuration %s cannot be used: the password hash of %q has bcrypt cost %d, "+
				"above the %d that a scrape can afford to check", path, user, cost, highestBcryptCost)
		}
	}
	return config.TLSConfig.IsEnabled(), nil
}

// checkTLSPolicy refuses what the toolkit would take but an operator would
// not mean: protocol versions older than TLS 1.2, and client certificates
// verified without a CA of the operator's own (any publicly issued
// certificate would do).
func checkTLSPolicy(t web.TLSConfig) error {
	if !t.IsEnabled() {
		return nil
	}
	if t.MinVersion != 0 && t.MinVersion < web.TLSVersion(tls.VersionTLS12) {
		return fmt.Errorf("min_version is below TLS12, the oldest this exporter speaks")
	}
	verifies := t.ClientAuth == "RequireAndVerifyClientCert" || t.ClientAuth == "VerifyClientCertIfGiven"
	if verifies && t.ClientCAs == "" && t.ClientCAsText == "" {
		return fmt.Errorf("client_auth_type %s needs a client_ca_file (or client_ca) to verify the clients' certificates against", t.ClientAuth)
	}
	return nil
}

func readWebConfig(path string) ([]byte, error) {
	info, err := os.Stat(path)
	if err != nil {
		return nil, fmt.Errorf("cannot read the web configuration %s: %s", path, reason(err))
	}
	if !info.Mode().IsRegular() {
		return nil, fmt.Errorf("the web configuration %s is not a regular file", path)
	}
	if info.Size() > longestWebConfigBytes {
		return nil, fmt.Errorf("the web configuration %s is over %d bytes", path, longestWebConfigBytes)
	}
	file, err := os.Open(path)
	if err != nil {
		return nil, fmt.Errorf("cannot read the web configuration %s: %s", path, reason(err))
	}
	defer file.Close()
	content, err := io.ReadAll(io.LimitReader(file, longestWebConfigBytes+1))
	switch {
	case err != nil:
		return nil, fmt.Errorf("cannot read the web configuration %s: %s", path, reason(err))
	case len(content) > longestWebConfigBytes:
		return nil, fmt.Errorf("the web configuration %s is over %d bytes", path, longestWebConfigBytes)
	case !utf8.Valid(content):
		return nil, fmt.Errorf("the web configuration %s is not UTF-8 text", path)
	}
	return content, nil
}

// oneLine joins a multi-line error (YAML's list its problems a line each).
func oneLine(text string) string {
	var joined strings.Builder
	for i, line := range strings.Split(strings.TrimSpace(text), "\n") {
		switch {
		case i == 0:
		case strings.HasSuffix(joined.String(), ":"):
			joined.WriteString(" ")
		default:
			joined.WriteString("; ")
		}
		joined.WriteString(strings.TrimSpace(line))
	}
	return joined.String()
}

// reason is the system's words for a failed file operation, without the
// path and operation that the sentence around it already names.
func reason(err error) string {
	var pathErr *os.PathError
	if errors.As(err, &pathErr) {
		return pathErr.Err.Error()
	}
	return err.Error()
}

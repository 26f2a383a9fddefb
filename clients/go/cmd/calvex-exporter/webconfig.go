package main

import (
	"bytes"
	"crypto/tls"
	"errors"
	"fmt"
	"io"
	"os"
	"path/filepath"
	"sort"
	"strings"
	"syscall"
	"unicode/utf8"

	"github.com/prometheus/common/config/secret"
	"github.com/prometheus/exporter-toolkit/web"
	"go.yaml.in/yaml/v2"
	"golang.org/x/crypto/bcrypt"
)

// The web configuration file is read by the exporter toolkit, as every
// other exporter reads it. Before that, what the toolkit would choke on or
// wait for ever on is refused here, in the file and in every file it names
// (cert_file, key_file, client_ca_file): not a regular file (a FIFO, a
// device such as /dev/zero), too big or unreadable; and in the file alone:
// not UTF-8, more than one YAML document, a password hash too costly to
// check on each scrape, a user name basic auth cannot carry, and TLS
// settings no client can use or that let in what the CA never signed.

const (
	longestWebConfigBytes = 1 << 20
	// bcrypt cost 14 takes about a second a check; every step up doubles it,
	// and the toolkit checks one password at a time.
	highestBcryptCost = 14
)

// checkWebConfig says whether the file turns TLS on, or, for a file the
// exporter cannot serve with, the one sentence that says why not.
func checkWebConfig(path string) (tls bool, err error) {
	content, err := readFileGuarded("the web configuration", path)
	if err != nil {
		return false, err
	}
	if !utf8.Valid(content) {
		return false, fmt.Errorf("the web configuration %s is not UTF-8 text", path)
	}
	unusable := func(why string) error { return fmt.Errorf("the web configuration %s cannot be used: %s", path, why) }
	if oneDocument(content) != nil {
		return false, unusable("it holds more than one YAML document, and only the first would be read")
	}
	var config web.Config
	if err := yaml.Unmarshal(content, &config); err != nil {
		return false, unusable(oneLine(err.Error()))
	}
	// The files it names are guarded before the toolkit reads them.
	config.TLSConfig.SetDirectory(filepath.Dir(path))
	for _, named := range namedFiles(config.TLSConfig) {
		if _, err := readFileGuarded("the "+named.key+" of the web configuration", named.path); err != nil {
			return false, err
		}
	}
	if err := web.Validate(path); err != nil {
		return false, unusable(oneLine(err.Error()))
	}
	if err := checkTLSPolicy(config.TLSConfig); err != nil {
		return false, unusable(err.Error())
	}
	if err := checkUsers(config.Users); err != nil {
		return false, unusable(err.Error())
	}
	return config.TLSConfig.IsEnabled(), nil
}

// oneDocument is an error when the YAML holds a second document.
func oneDocument(content []byte) error {
	decoder := yaml.NewDecoder(bytes.NewReader(content))
	var first, second any
	if decoder.Decode(&first) != nil {
		return nil // none, or not YAML: the unmarshal says which
	}
	if err := decoder.Decode(&second); errors.Is(err, io.EOF) {
		return nil
	}
	return errors.New("a second document")
}

type namedFile struct{ key, path string }

func namedFiles(t web.TLSConfig) []namedFile {
	var named []namedFile
	for _, each := range []namedFile{{"cert_file", t.TLSCertPath}, {"key_file", t.TLSKeyPath}, {"client_ca_file", t.ClientCAs}} {
		if each.path != "" {
			named = append(named, each)
		}
	}
	return named
}

// checkUsers refuses a user basic auth cannot carry (a colon ends the
// name on the wire) and a hash too costly to check on each scrape.
func checkUsers(users map[string]secret.Secret) error {
	names := make([]string, 0, len(users))
	for user := range users {
		names = append(names, user)
	}
	sort.Strings(names)
	for _, user := range names {
		if strings.ContainsRune(user, ':') {
			return fmt.Errorf("the user name %q holds a colon, which basic auth cannot carry", user)
		}
		cost, err := bcrypt.Cost([]byte(users[user]))
		if err == nil && cost > highestBcryptCost {
			return fmt.Errorf("the password hash of %q has bcrypt cost %d, above the %d that a scrape can afford to check",
				user, cost, highestBcryptCost)
		}
	}
	return nil
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
	if t.MaxVersion != 0 && t.MaxVersion < web.TLSVersion(tls.VersionTLS12) {
		return fmt.Errorf("max_version is below TLS12, the oldest this exporter speaks: no handshake could succeed")
	}
	verifies := t.ClientAuth == "RequireAndVerifyClientCert" || t.ClientAuth == "VerifyClientCertIfGiven"
	hasCA := t.ClientCAs != "" || t.ClientCAsText != ""
	if verifies && !hasCA {
		return fmt.Errorf("client_auth_type %s needs a client_ca_file (or client_ca) to verify the clients' certificates against", t.ClientAuth)
	}
	if hasCA && !verifies && t.ClientAuth != "" {
		return fmt.Errorf("client_auth_type %s takes any client certificate without checking it against the client CA: "+
			"use RequireAndVerifyClientCert to let in only the certificates the CA signed", t.ClientAuth)
	}
	return nil
}

// readFileGuarded reads a file the exporter is told to read (what names
// it, then its path), refusing what would hang or flood it: not a regular
// file, or over longestWebConfigBytes.
func readFileGuarded(what, path string) ([]byte, error) {
	info, err := os.Stat(path)
	if err != nil {
		return nil, fmt.Errorf("cannot read %s %s: %s", what, path, reason(err))
	}
	if !info.Mode().IsRegular() {
		return nil, fmt.Errorf("%s %s is not a regular file", what, path)
	}
	if info.Size() > longestWebConfigBytes {
		return nil, fmt.Errorf("%s %s is over %d bytes", what, path, longestWebConfigBytes)
	}
	// Opened without waiting: a file swapped for a FIFO after the look
	// above gives an empty read, not a hang.
	file, err := os.OpenFile(path, os.O_RDONLY|syscall.O_NONBLOCK, 0)
	if err != nil {
		return nil, fmt.Errorf("cannot read %s %s: %s", what, path, reason(err))
	}
	defer file.Close()
	content, err := io.ReadAll(io.LimitReader(file, longestWebConfigBytes+1))
	switch {
	case err != nil:
		return nil, fmt.Errorf("cannot read %s %s: %s", what, path, reason(err))
	case len(content) > longestWebConfigBytes:
		return nil, fmt.Errorf("%s %s is over %d bytes", what, path, longestWebConfigBytes)
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

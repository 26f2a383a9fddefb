package main

import (
	"crypto/x509"
	"encoding/pem"
	"fmt"
	"log/slog"
	"os"
	"path/filepath"
	"strconv"
	"syscall"
	"time"

	"github.com/prometheus/exporter-toolkit/web"
	"go.yaml.in/yaml/v2"
)

// The toolkit rereads its web configuration on every request and every
// handshake. It is given a copy that passed the start-up checks, never the
// operator's file: the copy and the files it names sit in a folder of the
// exporter's own. The operator's files are looked at every tick; a change
// is checked as at start and served only when it passes, and one log line
// says which (a change refused leaves the copy served before).

type fileStamp struct {
	size    int64
	modTime time.Time
	inode   uint64
	exists  bool
}

func stampOf(path string) fileStamp {
	info, err := os.Stat(path)
	if err != nil {
		return fileStamp{}
	}
	stamp := fileStamp{size: info.Size(), modTime: info.ModTime(), exists: true}
	if system, ok := info.Sys().(*syscall.Stat_t); ok {
		stamp.inode = uint64(system.Ino) //nolint:unconvert // an int64 on some systems
	}
	return stamp
}

type servedConfig struct {
	source     string // the operator's file
	folder     string // the exporter's own, removed at the end
	served     string // the copy the toolkit reads
	stamps     map[string]fileStamp
	generation int
	tls        bool // as it started: turning TLS on or off takes a restart
}

// serveCopy checks the operator's web configuration and makes the copy
// that is served; tls says whether it turns TLS on.
func serveCopy(source string) (config *servedConfig, tls bool, err error) {
	if tls, err = checkWebConfig(source); err != nil {
		return nil, false, err
	}
	folder, err := os.MkdirTemp("", "calvex-exporter-web-")
	if err != nil {
		return nil, false, fmt.Errorf("cannot keep a copy of the web configuration: %s", reason(err))
	}
	config = &servedConfig{source: source, folder: folder, served: filepath.Join(folder, "web.yml"), tls: tls}
	if err := config.copyIn(); err != nil {
		config.remove()
		return nil, false, err
	}
	return config, tls, nil
}

// copyIn writes the operator's configuration (as it is now) and the files
// it names into the folder, the names turned to the copies, then puts it
// where the toolkit reads it.
func (c *servedConfig) copyIn() error {
	content, err := readFileGuarded("the web configuration", c.source)
	if err != nil {
		return err
	}
	var parsed web.Config
	var document yaml.MapSlice
	if err := yaml.Unmarshal(content, &parsed); err != nil {
		return fmt.Errorf("the web configuration %s cannot be used: %s", c.source, oneLine(err.Error()))
	}
	if err := yaml.Unmarshal(content, &document); err != nil {
		return fmt.Errorf("the web configuration %s cannot be used: %s", c.source, oneLine(err.Error()))
	}
	parsed.TLSConfig.SetDirectory(filepath.Dir(c.source))
	c.generation++
	stamps := map[string]fileStamp{c.source: stampOf(c.source)}
	copies := map[string]string{}
	for _, named := range namedFiles(parsed.TLSConfig) {
		stamps[named.path] = stampOf(named.path)
		data, err := readFileGuarded("the "+named.key+" of the web configuration", named.path)
		if err != nil {
			return err
		}
		copied := filepath.Join(c.folder, named.key+"-"+strconv.Itoa(c.generation))
		if err := os.WriteFile(copied, data, 0o600); err != nil {
			return fmt.Errorf("cannot keep a copy of the web configuration: %s", reason(err))
		}
		copies[named.key] = copied
	}
	document = withPaths(document, copies)
	written, err := yaml.Marshal(document)
	if err != nil {
		return fmt.Errorf("cannot keep a copy of the web configuration: %s", err)
	}
	staged := c.served + ".new"
	if err := os.WriteFile(staged, written, 0o600); err != nil {
		return fmt.Errorf("cannot keep a copy of the web configuration: %s", reason(err))
	}
	if err := web.Validate(staged); err != nil {
		return fmt.Errorf("the web configuration %s cannot be used: %s", c.source, oneLine(err.Error()))
	}
	if err := os.Rename(staged, c.served); err != nil {
		return fmt.Errorf("cannot keep a copy of the web configuration: %s", reason(err))
	}
	c.stamps = stamps
	return nil
}

// withPaths is the document with tls_server_config's file names replaced.
func withPaths(document yaml.MapSlice, copies map[string]string) yaml.MapSlice {
	for at, item := range document {
		if item.Key != "tls_server_config" {
			continue
		}
		section, ok := item.Value.(yaml.MapSlice)
		if !ok {
			continue
		}
		for inner, setting := range section {
			if key, ok := setting.Key.(string); ok && copies[key] != "" {
				section[inner].Value = copies[key]
			}
		}
		document[at].Value = section
	}
	return document
}

// look checks the operator's files again when one of them changed, and
// serves the change only when it passes; one log line either way.
func (c *servedConfig) look(logger *slog.Logger) {
	changed := false
	for path, stamp := range c.stamps {
		if stampOf(path) != stamp {
			changed = true
		}
	}
	if !changed {
		return
	}
	now := map[string]fileStamp{}
	for path := range c.stamps {
		now[path] = stampOf(path)
	}
	tls, err := checkWebConfig(c.source)
	if err == nil && tls != c.tls {
		err = fmt.Errorf("the web configuration %s turns TLS %s, which takes a restart", c.source, map[bool]string{true: "on", false: "off"}[tls])
	}
	if err != nil {
		c.stamps = now // said once a change
		logger.Error("web configuration change refused; serving the one before", "path", c.source, "reason", err.Error())
		return
	}
	if err := c.copyIn(); err != nil {
		c.stamps = now
		logger.Error("web configuration change refused; serving the one before", "path", c.source, "reason", err.Error())
		return
	}
	logger.Info("web configuration changed and checked; serving it", "path", c.source)
}

// warnExpired says, in one line, when the served certificate expired, if
// it has: every handshake will fail the clients' check of it.
func (c *servedConfig) warnExpired(logger *slog.Logger) {
	content, err := os.ReadFile(c.served)
	var config web.Config
	if err != nil || yaml.Unmarshal(content, &config) != nil {
		return
	}
	certificate := []byte(config.TLSConfig.TLSCert)
	if config.TLSConfig.TLSCertPath != "" {
		certificate, _ = os.ReadFile(config.TLSConfig.TLSCertPath)
	}
	block, _ := pem.Decode(certificate)
	if block == nil {
		return
	}
	parsed, err := x509.ParseCertificate(block.Bytes)
	if err == nil && time.Now().After(parsed.NotAfter) {
		logger.Warn("the server certificate has expired: clients that check it will refuse every handshake",
			"path", c.source, "expired", parsed.NotAfter.UTC().Format(time.RFC3339))
	}
}

func (c *servedConfig) remove() {
	if c != nil {
		_ = os.RemoveAll(c.folder)
	}
}

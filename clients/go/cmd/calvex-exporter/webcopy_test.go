package main

import (
	"bytes"
	"crypto/ecdsa"
	"crypto/elliptic"
	"crypto/rand"
	"crypto/x509"
	"crypto/x509/pkix"
	"encoding/pem"
	"log/slog"
	"math/big"
	"os"
	"path/filepath"
	"strings"
	"testing"
	"time"
)

// A certificate that expired yesterday: what no openssl command line makes.
func expiredCertificate(t *testing.T, folder string) {
	t.Helper()
	key, err := ecdsa.GenerateKey(elliptic.P256(), rand.Reader)
	if err != nil {
		t.Fatal(err)
	}
	template := &x509.Certificate{SerialNumber: big.NewInt(1), Subject: pkix.Name{CommonName: "127.0.0.1"},
		NotBefore: time.Now().Add(-48 * time.Hour), NotAfter: time.Now().Add(-24 * time.Hour)}
	der, err := x509.CreateCertificate(rand.Reader, template, template, &key.PublicKey, key)
	if err != nil {
		t.Fatal(err)
	}
	keyDER, err := x509.MarshalECPrivateKey(key)
	if err != nil {
		t.Fatal(err)
	}
	write := func(name, kind string, data []byte) {
		if err := os.WriteFile(filepath.Join(folder, name), pem.EncodeToMemory(&pem.Block{Type: kind, Bytes: data}), 0o600); err != nil {
			t.Fatal(err)
		}
	}
	write("old.crt", "CERTIFICATE", der)
	write("old.key", "EC PRIVATE KEY", keyDER)
}

func TestAnExpiredCertificateIsSaidOnceAtStartAndTheCopyIsTheOneServed(t *testing.T) {
	folder := t.TempDir()
	expiredCertificate(t, folder)
	source := filepath.Join(folder, "web.yml")
	if err := os.WriteFile(source, []byte("tls_server_config:\n  cert_file: old.crt\n  key_file: old.key\n"), 0o600); err != nil {
		t.Fatal(err)
	}
	config, tls, err := serveCopy(source)
	if err != nil || !tls {
		t.Fatalf("serveCopy: %v %v", tls, err)
	}
	defer config.remove()
	var said bytes.Buffer
	config.warnExpired(slog.New(slog.NewTextHandler(&said, nil)))
	if strings.Count(said.String(), "\n") != 1 || !strings.Contains(said.String(), "level=WARN") ||
		!strings.Contains(said.String(), "the server certificate has expired") || !strings.Contains(said.String(), "expired=") {
		t.Fatalf("said: %q", said.String())
	}
	served, err := os.ReadFile(config.served)
	if err != nil || strings.Contains(string(served), folder) || !strings.Contains(string(served), config.folder) {
		t.Fatalf("the toolkit is given %q: %v", served, err)
	}
	config.remove()
	if _, err := os.Stat(config.folder); !os.IsNotExist(err) {
		t.Fatalf("the copy outlives the exporter: %v", err)
	}
}

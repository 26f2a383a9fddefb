#!/usr/bin/env bash
# Cross-builds calvex-exporter for macOS arm64 with this machine's Go:
# no cgo, paths trimmed, no build ID or VCS stamp, so two clean builds of a
# commit are byte for byte the same (Go's linker signs darwin/arm64 output
# ad hoc). Writes dist/calvex-exporter-macos-arm64 with its .sha256 beside it.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v go >/dev/null || { echo "no Go toolchain: install Go to build calvex-exporter" >&2; exit 1; }
mkdir -p dist
(cd clients/go/cmd/calvex-exporter &&
    GOOS=darwin GOARCH=arm64 CGO_ENABLED=0 GOTOOLCHAIN=local GOFLAGS=-buildvcs=false \
    go build -trimpath -ldflags "-s -w -buildid= -X main.version=$(cat ../../../../VERSION)" \
        -o ../../../../dist/calvex-exporter-macos-arm64 .)
(cd dist && sha256sum calvex-exporter-macos-arm64 > calvex-exporter-macos-arm64.sha256)
echo "built dist/calvex-exporter-macos-arm64 ($(wc -c < dist/calvex-exporter-macos-arm64) bytes)"
cat dist/calvex-exporter-macos-arm64.sha256

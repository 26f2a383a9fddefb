#!/usr/bin/env bash
# The exporter's macOS audit must bite: an Intel build, a cgo-free build
# without -trimpath, and the Linux build each fail it, each for its reason.
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
export GOTOOLCHAIN=local GOFLAGS=-buildvcs=false CGO_ENABLED=0
# rejected NAME REASON: the audit of that build fails and says REASON.
rejected() {
    if tools/audit-macos-exporter.sh "$work/$1" >"$work/$1.log" 2>&1; then fail "the audit passed $1"; fi
    grep -qF "$2" "$work/$1.log" || fail "the audit failed $1 for another reason: $(grep FAIL "$work/$1.log")"
}
(cd clients/go/cmd/calvex-exporter &&
    GOOS=darwin GOARCH=amd64 go build -trimpath -o "$work/intel" . &&
    GOOS=darwin GOARCH=arm64 go build -o "$work/untrimmed" . &&
    GOOS=linux GOARCH=arm64 go build -trimpath -o "$work/linux" .)
rejected intel "not a 64-bit arm64 Mach-O executable"
rejected untrimmed "not built with -trimpath=true"
rejected linux "not a 64-bit arm64 Mach-O executable"
echo "PASS: the exporter's audit refuses an Intel build, an untrimmed build and a Linux build"

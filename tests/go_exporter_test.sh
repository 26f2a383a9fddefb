#!/usr/bin/env bash
# calvex-exporter as the field checks a Go program: gofmt, go vet,
# staticcheck (pinned in tools/go/go.mod), its unit tests under the race
# detector, the darwin/arm64 build without cgo; then the binary, built with
# the race detector, run black-box by tests/exporter/ (pytest) against the
# real helpers on the simulated platform, promtool, a real Prometheus and
# node_exporter.
#   go_exporter_test.sh SIMRUN TOOL [PYTEST ARGUMENTS ...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
simrun=$(realpath "$1") tool=$(realpath "$2")
shift 2
fail() { echo "FAIL: $*"; exit 1; }
command -v go >/dev/null || { echo "SKIPPED: no Go toolchain; install Go (this machine's kind has it)"; exit 77; }
/usr/bin/python3 -c 'import pytest, pytest_timeout, prometheus_client' 2>/dev/null ||
    { echo "SKIPPED: pytest, pytest-timeout and prometheus_client are needed (Debian packages python3-pytest python3-pytest-timeout python3-prometheus-client)"; exit 77; }
export GOFLAGS=-buildvcs=false GOTOOLCHAIN=local
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$root/clients/go/cmd/calvex-exporter"

unformatted=$(gofmt -l .)
[ -z "$unformatted" ] || fail "not gofmt'd: $unformatted"
go vet ./...
go tool -modfile="$root/tools/go/go.mod" staticcheck ./...
CALVEX_TEST_ROOT=$root go test -race -count=1 -timeout 300s ./...
GOOS=darwin GOARCH=arm64 CGO_ENABLED=0 go build -trimpath -o "$work/calvex-exporter-darwin" .

# Alone in its folder: no helper beside it, so each test names its own.
mkdir "$work/bin"
go build -race -trimpath -ldflags "-X main.version=$(cat "$root/VERSION")" -o "$work/bin/calvex-exporter" .
mkdir "$work/plain"
go build -trimpath -o "$work/plain/calvex-exporter" .
# Its flags are a promise: --help against the checked-in report (as Linux
# shows it, with the toolkit's Linux-only --web.systemd-socket).
"$work/bin/calvex-exporter" --help | diff -u etc/calvex-exporter.help.txt - ||
    fail "calvex-exporter --help differs from etc/calvex-exporter.help.txt (if on purpose: update it, with a line in CHANGELOG.md)"
CALVEX_TEST_EXPORTER=$work/bin/calvex-exporter CALVEX_TEST_PLAIN_EXPORTER=$work/plain/calvex-exporter CALVEX_TEST_SIMRUN=$simrun CALVEX_TEST_TOOL=$tool PYTHONDONTWRITEBYTECODE=1 \
    /usr/bin/python3 -m pytest -q -p no:cacheprovider --timeout=120 "$root/tests/exporter" "$@"
echo "PASS: calvex-exporter: gofmt, vet, staticcheck, race-checked unit tests, darwin/arm64 build, the binary black-box"

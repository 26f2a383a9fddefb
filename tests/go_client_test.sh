#!/usr/bin/env bash
# The Go client as the field checks a module: gofmt, go vet, staticcheck
# (pinned in tools/go/go.mod), every test under the race detector against
# the real helpers on the simulated platform, the darwin/arm64 build
# without cgo, its API report (with a case that must fail), and the
# example program built and run.
#   go_client_test.sh SIMRUN TOOL
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
simrun=$1 tool=$2
fail() { echo "FAIL: $*"; exit 1; }
command -v go >/dev/null || { echo "SKIPPED: no Go toolchain; install Go (this machine's kind has it)"; exit 77; }
export GOFLAGS=-buildvcs=false GOTOOLCHAIN=local
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$root/clients/go"

unformatted=$(gofmt -l . "$root/examples/go")
[ -z "$unformatted" ] || fail "not gofmt'd: $unformatted"
go vet ./...
go tool -modfile="$root/tools/go/go.mod" staticcheck ./...
(cd "$root/examples/go/hottest" && go vet ./...)
# A bound that only a fault reaches: a helper left running hangs a test.
CALVEX_TEST_SIMRUN=$simrun CALVEX_TEST_TOOL=$tool go test -race -count=1 -timeout 300s ./...
GOOS=darwin GOARCH=arm64 CGO_ENABLED=0 go build -trimpath ./...
[ -z "$(go list -deps -f '{{if not .Standard}}{{.ImportPath}}{{end}}' . | grep -v '^calvex.invalid/calvex$' || true)" ] ||
    fail "the client imports a module outside the standard library"

"$root/tools/api-report-go.sh" --check
# A scratch module whose Sensor has lost its Celsius must fail the check.
cp -r "$root/clients/go" "$work/module"
grep -q '^	Celsius float64$' "$work/module/protocol.go" || fail "the scratch edit no longer applies to protocol.go"
sed -i '/^	Celsius float64$/d' "$work/module/protocol.go"
if "$root/tools/api-report-go.sh" --check "$work/module" >"$work/scratch.log" 2>&1; then
    fail "the API report check passed a Sensor without Celsius"
fi
grep -q '^-	Celsius float64$' "$work/scratch.log" || fail "the scratch check failed for another reason: $(tail -5 "$work/scratch.log")"

(cd "$root/examples/go/hottest" && go build -o "$work/hottest" .)
said=$(CALVEX_HELPER="/usr/bin/env CALVEX_SIM_CLOCK=virtual CALVEX_SIM_SCENARIO=$root/sim/scenarios/laptop.scenario $simrun $tool" \
    CALVEX_PRESSURE_HELPER="/usr/bin/env CALVEX_SIM_PRESSURE=1 $simrun $(dirname "$tool")/calvex-pressure" "$work/hottest")
[ "$said" = "hottest CPU part: PMU tdie2 at 42.06 °C
thermal pressure: moderate (level 1)" ] || fail "the example said: $said"
echo "PASS: the Go client: gofmt, vet, staticcheck, race-checked tests, darwin/arm64 build, API report (and its failing case), the example"

#!/usr/bin/env bash
# The Node.js example as a real parent: it must print the hottest sensor of
# each snapshot, report an error line, and leave no calvex behind.
# Usage: example_client_test.sh EXAMPLE SIMRUN CALVEX
set -euo pipefail
example=$1 simrun=$2 calvex=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() { echo "FAIL: $*"; cat "$scratch/out" 2>/dev/null; exit 1; }

# Three snapshots at 200 ms from the built-in machine.
node "$example" --snapshots 3 -- "$simrun" "$calvex" 200 >"$scratch/out" 2>"$scratch/err" || fail "example exited $?"
[ ! -s "$scratch/err" ] || fail "stderr: $(cat "$scratch/err")"
pid=$(sed -n 's/^started calvex, pid \([0-9]*\)$/\1/p' "$scratch/out")
[ -n "$pid" ] || fail "no pid line"
[ "$(grep -c '^snapshot [1-3]: 55 sensors, hottest [A-Za-z].* at [0-9][0-9]\.[0-9][0-9] °C$' "$scratch/out")" -eq 3 ] \
    || fail "expected three summary lines"
grep -q 'hottest PMU tcal' "$scratch/out" && fail "a calibration reference shown as the hottest sensor"

# calvex must be gone within its interval plus a margin; a zombie counts as gone.
for _ in $(seq 1 100); do
    state=$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null || true)
    [ -z "$state" ] || [ "$state" = Z ] && break
    sleep 0.05
done
state=$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null || true)
[ -z "$state" ] || [ "$state" = Z ] || fail "calvex $pid still running (state $state)"

# An error line reaches the app as a message, not a crash.
status=0
CALVEX_SIM_FAULT=no-client node "$example" --snapshots 3 -- "$simrun" "$calvex" 200 >"$scratch/out" 2>&1 || status=$?
[ "$status" -eq 1 ] || fail "error case exited $status"
grep -qx 'calvex reports: no HID event system' "$scratch/out" || fail "no error report"
CALVEX_SIM_FAULT=no-iokit node "$example" -- "$simrun" "$calvex" >"$scratch/out" 2>&1 || true
grep -qx 'calvex reports: IOKit not available' "$scratch/out" || fail "no IOKit report"
echo "PASS: example client read 3 snapshots; calvex $pid gone afterwards; both error lines reported"

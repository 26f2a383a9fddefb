#!/bin/sh
# A quick check of the tool before the client suites run: one --once line
# that ends with its line feed, within a few seconds. Every client and
# exporter test would otherwise meet a broken helper one timeout at a time.
# Usage: helper_smoke_test.sh SIMRUN TOOL
out=$(mktemp) || exit 1
trap 'rm -f "$out"' EXIT
CALVEX_SIM_CLOCK=real timeout 10 "$1" "$2" --once >"$out"
status=$?
[ "$status" -eq 0 ] || { echo "FAIL: calvex --once exited with $status"; exit 1; }
[ "$(head -c 12 "$out")" = '{"sensors":[' ] || { echo "FAIL: not a snapshot line: $(head -c 80 "$out")"; exit 1; }
[ "$(tail -c 3 "$out" | od -An -c | tr -d ' ')" = ']}\n' ] || { echo "FAIL: the line does not end with ]} and a line feed"; exit 1; }
[ "$(wc -l <"$out")" -eq 1 ] || { echo "FAIL: more than one line"; exit 1; }
echo "PASS: one snapshot line, with its line feed"

#!/usr/bin/env bash
# The Go client's public surface as a plain text report: every exported
# declaration as `go doc -all` prints it (struct fields included), without
# the doc comments, so a report changes only with a name or a signature.
#   tools/api-report-go.sh [MODULE]           print the report
#   tools/api-report-go.sh --check [MODULE]   compare with clients/go/etc/calvex.api.txt
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
check=0
[ "${1:-}" != --check ] || { check=1; shift; }
module=${1:-$root/clients/go}
report() {
    (cd "$module" && go doc -all .) | awk '
        /^(FUNCTIONS|TYPES|VARIABLES|CONSTANTS)$/ { started = 1; print; next }
        !started { next }
        /^(func|type|var|const) / { print; inside = /[{(]$/; next }
        inside && /^[})]/ { print; inside = 0; next }
        inside && !/^\t*\/\// { print }'
}
if [ "$check" -eq 0 ]; then
    report
    exit 0
fi
if ! diff -u "$root/clients/go/etc/calvex.api.txt" <(report); then
    echo "FAIL: the Go client's surface differs from clients/go/etc/calvex.api.txt; if on purpose: tools/api-report-go.sh > clients/go/etc/calvex.api.txt, and a line in CHANGELOG.md"
    exit 1
fi
echo "PASS: the Go client's surface is the one in clients/go/etc/calvex.api.txt"

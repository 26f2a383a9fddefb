#!/usr/bin/env bash
# The clients' public surfaces against their checked-in reports: the npm
# package's declarations read by API Extractor (clients/node/etc/), the
# Python package read by griffe (clients/python/etc/). Each also runs on a
# scratch copy with one public property taken out, which must fail: a
# guard that never bites guards nothing.
# Usage: api_report_test.sh node|python
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
fail() { echo "FAIL: $*"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

node_report() {
    local extractor=$root/clients/node/node_modules/.bin/api-extractor
    if [ ! -x "$extractor" ]; then
        echo "SKIPPED: the pinned API Extractor is not installed; run: npm ci --prefix clients/node"
        exit 77
    fi
    (cd clients/node && "$extractor" run >"$work/now.log" 2>&1) ||
        fail "the declared surface differs from clients/node/etc/calvex.api.md (if on purpose: npx api-extractor run --local in clients/node, and a line in CHANGELOG.md): $(grep -v '^$' "$work/now.log" | tail -5)"
    # A scratch package whose Sensor has lost its celsius.
    mkdir -p "$work/scratch/etc"
    cp clients/node/{index.d.ts,api-extractor.json,tsconfig.json,tsconfig.api.json,package.json} "$work/scratch/"
    cp clients/node/etc/calvex.api.md "$work/scratch/etc/"
    ln -s "$root/clients/node/node_modules" "$work/scratch/node_modules"
    grep -q '^  celsius: number;$' "$work/scratch/index.d.ts" || fail "the scratch edit no longer applies to index.d.ts"
    sed -i '/^  celsius: number;$/d' "$work/scratch/index.d.ts"
    if (cd "$work/scratch" && "$extractor" run >"$work/scratch.log" 2>&1); then
        fail "API Extractor passed a surface without Sensor.celsius"
    fi
    grep -q 'changed the API signature' "$work/scratch.log" || fail "the scratch run failed for another reason: $(tail -5 "$work/scratch.log")"
    echo "PASS: the npm package's surface is its report, and a removed property fails it"
}

python_report() {
    if ! /usr/bin/python3 -c 'import griffe' 2>/dev/null; then
        echo "SKIPPED: griffe is not installed; install it with: sudo apt-get install python3-griffe"
        exit 77
    fi
    PYTHONDONTWRITEBYTECODE=1 tools/api-report-python.py --check >"$work/now.log" || fail "$(cat "$work/now.log")"
    # A scratch package whose Sensor has lost its kind.
    cp -r clients/python/src "$work/src"
    python3 - "$work/src/calvex/_protocol.py" <<'PY' || fail "the scratch edit no longer applies to _protocol.py"
import re, sys
path = sys.argv[1]
text = open(path).read()
cut, found = re.subn(r"\n    @property\n    def kind\(self\) -> str:\n(        .*\n)+", "\n", text)
assert found == 1
open(path, "w").write(cut)
PY
    if PYTHONDONTWRITEBYTECODE=1 tools/api-report-python.py --check "$work/src" >"$work/scratch.log"; then
        fail "the report check passed a package without Sensor.kind"
    fi
    grep -q '^-    @property kind: str$' "$work/scratch.log" || fail "the scratch run failed for another reason: $(tail -5 "$work/scratch.log")"
    echo "PASS: the Python package's surface is its report, and a removed property fails it"
}

case ${1:-} in
    node) node_report ;;
    python) python_report ;;
    *) echo "usage: $0 node|python" >&2; exit 2 ;;
esac

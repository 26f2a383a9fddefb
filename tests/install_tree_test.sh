#!/usr/bin/env bash
# `cmake --install` into a fresh prefix must give exactly the tree a packager
# expects: the tools (calvex-exporter too where Go built it), their man
# pages and documents, nothing else.
# Usage: install_tree_test.sh BUILD_DIR
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
expected="bin/calvex
bin/calvex-pressure
share/doc/calvex/LICENSE
share/doc/calvex/README.md
share/doc/calvex/calvex-line.schema.json
share/doc/calvex/calvex-pressure-line.schema.json
share/doc/calvex/protocol.md
share/man/man1/calvex-pressure.1
share/man/man1/calvex.1"
if [ -f "$build/calvex-exporter" ]; then
    expected=$(printf '%s\nbin/calvex-exporter\nshare/man/man1/calvex-exporter.1\n' "$expected" | LC_ALL=C sort)
fi
actual=$(cd "$prefix" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
[ "$actual" = "$expected" ] || fail "installed tree differs:
$actual"
[ -x "$prefix/bin/calvex" ] || fail "bin/calvex is not executable"
cmp -s "$build/calvex" "$prefix/bin/calvex" || fail "bin/calvex is not the built tool"
cmp -s "$build/calvex-pressure" "$prefix/bin/calvex-pressure" || fail "bin/calvex-pressure is not the built tool"
if [ -f "$build/calvex-exporter" ]; then
    cmp -s "$build/calvex-exporter" "$prefix/bin/calvex-exporter" || fail "bin/calvex-exporter is not the built exporter"
fi
echo "PASS: installed $(echo "$actual" | wc -l) files under the prefix"

#!/usr/bin/env bash
# One version everywhere: VERSION is the source; CMake reads it, every
# package manifest must carry the same number, the change log's newest
# release must be it, and the exporter must say it.
# Usage: version_test.sh CMAKE_PROJECT_VERSION [CALVEX_EXPORTER]
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(cat VERSION)
fail() { echo "FAIL: $*"; exit 1; }

[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "VERSION '$version' is not MAJOR.MINOR.PATCH"
[ "$1" = "$version" ] || fail "CMake's project version $1 differs from VERSION $version"
for manifest in clients/node/package.json clients/node/package-lock.json; do
    found=$(node -e 'const m = require(process.argv[1]); console.log(m.version, (m.packages && m.packages[""] || m).version)' "$PWD/$manifest")
    [ "$found" = "$version $version" ] || fail "$manifest has version '$found', VERSION has $version"
done
newest=$(grep -m1 -oE '^## \[[0-9]+\.[0-9]+\.[0-9]+\]' CHANGELOG.md | tr -d '#[] ')
[ "$newest" = "$version" ] || fail "CHANGELOG.md's newest release is '$newest', VERSION has $version"
grep -qE "^\[$version\]: " CHANGELOG.md || fail "CHANGELOG.md has no link for $version"
if [ -n "${2:-}" ] && [ -x "$2" ]; then
    said=$("$2" --version)
    [ "$said" = "calvex-exporter $version" ] || fail "calvex-exporter --version says '$said', VERSION has $version"
fi
said=$(PYTHONPATH=clients/python/src PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -m calvex --version)
[ "$said" = "calvex $version" ] || fail "python -m calvex --version says '$said', VERSION has $version"
said=$(node clients/node/cli.js --version)
[ "$said" = "calvex $version" ] || fail "npx calvex --version says '$said', VERSION has $version"
echo "PASS: version $version in VERSION, CMake, every manifest, the change log and --version"

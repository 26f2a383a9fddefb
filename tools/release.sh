#!/usr/bin/env bash
# Makes the macOS arm64 release: dist/calvex-VERSION-macos-arm64.tar.gz (the
# signed binaries as `calvex` and `calvex-pressure`, their man pages,
# LICENSE, README, protocol doc and JSON Schemas) and dist/SHA256SUMS over every file in dist/ that ships.
# The archive is byte-for-byte reproducible from the commit: sorted names,
# every mtime set to the commit's time (or SOURCE_DATE_EPOCH), owner and
# group 0, fixed modes whatever the umask, and gzip without a name or time.
set -euo pipefail
export LC_ALL=C
cd "$(dirname "$0")/.."

version=$(cat VERSION)
name=calvex-$version-macos-arm64
epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 0)}

tools/build-macos-arm64.sh >/dev/null

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -m 755 "$stage/$name"
install -m 755 dist/calvex-macos-arm64 "$stage/$name/calvex"
install -m 755 dist/calvex-pressure-macos-arm64 "$stage/$name/calvex-pressure"
install -m 644 docs/calvex.1 docs/calvex-pressure.1 LICENSE README.md docs/protocol.md \
    docs/calvex-line.schema.json docs/calvex-pressure-line.schema.json "$stage/$name/"

tar --create --format=gnu --sort=name --mtime="@$epoch" \
    --owner=0 --group=0 --numeric-owner -C "$stage" "$name" |
    gzip -n -9 > "dist/$name.tar.gz"
tools/write-sha256sums.sh

echo "dist/$name.tar.gz ($(wc -c < "dist/$name.tar.gz") bytes)"
tar -tvzf "dist/$name.tar.gz"
cat dist/SHA256SUMS

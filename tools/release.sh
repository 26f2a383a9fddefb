#!/usr/bin/env bash
# Makes the macOS arm64 release: dist/calvex-VERSION-macos-arm64.tar.gz (the
# signed binaries as `calvex`, `calvex-pressure` and `calvex-exporter`, which
# finds the other two beside itself; their man pages, the exporter's launchd
# property list, Prometheus configuration, rules, alerts and dashboard,
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
install -m 755 dist/calvex-exporter-macos-arm64 "$stage/$name/calvex-exporter"
install -m 644 docs/calvex.1 docs/calvex-pressure.1 docs/calvex-exporter.1 LICENSE README.md docs/protocol.md \
    docs/calvex-line.schema.json docs/calvex-pressure-line.schema.json "$stage/$name/"
mkdir -m 755 "$stage/$name/exporter"
install -m 644 docs/exporter/README.md docs/exporter/com.calvex.exporter.plist docs/exporter/prometheus.yml \
    docs/exporter/web-config.yml docs/exporter/calvex-rules.yml docs/exporter/calvex-alerts.yml \
    docs/exporter/metrics.md docs/exporter/grafana/calvex-dashboard.json "$stage/$name/exporter/"

tar --create --format=gnu --sort=name --mtime="@$epoch" \
    --owner=0 --group=0 --numeric-owner -C "$stage" "$name" |
    gzip -n -9 > "dist/$name.tar.gz"
tools/write-sha256sums.sh

echo "dist/$name.tar.gz ($(wc -c < "dist/$name.tar.gz") bytes)"
tar -tvzf "dist/$name.tar.gz"
cat dist/SHA256SUMS

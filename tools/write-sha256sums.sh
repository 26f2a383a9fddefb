#!/usr/bin/env bash
# Writes dist/SHA256SUMS over every file in dist/ that ships: the bare macOS
# binaries (the exporter's too), the release archive and the Python wheels, whichever are there.
set -euo pipefail
export LC_ALL=C
cd "$(dirname "$0")/../dist"
shopt -s nullglob
shipped=(calvex-macos-arm64 calvex-pressure-macos-arm64 calvex-exporter-macos-arm64 calvex-*.tar.gz calvex-*.whl)
present=()
for file in "${shipped[@]}"; do [ -f "$file" ] && present+=("$file"); done
sha256sum "${present[@]}" > SHA256SUMS

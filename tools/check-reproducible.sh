#!/usr/bin/env bash
# Proves the release archive is reproducible: clones the current commit into
# two folders with different names, makes the release in each at different
# times and under different umasks, and compares the archives byte for
# byte; then checks each SHA256SUMS. Uncommitted changes are not seen.
set -euo pipefail
cd "$(dirname "$0")/.."

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
commit=$(git rev-parse HEAD)
archive=calvex-$(cat VERSION)-macos-arm64.tar.gz

release_in() {
    local folder=$1 mask=$2
    git clone --quiet --no-local "$PWD" "$folder"
    git -C "$folder" checkout --quiet "$commit"
    (umask "$mask" && "$folder/tools/release.sh" >/dev/null)
    (cd "$folder/dist" && sha256sum --check --strict SHA256SUMS)
}

release_in "$work/first" 022
sleep 2
release_in "$work/second-clone" 077

if ! cmp "$work/first/dist/$archive" "$work/second-clone/dist/$archive"; then
    echo "FAIL: the two release archives differ" >&2
    exit 1
fi
echo "PASS: $archive is identical from two clones ($(sha256sum < "$work/first/dist/$archive" | cut -d' ' -f1))"

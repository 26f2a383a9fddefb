#!/usr/bin/env bash
# Proves the release archive (the exporter's Go build in it too) and the
# Python wheels are reproducible: clones
# the current commit into two folders with different names, makes the
# release and the wheels in each at different times and under different
# umasks, and compares them byte for byte; then checks each SHA256SUMS.
# Uncommitted changes are not seen.
set -euo pipefail
cd "$(dirname "$0")/.."

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
commit=$(git rev-parse HEAD)
version=$(cat VERSION)
shipped=(calvex-exporter-macos-arm64 calvex-$version-macos-arm64.tar.gz calvex-$version-py3-none-any.whl calvex-$version-py3-none-macosx_11_0_arm64.whl)

release_in() {
    local folder=$1 mask=$2
    git clone --quiet --no-local "$PWD" "$folder"
    git -C "$folder" checkout --quiet "$commit"
    (umask "$mask" && "$folder/tools/release.sh" >/dev/null && "$folder/tools/build-python-wheels.sh" >/dev/null)
    (cd "$folder/dist" && sha256sum --check --strict SHA256SUMS)
}

release_in "$work/first" 022
sleep 2
release_in "$work/second-clone" 077

for file in "${shipped[@]}"; do
    if ! cmp "$work/first/dist/$file" "$work/second-clone/dist/$file"; then
        echo "FAIL: the two builds of $file differ" >&2
        exit 1
    fi
    echo "PASS: $file is identical from two clones ($(sha256sum < "$work/first/dist/$file" | cut -d' ' -f1))"
done

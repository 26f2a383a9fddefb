#!/usr/bin/env bash
# Builds the Python package's two wheels into dist/, offline:
#   calvex-VERSION-py3-none-macosx_11_0_arm64.whl  with the signed helper
#   calvex-VERSION-py3-none-any.whl                without it, for other platforms
# building the macOS helper first when dist/ has none, then rewrites
# dist/SHA256SUMS. Reproducible: every time stamp is the commit's (or
# SOURCE_DATE_EPOCH) and file modes are normalised. Uses Debian's python3
# (/usr/bin/python3), which sees Debian's build and hatchling.
set -euo pipefail
export LC_ALL=C
cd "$(dirname "$0")/.."

python=/usr/bin/python3
tools/prerequisites.sh "$python:python3" \
    /usr/lib/python3/dist-packages/build/__init__.py:python3-build \
    /usr/lib/python3/dist-packages/hatchling/__init__.py:python3-hatchling
[ -x dist/calvex-macos-arm64 ] && [ -x dist/calvex-pressure-macos-arm64 ] || tools/build-macos-arm64.sh >/dev/null
for name in calvex-macos-arm64 calvex-pressure-macos-arm64; do
    recorded=$(cut -d' ' -f1 "dist/$name.sha256")
    [ "$(sha256sum < "dist/$name" | cut -d' ' -f1)" = "$recorded" ] ||
        { echo "dist/$name differs from its recorded SHA-256" >&2; exit 1; }
done
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 315532800)}

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
build() {
    "$python" -m build --wheel --no-isolation --skip-dependency-check --outdir "$out" clients/python >"$out/log" 2>&1 ||
        { cat "$out/log" >&2; exit 1; }
}
build
CALVEX_WHEEL_HELPER=$PWD/dist/calvex-macos-arm64 build
rm -rf clients/python/build
version=$(cat VERSION)
for tag in py3-none-any py3-none-macosx_11_0_arm64; do
    wheel=calvex-$version-$tag.whl
    mv "$out/$wheel" "dist/$wheel"
    chmod 0644 "dist/$wheel" # the build writes it 0600, whatever the umask
    echo "dist/$wheel ($(wc -c < "dist/$wheel") bytes)"
done
tools/write-sha256sums.sh

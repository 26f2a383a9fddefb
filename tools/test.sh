#!/usr/bin/env bash
# Builds calvex, the simulated platform and the tests, then runs every test.
#   tools/test.sh             the release build, in build/
#   tools/test.sh --sanitize  AddressSanitizer and UBSan, in build-sanitize/
#   tools/test.sh --arm64     the arm64 lane: calvex and the simulated platform
#                             cross-built for aarch64 (build-arm64/), run under
#                             qemu-user by the native test drivers
#                             (build-arm64-drivers/)
# Further arguments go to ctest, e.g. tools/test.sh --arm64 -R Snapshot
set -euo pipefail
cd "$(dirname "$0")/.."

tools/prerequisites.sh cmake:cmake g++:g++ make:make readelf:binutils \
    /usr/include/gtest/gtest.h:libgtest-dev node:nodejs npm:npm \
    mandoc:mandoc man:man-db
# The Python client's tools come from Debian and run on its python3.
py=/usr/lib/python3/dist-packages
tools/prerequisites.sh /usr/bin/python3:python3 $py/pytest/__init__.py:python3-pytest \
    $py/pytest_timeout.py:python3-pytest-timeout $py/mypy/__init__.py:python3-mypy \
    $py/build/__init__.py:python3-build $py/hatchling/__init__.py:python3-hatchling \
    /usr/lib/python3.11/ensurepip/__init__.py:python3-venv /usr/share/python-wheels:python3-pip-whl unzip:unzip \
    $py/prometheus_client/__init__.py:python3-prometheus-client prometheus:prometheus promtool:prometheus \
    prometheus-node-exporter:prometheus-node-exporter tmux:tmux $py/griffe/__init__.py:python3-griffe \
    $py/jsonschema/__init__.py:python3-jsonschema $py/yaml/__init__.py:python3-yaml \
    $py/bcrypt/__init__.py:python3-bcrypt $py/hypothesis/__init__.py:python3-hypothesis openssl:openssl curl:curl
# The pinned npm tools the checks use (package-lock.json in each folder).
[ -d tools/schema/node_modules/ajv ] || npm ci --prefix tools/schema --no-audit --no-fund --silent
[ -d clients/node/node_modules/@microsoft/api-extractor ] || npm ci --prefix clients/node --no-audit --no-fund --silent

# The package tests pack the signed macOS helpers: they are cross-built
# once (the pinned toolchain is fetched on first use), so that this one
# command runs every test on a fresh clone too.
[ -x dist/calvex-macos-arm64 ] && [ -x dist/calvex-pressure-macos-arm64 ] || tools/build-macos-arm64.sh

build=build
options=(-DCMAKE_BUILD_TYPE=Release -DCALVEX_SANITIZE=OFF -DCALVEX_WERROR=ON)
mode=${1:-}
case "$mode" in --sanitize | --arm64) shift ;; esac
case "$mode" in
--sanitize)
    build=build-sanitize
    options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCALVEX_SANITIZE=ON -DCALVEX_WERROR=ON)
    ;;
--arm64)
    tools/prerequisites.sh aarch64-linux-gnu-g++:g++-aarch64-linux-gnu qemu-aarch64:qemu-user
    cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=tools/aarch64-linux-gnu.cmake \
        -DCMAKE_BUILD_TYPE=Release -DCALVEX_WERROR=ON >/dev/null
    cmake --build build-arm64 -j"$(nproc)"
    readelf -h build-arm64/calvex | grep -q 'Machine: *AArch64' || { echo "build-arm64/calvex is not arm64" >&2; exit 1; }
    build=build-arm64-drivers
    # Emulation is several times slower: real-time margins are widened, not dropped.
    options=(-DCMAKE_BUILD_TYPE=Release -DCALVEX_WERROR=ON
        -DCALVEX_TARGET_TOOL="$PWD/build-arm64/calvex" -DCALVEX_TARGET_SIM_DIR="$PWD/build-arm64/sim"
        "-DCALVEX_TARGET_RUNNER=$(command -v qemu-aarch64) -L /usr/aarch64-linux-gnu" -DCALVEX_TEST_TIME_SCALE=4)
    ;;
esac

cmake -S . -B "$build" "${options[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
status=0
(cd "$build" && ctest --output-on-failure -j"$(nproc)" "$@") || status=$?
# ctest's summary names a skipped test but hides why: say it here.
log="$build/Testing/Temporary/LastTest.log"
[ -f "$log" ] && awk '/^[0-9]+\/[0-9]+ Testing: / { test = $3 } /^SKIPPED: / { print "skipped: " test ": " substr($0, 10) }' "$log"
exit "$status"

#!/usr/bin/env bash
# Builds calvex, the simulated platform and the tests, then runs every test.
#   tools/test.sh             the release build, in build/
#   tools/test.sh --sanitize  AddressSanitizer and UBSan, in build-sanitize/
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
options=(-DCMAKE_BUILD_TYPE=Release -DCALVEX_SANITIZE=OFF -DCALVEX_WERROR=ON)
if [ "${1:-}" = --sanitize ]; then
    build=build-sanitize
    options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCALVEX_SANITIZE=ON -DCALVEX_WERROR=ON)
fi

tools/prerequisites.sh cmake:cmake g++:g++ make:make readelf:binutils \
    /usr/include/gtest/gtest.h:libgtest-dev node:nodejs npm:npm \
    mandoc:mandoc man:man-db
# The JSON Schema validator, pinned by tools/schema/package-lock.json.
[ -d tools/schema/node_modules/ajv ] || npm ci --prefix tools/schema --no-audit --no-fund --silent
cmake -S . -B "$build" "${options[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
(cd "$build" && ctest --output-on-failure -j"$(nproc)")

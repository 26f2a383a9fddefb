#!/usr/bin/env bash
# Builds calvex and calvex-pressure, takes one snapshot, then reads the
# thermal pressure once. On Linux they run on the simulated platform's
# built-in machine; on macOS they read the real sensors.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(uname -s)" = Darwin ]; then
    cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build build --target calvex calvex-pressure >/dev/null
    build/calvex --once
    exec build/calvex-pressure --once
fi
tools/prerequisites.sh cmake:cmake g++:g++ make:make /usr/include/gtest/gtest.h:libgtest-dev
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target calvex calvex-pressure sim_preload sim_corefoundation sim_iokit sim_notify >/dev/null
build/sim/simrun build/calvex --once
exec build/sim/simrun build/calvex-pressure --once

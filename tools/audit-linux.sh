#!/usr/bin/env bash
# Fails unless the Linux build of calvex depends on the C library alone.
set -euo pipefail
binary=${1:-build/calvex}
needed=$(readelf -d "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
echo "NEEDED: $needed"
if [ "$needed" != "libc.so.6 " ]; then
    echo "FAIL: $binary must need only libc.so.6" >&2
    exit 1
fi
echo "PASS: $binary needs only libc.so.6"

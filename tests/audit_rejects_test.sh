#!/usr/bin/env bash
# The link audits must fail on a binary that pulls in the C++ runtime or
# another library; otherwise their passes on calvex would mean nothing.
# Usage: audit_rejects_test.sh [ZIG]   (with ZIG, the macOS audit is tried too)
set -euo pipefail
cd "$(dirname "$0")/.."
zig=${1:-}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cat >"$scratch/uses_runtime.cpp" <<'CPP'
#include <math.h>
#include <stdio.h>
#include <stdexcept>
int main(int argc, char** argv)
{
    try {
        if (argc > 5) throw std::runtime_error(argv[0]);
    } catch (const std::exception& error) {
        puts(error.what());
    }
    int* numbers = new int[argc];
    printf("%p %f\n", static_cast<void*>(numbers), sqrt(argc));
    delete[] numbers;
    return 0;
}
CPP

expect_rejected() {
    local audit=$1 binary=$2 output
    if output=$("$audit" "$binary" 2>&1); then
        echo "FAIL: $audit accepted $binary"; echo "$output"; exit 1
    fi
    grep -E 'FAIL: (unexpected import|NEEDED|loads|C\+\+ runtime)' <<<"$output" | head -4
}

g++ -O2 -fno-builtin "$scratch/uses_runtime.cpp" -o "$scratch/linux-bad" -lm
expect_rejected tools/audit-linux.sh "$scratch/linux-bad"
if [ -n "$zig" ]; then
    "$zig" c++ -target aarch64-macos.11.0 -O2 "$scratch/uses_runtime.cpp" -o "$scratch/macos-bad"
    expect_rejected tools/audit-macos.sh "$scratch/macos-bad"
fi
echo "PASS: the audits reject a binary with the C++ runtime"

#!/usr/bin/env bash
# Static analysis of the tool's sources: clang-tidy with the checked-in
# .clang-tidy, then cppcheck. Fails on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/prerequisites.sh cmake:cmake g++:g++ clang-tidy:clang-tidy cppcheck:cppcheck
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DCALVEX_WERROR=ON >/dev/null
echo "== clang-tidy"
status=0
findings=$(clang-tidy --quiet -p build native/*.cpp 2>&1) || status=$?
grep -vE '^[0-9]+ warnings generated\.$' <<<"$findings" || true
[ "$status" -eq 0 ] || { echo "FAIL: clang-tidy"; exit 1; }
echo "== cppcheck"
cppcheck --enable=warning,style,performance,portability --std=c++17 --language=c++ \
    --error-exitcode=1 --inline-suppr --quiet -I native native/
echo "PASS: clang-tidy and cppcheck clean on native/"

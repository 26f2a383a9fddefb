#!/usr/bin/env bash
# Fuzzes the snapshot writer and the argument reader with libFuzzer (clang),
# each for SECONDS (default 45), starting from the committed seed corpus.
# A crash leaves its input in build-fuzz/crashes/; copy it into
# tests/fuzz/corpus/TARGET/ so the test suite replays it from then on.
# Then the Go client's line parsers and run core with Go's own fuzzer, for
# a third of SECONDS each, seeded from the shared cases; a failing input is
# written to clients/go/testdata/fuzz/, which go test replays from then on.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-45}
tools/prerequisites.sh cmake:cmake clang++:clang \
    /usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a:libclang-rt-14-dev
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCALVEX_FUZZ=ON -DCALVEX_TESTS=OFF -DCALVEX_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target snapshot_writer_fuzz run_settings_fuzz >build-fuzz.log 2>&1 ||
    { cat build-fuzz.log; exit 1; }
mkdir -p build-fuzz/crashes
for target in snapshot_writer_fuzz run_settings_fuzz; do
    work=$(mktemp -d)
    echo "== $target, ${seconds}s"
    status=0
    build-fuzz/fuzz/$target -max_total_time="$seconds" -max_len=600 -print_final_stats=1 \
        -artifact_prefix=build-fuzz/crashes/$target- "$work" tests/fuzz/corpus/$target >build-fuzz/$target.log 2>&1 ||
        status=$?
    grep -E '^(stat::number_of_executed_units|stat::new_units_added|==[0-9]+==|SUMMARY|INFO: seed corpus)' \
        build-fuzz/$target.log || true
    rm -rf "$work"
    if [ "$status" -ne 0 ]; then
        grep -B2 -A12 'ERROR' build-fuzz/$target.log | head -40
        echo "FAIL: $target found a crash; see build-fuzz/crashes/"
        exit 1
    fi
done
go_seconds=$(( (seconds + 2) / 3 ))
for target in FuzzParseLine FuzzRunCore; do
    echo "== go $target, ${go_seconds}s"
    (cd clients/go && GOFLAGS=-buildvcs=false GOTOOLCHAIN=local go test -run '^$' -fuzz "^$target\$" -fuzztime "${go_seconds}s" .) \
        >build-fuzz/$target.log 2>&1 || { tail -30 build-fuzz/$target.log; echo "FAIL: $target found a failing input; see clients/go/testdata/fuzz/"; exit 1; }
    grep -E '^fuzz: elapsed' build-fuzz/$target.log | tail -1 || true
done
echo "PASS: no crashes"

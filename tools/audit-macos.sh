#!/usr/bin/env bash
# Audits the macOS arm64 build: a signed arm64 Mach-O executable for macOS,
# loading libSystem alone, importing only what the code needs from it, and
# carrying the framework paths and symbol names exactly as it must use them.
set -euo pipefail
cd "$(dirname "$0")/.."
binary=${1:-dist/calvex-macos-arm64}
# Which tool it is: calvex (the default) or calvex-pressure.
tool=${2:-calvex}
objdump=$(command -v llvm-objdump || command -v llvm-objdump-14 || true)
nm=$(command -v llvm-nm || command -v llvm-nm-14 || true)
if [ -z "$objdump" ] || [ -z "$nm" ]; then
    tools/prerequisites.sh llvm-objdump:llvm
    objdump=$(command -v llvm-objdump) nm=$(command -v llvm-nm)
fi

# What the code calls in libSystem; optional ones are what a compiler may
# or may not emit for the same source.
# calvex-pressure needs a subset of them: its names are looked up in the
# default scope, so it opens nothing.
if [ "$tool" = calvex-pressure ]; then
    required="___stdoutp _dlsym _fflush _getppid _printf _puts _strcmp _strtoll _usleep dyld_stub_binder"
    texts=(notify_register_check notify_get_state kOSThermalNotificationPressureLevelName com.apple.system.thermalpressurelevel)
    absent=(/System/Library/Frameworks/CoreFoundation.framework/CoreFoundation /System/Library/Frameworks/IOKit.framework/IOKit)
else
    required="___stdoutp _dlopen _dlsym _fflush _fputs _getppid _printf _puts _snprintf _strcmp _strtoll _usleep dyld_stub_binder"
    texts=(/System/Library/Frameworks/CoreFoundation.framework/CoreFoundation /System/Library/Frameworks/IOKit.framework/IOKit
           $(sed -n 's/^FRAMEWORK_SYMBOL([A-Z_]*, \([A-Za-z]*\), .*/\1/p' native/framework_symbols.def))
    absent=()
fi
optional="_memset _memcpy _bzero ___bzero _fwrite _putchar _fputs ___stack_chk_fail ___stack_chk_guard"

. tools/audit-common.sh

read_macho "$binary"
dylibs=$(echo $dylibs)
[ "$dylibs" = "/usr/lib/libSystem.B.dylib" ] || fail "loads '$dylibs', not libSystem alone"

imports=$("$nm" -u "$binary" | sort -u | tr '\n' ' ')
check_imports "$imports" "$required" "$optional"

strings=$(strings -a -n 3 "$binary")
for text in "${texts[@]}"; do
    grep -qxF "$text" <<<"$strings" || fail "string '$text' not in the binary"
done
for text in "${absent[@]}"; do
    ! grep -qxF "$text" <<<"$strings" || fail "string '$text' in the binary: it opens no framework"
done

# Zig links a needed C++ runtime statically, so look for its traces too.
if grep -qE '^(libc\+\+abi|St9exception|St9bad_alloc|N10__cxxabiv)' <<<"$strings"; then
    fail "C++ runtime code linked in"
fi

signature=$(python3 tools/check-macho-signature.py "$binary") || fail "code signature: $signature"

echo "file:     $(wc -c <"$binary") bytes, $(echo "$header" | awk '/MH_MAGIC_64/{print $2, $3, $5}')"
echo "platform: $platform, minimum $minos"
echo "dylibs:   $dylibs"
echo "imports:  $imports"
echo "$signature"
echo "strings:  ${#texts[@]} names present, ${#absent[@]} absent as they must be"
finish "macOS arm64 audit of $tool"

#!/usr/bin/env bash
# Audits the Linux build: the C library is its only dependency, and what it
# imports from it is on the list below (no C++ runtime, no libm, no libgcc_s).
set -euo pipefail
cd "$(dirname "$0")/.."
binary=${1:-build/calvex}
# Which tool it is: calvex (the default) or calvex-pressure, which opens nothing.
tool=${2:-calvex}

if [ "$tool" = calvex-pressure ]; then
    required="dlsym fflush getppid printf puts strcmp strtoll usleep __libc_start_main"
else
    required="dlopen dlsym fflush fputs getppid printf puts snprintf strcmp strtoll usleep __libc_start_main"
fi
# Weak start-up hooks from the C run-time objects, and what a compiler may
# or may not emit for the same source.
optional="fwrite fputs putchar memset memcpy __cxa_finalize __gmon_start__ _ITM_deregisterTMCloneTable
_ITM_registerTMCloneTable __stack_chk_fail __printf_chk __snprintf_chk"

. tools/audit-common.sh

needed=$(readelf -d "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
[ "$needed" = "libc.so.6 " ] || fail "NEEDED is '$needed', not libc.so.6 alone"

imports=$(nm -D --undefined-only "$binary" | awk '{print $NF}' | sed 's/@.*//' | sort -u | tr '\n' ' ')
check_imports "$imports" "$required" "$optional"

echo "NEEDED:  $needed"
echo "imports: $imports"
finish "Linux link audit of $tool"

#!/usr/bin/env bash
# Runs a command only when Debian's Python has the modules it needs; else
# says which package to install and exits 77, which CTest reports as a skip
# (tools/test.sh installs them all, so there nothing is skipped).
# Usage: needs_python_modules.sh MODULE:PACKAGE ... -- COMMAND ...
set -euo pipefail
missing=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do
    /usr/bin/python3 -c "import ${1%%:*}" 2>/dev/null || missing+=("${1#*:}")
    shift
done
[ $# -gt 0 ] || { echo "usage: $0 MODULE:PACKAGE ... -- COMMAND ..." >&2; exit 2; }
shift
if [ ${#missing[@]} -gt 0 ]; then
    echo "SKIPPED: not installed: ${missing[*]}; install with: sudo apt-get install ${missing[*]}"
    exit 77
fi
exec "$@"

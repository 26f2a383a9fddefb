#!/usr/bin/env bash
# The man page must pass mandoc's lint without a single message and render
# with man(1), with every section a reader looks for.
# Usage: man_page_test.sh PAGE 'ERROR LINE' 'ERROR LINE'
set -euo pipefail
page=$1
shift
fail() { echo "FAIL: $*"; exit 1; }
if ! command -v mandoc >/dev/null || ! command -v man >/dev/null; then
    echo "SKIPPED: needs mandoc and man; install them with: apt-get install mandoc man-db"
    exit 77
fi

lint=$(mandoc -T lint "$page" 2>&1) || fail "mandoc -T lint failed: $lint"
[ -z "$lint" ] || fail "mandoc -T lint reports:
$lint"
rendered=$(MANWIDTH=80 man -l "$page" 2>&1) || fail "man -l failed: $rendered"
for section in NAME SYNOPSIS DESCRIPTION OUTPUT 'EXIT STATUS' EXAMPLES 'SEE ALSO'; do
    grep -qx "$section" <<<"$rendered" || fail "no $section section"
done
for line in "$@"; do
    grep -qF "$line" <<<"$rendered" || fail "the error line $line is not shown"
done
echo "PASS: mandoc -T lint clean; man -l renders $(wc -l <<<"$rendered") lines"

#!/usr/bin/env bash
# Puts known faults back into a scratch copy of the tree, one at a time, and
# checks that the suite now fails: the slot swap that only arm64 shows, the
# escape-chunk faults, a line that never ends, escaping faults in later
# entries and scratch folders left behind. Several minutes (it builds the
# release, sanitizer and arm64 trees once each); run by hand, not by CI.
set -euo pipefail
cd "$(dirname "$0")/.."

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
git ls-files -z | xargs -0 cp --parents -t "$scratch"
[ ! -d tools/schema/node_modules ] || ln -s "$PWD/tools/schema/node_modules" "$scratch/tools/schema/node_modules"
source_tree=$PWD
cd "$scratch"
failures=0
touched=()

# apply FILE OLD NEW: replaces one exact text, which must be there.
apply() {
    touched+=("$1")
    python3 - "$@" <<'PY'
import sys
path, old, new = sys.argv[1:4]
text = open(path).read()
if old not in text:
    sys.exit(f"fault not applicable: {old!r} not in {path}")
open(path, "w").write(text.replace(old, new, 1))
PY
}

# expect OUTCOME LABEL COMMAND...: runs the command quietly and compares.
expect() {
    local outcome=$1 label=$2 started=$SECONDS status=0
    shift 2
    "$@" >"$scratch/last.log" 2>&1 || status=$?
    local got=pass
    [ "$status" -eq 0 ] || got=fail
    local took=$((SECONDS - started))
    if [ "$got" = "$outcome" ]; then
        echo "  ok   $label: $got (${took} s)"
    else
        echo "  BAD  $label: $got, expected $outcome (${took} s); log:"
        tail -20 "$scratch/last.log"
        failures=$((failures + 1))
    fi
}

# Restores what the last fault touched (only that, so builds stay incremental).
fault() {
    echo "fault: $1"
    local file
    for file in "${touched[@]}"; do cp "$source_tree/$file" "$file"; done
    touched=()
}

fault "binding slots of CFGetTypeID and CFStringGetTypeID swapped"
apply native/hid_temperature_source.cpp "offsetof(FrameworkBinding, pCFGetTypeID)" "offsetof(FrameworkBinding, SWAP_B)"
apply native/hid_temperature_source.cpp "offsetof(FrameworkBinding, pCFStringGetTypeID)" "offsetof(FrameworkBinding, pCFGetTypeID)"
apply native/hid_temperature_source.cpp "offsetof(FrameworkBinding, SWAP_B)" "offsetof(FrameworkBinding, pCFStringGetTypeID)"
expect pass "x86-64 black-box suites (blind to it)" tools/test.sh -R '^(Binding|CommandLine|Snapshot|Golden|Loop)\.'
expect fail "x86-64 slot check" tools/test.sh -R '^binding_slots$'
expect fail "arm64 lane" tools/test.sh --arm64 -R '^(Snapshot|Golden)\.'

fault "escape chunks written in a single pass"
apply native/snapshot_output.cpp "    while (*rest != 0) {
        rest = escape_into_chunk(rest, chunk);
        fputs(chunk, stdout);
    }" "    (void)rest;"
expect fail "writer corpus replay" tools/test.sh -R '^snapshot_writer_fuzz_corpus_replay$'

fault "escape chunk margin check dropped"
apply native/snapshot_output.cpp "while (*name != 0 && used + LONGEST_BYTE_ESCAPE < ESCAPED_CHUNK_SIZE)" "while (*name != 0)"
expect fail "writer corpus replay under ASan" tools/test.sh --sanitize -R '^snapshot_writer_fuzz_corpus_replay$'

fault "snapshot line without its line feed"
apply native/snapshot_output.cpp 'puts("]}");' 'fputs("]}", stdout);'
expect fail "lifetime tests, in seconds" tools/test.sh -R '^Lifetime\.'

fault "DEL escaped on the escaping path"
apply native/snapshot_output.cpp "if (byte >= 0x01 && byte <= 0x1F) {" "if ((byte >= 0x01 && byte <= 0x1F) || byte == 0x7F) {"
expect fail "golden cases" tools/test.sh -R '^Golden\.EveryCase'

fault "no separator before a later entry that needs escaping"
apply native/snapshot_output.cpp 'write_escaped_entry(writer->entry_written ? "," : "", bytes, temperature);' 'write_escaped_entry("", bytes, temperature);'
expect fail "golden cases" tools/test.sh -R '^Golden\.EveryCase'

fault "lifetime tests leave their calvex's scratch folder"
apply tests/lifetime_test.cpp "        remove_scratch(report.scratch);" "        (void)report.scratch;"
expect fail "scratch folder check" tools/test.sh -R '^(Lifetime\..*|scratch_folders_removed)$'

if [ "$failures" -ne 0 ]; then
    echo "FAIL: $failures expectation(s) not met"
    exit 1
fi
echo "PASS: every fault put back is caught where expected"

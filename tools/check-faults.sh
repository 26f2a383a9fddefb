#!/usr/bin/env bash
# Puts known faults back into a scratch copy of the tree, one at a time, and
# checks that the suite now fails: the slot swap that only arm64 shows, the
# escape-chunk faults, a line that never ends, escaping faults in later
# entries and scratch folders left behind; and in the clients, the stops
# and limits their tests must guard. Several minutes (it builds the release,
# sanitizer and arm64 trees once each); run by hand.
#   tools/check-faults.sh            every fault
#   tools/check-faults.sh PATTERN    only faults whose label matches PATTERN
#   tools/check-faults.sh --dry      applies every fault to a scratch copy
#                                    and runs nothing: fails when a fault's
#                                    text is gone or found twice (CI runs
#                                    this, so code that moves takes its
#                                    faults with it)
set -euo pipefail
dry=0
if [ "${1:-}" = --dry ]; then
    dry=1
    shift
fi
only=${1:-}
cd "$(dirname "$0")/.."

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
git ls-files -z | xargs -0 cp --parents -t "$scratch"
[ ! -d tools/schema/node_modules ] || ln -s "$PWD/tools/schema/node_modules" "$scratch/tools/schema/node_modules"
source_tree=$PWD
cd "$scratch"
failures=0
faults=0
touched=()
skipping=0

# apply FILE OLD NEW: replaces one exact text, which must be there once.
apply() {
    [ "$skipping" -eq 0 ] || return 0
    touched+=("$1")
    python3 - "$@" <<'PY' && return 0
import sys
path, old, new = sys.argv[1:4]
text = open(path).read()
found = text.count(old)
if found != 1:
    sys.exit(f"  BAD  fault not applicable: {old.splitlines()[0]!r}... is in {path} {found} times, not once")
open(path, "w").write(text.replace(old, new, 1))
PY
    [ "$dry" -eq 1 ] || exit 1
    failures=$((failures + 1))
}

# expect OUTCOME LABEL COMMAND...: runs the command quietly and compares.
expect() {
    [ "$skipping" -eq 0 ] && [ "$dry" -eq 0 ] || return 0
    local outcome=$1 label=$2 started=$SECONDS status=0
    shift 2
    "$@" >"$scratch/last.log" 2>&1 || status=$?
    local got=pass
    [ "$status" -eq 0 ] || got=fail
    local took=$((SECONDS - started))
    if [ "$got" = "$outcome" ]; then
        echo "  ok   $label: $got (${took} s)"
        # Which tests caught it: node's "not ok", pytest's and GoogleTest's FAILED.
        [ "$got" = pass ] || grep -E '^ *not ok|\[  FAILED  \] [A-Za-z]|^FAILED ' "$scratch/last.log" | cut -c1-160 | sed 's/^ */       /' | sort -u | head -6 || true
    else
        echo "  BAD  $label: $got, expected $outcome (${took} s); log:"
        tail -20 "$scratch/last.log"
        failures=$((failures + 1))
    fi
}

# Restores what the last fault touched (only that, so builds stay incremental).
fault() {
    local file
    skipping=0
    if [ -n "$only" ] && ! [[ $1 =~ $only ]]; then skipping=1; fi
    [ "$skipping" -eq 1 ] || echo "fault: $1"
    [ "$skipping" -eq 1 ] || faults=$((faults + 1))
    for file in "${touched[@]}"; do cp "$source_tree/$file" "$file"; done
    touched=()
}

fault "binding slots of CFGetTypeID and CFStringGetTypeID swapped"
apply native/framework_symbols.def "CFGetTypeID, pCFGetTypeID)" "CFGetTypeID, SWAP_B)"
apply native/framework_symbols.def "CFStringGetTypeID, pCFStringGetTypeID)" "CFStringGetTypeID, pCFGetTypeID)"
apply native/framework_symbols.def "CFGetTypeID, SWAP_B)" "CFGetTypeID, pCFStringGetTypeID)"
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

# The clients: each fault must make its suite fail within the tests' own
# deadlines, not hang it. One line a fault: label, suite, file, text, fault.
node_suite() { timeout 300 tools/test.sh -R '^node_client$'; }
python_suite() { timeout 300 tools/test.sh -R '^python_client$'; }
go_suite() { timeout 400 tools/test.sh -R '^go_client$'; }
exporter_suite() { timeout 900 tools/test.sh -R '^go_exporter$'; }
client_fault() {
    fault "$1"
    apply "$3" "$4" "$5"
    expect fail "${2%_suite} client suite" "$2"
}
py=clients/python/src/calvex
client_fault "node client: no SIGKILL after the stop's grace period" node_suite clients/node/process.js \
    "if (action.kind === 'signal') this.child.kill(action.name);" \
    "if (action.kind === 'signal') this.child.kill('SIGTERM');"
client_fault "node client: an idle watcher keeps the app alive" node_suite clients/node/process.js \
    "const method = waiting ? 'ref' : 'unref';" \
    "const method = 'ref';"
client_fault "node client: a stop waits for a grandchild that holds the pipe" node_suite clients/node/runcore.js \
    "    if (this.stopAsked || this.outputEnded) return this.end();" \
    "    if (this.outputEnded) return this.end();"
client_fault "node client: readSensors takes a line from a helper that then fails" node_suite clients/node/runcore.js \
    "if (this.valuesSeen === 0 || code !== 0) return exitFailure(" \
    "if (this.valuesSeen === 0) return exitFailure("
client_fault "node client: no limit on a line that never ends" node_suite clients/node/runcore.js \
    "if (this.pendingBytes > LONGEST_LINE_BYTES) {" \
    "if (false) {"
client_fault "node client: a bad line leaves the helper running" node_suite clients/node/runcore.js \
    "if (value instanceof CalvexError) return this.stop(value);" \
    "if (value instanceof CalvexError) { this.failure ??= value; return []; }"
client_fault "node client: an abort leaves the watch's helper running" node_suite clients/node/faces.js \
    "      else this.run.stop().then(() => this.settle());" \
    "      else this.settle();"
client_fault "node client: an abort leaves readSensors' helper running" node_suite clients/node/faces.js \
    "const onAbort = () => run.stop();" \
    "const onAbort = () => reject(abortReason(signal));"
client_fault "go client: no SIGKILL after the stop's grace period" go_suite clients/go/process.go \
    '		if each.name == "SIGKILL" {
			signal = syscall.SIGKILL
		}' \
    ''
client_fault "go client: the oldest unread value is kept, not the newest" go_suite clients/go/runcore.go \
    "	c.newest = &value" \
    "	if c.newest == nil {
		c.newest = &value
	}"
client_fault "python client: no SIGKILL after the stop's grace period" python_suite $py/_process.py \
    'self._send(signal.SIGKILL if action.name == "SIGKILL" else signal.SIGTERM)' \
    'self._send(signal.SIGTERM)'
client_fault "python client: the reader thread keeps the interpreter alive" python_suite $py/_process.py \
    'name="calvex-helper", daemon=True' \
    'name="calvex-helper", daemon=False'
client_fault "python client: a --once run takes a line from a helper that then fails" python_suite $py/_runcore.py \
    "if self.values_seen == 0 or code != 0:" \
    "if self.values_seen == 0:"
client_fault "python client: a helper that ends by itself is signalled before it is reaped" python_suite $py/_runcore.py \
    '        if self.stop_asked:
            return []
        return [Action("timer", ms=STOP_GRACE_MS)]' \
    '        if self.stop_asked:
            return []
        return [Action("signal", name="SIGTERM"), Action("timer", ms=STOP_GRACE_MS)]'
client_fault "python client: no limit on a line that never ends" python_suite $py/_runcore.py \
    "        if self._pending_bytes > LONGEST_LINE_BYTES:" \
    "        if False:"
client_fault "python client: a bad line leaves the helper running" python_suite $py/_runcore.py \
    "            return self.stop(value)" \
    "            self.failure = self.failure or value
            return []"
client_fault "python client: the oldest unread value is kept, not the newest" python_suite $py/_runcore.py \
    "        self._newest = value
" \
    "        self._newest = value if self._newest is None else self._newest
"
client_fault "python client: the reader goes on reading after a stop" python_suite $py/_runcore.py \
    "        if self.ended or self.stop_asked:
            return []
        actions: List[Action] = []
        start = 0
        newline = chunk.find(b\"\\n\")
        while newline != -1 and not self.stop_asked:" \
    "        if self.ended:
            return []
        actions: List[Action] = []
        start = 0
        newline = chunk.find(b\"\\n\")
        while newline != -1:"
client_fault "python client: a watch nobody holds keeps its helper (blocking face)" python_suite $py/_sync.py \
    "            weakref.finalize(self, self._run.close)" \
    "            pass"
client_fault "python client: a watch nobody holds keeps its helper (asyncio face)" python_suite $py/_async.py \
    "            weakref.finalize(self, self._run.stop)" \
    "            pass"
client_fault "python client: aclose() and cancelling leave the helper running" python_suite $py/_async.py \
    "            self._run.stop()
            await finish_uncancelled" \
    "            await finish_uncancelled"
# One answer in every client: each fault below makes its client differ from
# the shared cases or the generated transcripts.
client_fault "python client: the first bytes of standard error kept, not the last" python_suite $py/_runcore.py \
    "self._stderr_tail = (self._stderr_tail + chunk)[-KEPT_STDERR_BYTES:]" \
    "self._stderr_tail = (self._stderr_tail + chunk)[:KEPT_STDERR_BYTES]"
client_fault "node client: the first bytes of standard error kept, not the last" node_suite clients/node/runcore.js \
    "this.stderrTail = tail.subarray(Math.max(0, tail.length - KEPT_STDERR_BYTES));" \
    "this.stderrTail = tail.subarray(0, KEPT_STDERR_BYTES);"
client_fault "python client: a reading past the float range fails the reader" python_suite $py/_protocol.py \
    "return int(text) if len(text) <= 24 else _LongInteger(text)" \
    "return int(text)"
client_fault "node client: an over-long line's start counted in UTF-16 units" node_suite clients/node/protocol.js \
    "const kept = Array.from(start).slice(0, KEPT_LINE_START).join('');" \
    "const kept = start.slice(0, KEPT_LINE_START);"
client_fault "go client: a line nested past the bound is read" go_suite clients/go/protocol.go \
    "	if nestsTooDeeply(line) {" \
    "	if false {"
client_fault "node client: the trend drawn in blocks on a dumb terminal" node_suite clients/node/terminal.js \
    "  if (environment.TERM === 'dumb') return false;
" \
    ""
client_fault "python client: a helper ended by the SIGTERM it was asked to end with is recorded as not ending when asked" python_suite $py/_report.py \
    '"endedWhenAsked": None if failure is not None else self.run.status != -signal.SIGKILL,' \
    '"endedWhenAsked": None if failure is not None else self.run.status == 0,'
client_fault "exporter: the backoff's doubling and cap swapped" exporter_suite clients/go/cmd/calvex-exporter/supervisor.go \
    "return min(previous*2, b.longest)" \
    "return max(previous*2, b.longest)"
client_fault "exporter: the backoff never resets after a good run" exporter_suite clients/go/cmd/calvex-exporter/supervisor.go \
    "if previous == 0 || ranFor >= b.ranWell {" \
    "if previous == 0 {"
client_fault "exporter: the backoff never resets after a good run (the run's length taken backwards)" exporter_suite clients/go/cmd/calvex-exporter/supervisor.go \
    "wait = s.backoff.next(wait, time.Since(started))" \
    "wait = s.backoff.next(wait, time.Until(started))"
client_fault "exporter: a temporary file left behind when the text file cannot be put in place" exporter_suite clients/go/cmd/calvex-exporter/textfile.go \
    "	defer os.Remove(temporary.Name()) // gone once renamed; here if anything failed
" \
    ""
client_fault "exporter: a bcrypt cost one above the cap accepted" exporter_suite clients/go/cmd/calvex-exporter/webconfig.go \
    "if err == nil && cost > highestBcryptCost {" \
    "if err == nil && cost > highestBcryptCost+1 {"
client_fault "exporter: a POST is answered" exporter_suite clients/go/cmd/calvex-exporter/serve.go \
    "if r.Method != http.MethodGet && r.Method != http.MethodHead {" \
    "if false {"
client_fault "exporter: no deadline for a whole request" exporter_suite clients/go/cmd/calvex-exporter/serve.go \
    "		ReadHeaderTimeout: requestTimeout,
		ReadTimeout:       requestTimeout," \
    "		ReadHeaderTimeout: 0 * requestTimeout,
		ReadTimeout:       0 * requestTimeout,"
client_fault "exporter: a stale reading is served as current" exporter_suite clients/go/cmd/calvex-exporter/collector.go \
    "if view.fresh { // a stale reading is never served as current" \
    "if true {"
client_fault "exporter: the text file outlives the exporter as current" exporter_suite clients/go/cmd/calvex-exporter/textfile.go \
    "	h.stop()
	if _, err := writeTextfile(path, registry, nil); err != nil {" \
    "	h.stop()
	if err := error(nil); err != nil {"

if [ "$failures" -ne 0 ]; then
    echo "FAIL: $failures expectation(s) not met"
    exit 1
fi
if [ "$dry" -eq 1 ]; then
    echo "PASS: each of the $faults faults applies to the tree as it is (dry: no suite was run)"
    exit 0
fi
echo "PASS: every fault put back is caught where expected"

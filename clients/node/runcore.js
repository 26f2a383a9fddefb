// How a helper's run goes, as a pure state machine: fed what happened
// (output bytes, the end of output, the helper's exit, a stop asked for, a
// timer that ran out) and answering with what to do (send a signal, set a
// timer, tell that a value came, end the run). No I/O, no clock: the
// driver in process.js does those. The Python package's _runcore.py is the
// same machine, and clients/shared/run-cases.json holds both to it.
import { PROTOCOL } from './contract.js';
import { CalvexError, LONGEST_LINE_BYTES, overLongLine } from './protocol.js';

// How long a helper gets to end after SIGTERM before SIGKILL, to exit once
// its output has ended, and for its output to end once it has exited (a
// grandchild may hold the pipe for ever).
export const STOP_GRACE_MS = PROTOCOL.stopGraceMs;
// The last bytes of what the helper wrote on standard error, kept for the
// failure message, and the characters trimmed from its ends (no others).
const KEPT_STDERR_BYTES = PROTOCOL.keptStderrBytes;
const STDERR_TRIMMED = new Set(PROTOCOL.stderrTrimmed);
// How much of an over-long line is decoded for its error.
const OVER_LONG_START_BYTES = PROTOCOL.overLongStartBytes;
const NEWLINE = 0x0a;

function trimmed(text) {
  let start = 0;
  let end = text.length;
  while (start < end && STDERR_TRIMMED.has(text[start])) start++;
  while (end > start && STDERR_TRIMMED.has(text[end - 1])) end--;
  return text.slice(start, end);
}

// HELPER_FAILED saying how the helper ended.
export function exitFailure(code, signal, stderrTail, withoutLine, role) {
  const how = (signal !== null ? `was killed by ${signal}` : `exited with status ${code}`) + (withoutLine ? ' without writing a line' : '');
  const said = trimmed(stderrTail.toString('utf8'));
  return new CalvexError('HELPER_FAILED', `${role} ${how}${said ? `; it said: ${said}` : ''}`, undefined, signal ?? undefined);
}

// One run from start to end of `helper` (its name in the failures, the
// parse of its lines). `once`: the helper writes one line and exits;
// the first value is the result, and a bad exit after it is still a
// failure. Otherwise (a watch) any exit not asked for is a failure. Values
// are parsed as lines complete; the newest waits in take(). Each event
// answers with a list of actions: { kind: 'value' }, { kind: 'signal',
// name }, { kind: 'timer', ms } (call timerFired() then, replacing any
// timer set before) and { kind: 'end', failure }.
export class RunCore {
  constructor(helper, { once = false } = {}) {
    this.parse = helper.parse;
    this.once = once;
    this.role = helper.role;
    this.pieces = []; // the start of a line not yet ended
    this.pendingBytes = 0;
    this.stderrTail = Buffer.alloc(0);
    this.newest = null;
    this.valuesSeen = 0;
    this.stopAsked = false;
    this.terminating = false; // signalled after its output ended: not a stop asked for
    this.outputEnded = false;
    this.exit = null; // { code, signal } once the helper has exited
    this.failure = null;
    this.ended = false;
  }

  // What the faces call.

  // The newest value not yet taken, or null; older unread ones are gone.
  take() {
    const newest = this.newest;
    this.newest = null;
    return newest;
  }

  // A stop asked for; a failure given becomes the run's end.
  stop(failure = null) {
    if (this.ended) return [];
    this.failure ??= failure;
    this.newest = null;
    if (this.stopAsked) return [];
    this.stopAsked = true;
    if (this.exit !== null) return this.end();
    return [{ kind: 'signal', name: 'SIGTERM' }, { kind: 'timer', ms: STOP_GRACE_MS }];
  }

  // What happened to the helper.

  startFailed(failure) {
    this.failure = failure;
    return this.end();
  }

  // A chunk of standard output: each line it completes is parsed; a line
  // that grows past the cap ends the run.
  output(chunk) {
    if (this.ended || this.stopAsked) return [];
    const actions = [];
    let start = 0;
    let newline = chunk.indexOf(NEWLINE);
    while (newline !== -1 && !this.stopAsked) {
      const line = Buffer.concat([...this.pieces, chunk.subarray(start, newline)]);
      this.pieces = [];
      this.pendingBytes = 0;
      actions.push(...this.deliver(this.parse(line.toString('utf8'))));
      start = newline + 1;
      newline = chunk.indexOf(NEWLINE, start);
    }
    if (this.stopAsked) return actions;
    if (start < chunk.length) {
      this.pieces.push(chunk.subarray(start));
      this.pendingBytes += chunk.length - start;
    }
    if (this.pendingBytes > LONGEST_LINE_BYTES) {
      const begun = Buffer.concat(this.pieces).subarray(0, OVER_LONG_START_BYTES).toString('utf8');
      this.pieces = [];
      this.pendingBytes = 0;
      actions.push(...this.stop(overLongLine(begun)));
    }
    return actions;
  }

  errorOutput(chunk) {
    const tail = Buffer.concat([this.stderrTail, chunk]);
    this.stderrTail = tail.subarray(Math.max(0, tail.length - KEPT_STDERR_BYTES));
    return [];
  }

  // Its standard output closed: once it has exited too, the run ends; a
  // helper that ended its output by itself gets the grace period to exit,
  // so its own status is the one told.
  outputEnd() {
    if (this.ended || this.outputEnded) return [];
    this.outputEnded = true;
    if (this.exit !== null) return this.end();
    if (this.stopAsked) return [];
    return [{ kind: 'timer', ms: STOP_GRACE_MS }];
  }

  // It exited (`signal` the name of the one that ended it, or null). A
  // stopped helper's output is dropped at once; one that ended by itself
  // gets the grace period for its output to end, so its last line is read,
  // but no grandchild that holds the pipe keeps the run going.
  exited(code, signal) {
    if (this.ended || this.exit !== null) return [];
    this.exit = { code, signal };
    if (this.stopAsked || this.outputEnded) return this.end();
    return [{ kind: 'timer', ms: STOP_GRACE_MS }];
  }

  timerFired() {
    if (this.ended) return [];
    if (this.exit !== null) return this.end(); // its output did not end in time: a grandchild holds it
    if (this.stopAsked || this.terminating) return [{ kind: 'signal', name: 'SIGKILL' }];
    // Its output ended but it did not exit: asked to, and its status told.
    this.terminating = true;
    return [{ kind: 'signal', name: 'SIGTERM' }, { kind: 'timer', ms: STOP_GRACE_MS }];
  }

  // Inside.

  deliver(value) {
    if (value instanceof CalvexError) return this.stop(value);
    if (this.once && this.valuesSeen > 0) return [];
    this.valuesSeen += 1;
    this.newest = value;
    return [{ kind: 'value' }];
  }

  end() {
    this.failure ??= this.failureOfExit();
    if (this.failure !== null) this.newest = null; // the failure is the newest news
    this.ended = true;
    return [{ kind: 'end', failure: this.failure }];
  }

  // How an exit the client did not ask for ends the run.
  failureOfExit() {
    if (this.stopAsked || this.exit === null) return null;
    const { code, signal } = this.exit;
    if (this.once) {
      if (this.valuesSeen === 0 || code !== 0) return exitFailure(code, signal, this.stderrTail, this.valuesSeen === 0, this.role);
      return null;
    }
    // A watched helper never ends by itself while its parent lives.
    return exitFailure(code, signal, this.stderrTail, false, this.role);
  }
}

// The one place a helper runs: the child process from spawn to reaped, its
// output split into lines and parsed, the newest value kept, and exactly
// one end (a failure, or none). The read and the watch (faces.js) are thin
// faces over it.
import { spawn } from 'node:child_process';

import { PROTOCOL } from './contract.js';
import { CalvexError, LONGEST_LINE_BYTES, cannotStart, overLongLine } from './protocol.js';

// What the helper wrote on standard error, kept for the failure message.
const KEPT_STDERR_CHARACTERS = 1024;
// How long a helper gets to end after SIGTERM before it is killed, and its
// output to close after it has exited (a grandchild may hold it open).
export const STOP_GRACE_MS = PROTOCOL.stopGraceMs;

function exitFailure(code, signal, stderr, withoutLine) {
  const how = (signal ? `was killed by ${signal}` : `exited with status ${code}`) + (withoutLine ? ' without writing a line' : '');
  const said = stderr.trim() ? `; it said: ${stderr.trim()}` : '';
  return new CalvexError('HELPER_FAILED', `the calvex helper ${how}${said}`, undefined, signal ?? undefined);
}

// One helper from spawn to reaped. The newest parsed value waits in take();
// older unread ones are dropped. The run ends once, `failure` set or not:
// then `ended` is true and the promise of waitEnd() resolves. onChange() is
// called after each value and at the end. With `once` the helper writes
// one line and exits: the first value is the result and a bad exit after
// it is still a failure.
export class HelperRun {
  constructor([file, args], parse, { once = false, onChange = () => {} } = {}) {
    this.parse = parse;
    this.once = once;
    this.onChange = onChange;
    this.newest = null;
    this.valuesSeen = 0;
    this.failure = null;
    this.ended = false;
    this.stopAsked = false;
    this.exit = null; // { code, signal } once the helper has exited
    this.pending = ''; // the start of a line not yet ended
    this.stderr = '';
    this.timer = null;
    this.endedPromise = new Promise((resolve) => {
      this.resolveEnded = resolve;
    });
    this.child = spawn(file, args, { stdio: ['ignore', 'pipe', 'pipe'] });
    this.child.stdout.setEncoding('utf8');
    this.child.stderr.setEncoding('utf8');
    this.child.stdout.on('data', (chunk) => this.feed(chunk));
    this.child.stderr.on('data', (chunk) => {
      this.stderr = (this.stderr + chunk).slice(-KEPT_STDERR_CHARACTERS);
    });
    this.child.on('error', (error) => {
      // Only a child that never got a pid failed to start; other errors
      // (a failed kill, say) leave the exit event to report the end.
      if (this.child.pid !== undefined) return;
      this.failure ??= cannotStart('the calvex helper', file, error);
      this.finish();
    });
    this.child.on('exit', (code, signal) => this.exited(code, signal));
    this.child.on('close', () => this.finish());
  }

  // What the faces call.

  // The newest value not yet taken, or null.
  take() {
    const newest = this.newest;
    this.newest = null;
    return newest;
  }

  // Resolves once the helper has been reaped.
  waitEnd() {
    return this.endedPromise;
  }

  // Asks the helper to end (SIGTERM, then SIGKILL after the grace period);
  // a failure given becomes the run's end. Resolves once it is reaped. The
  // stop holds the event loop open until then, so a program that awaits it
  // (or ends its loop with it) never exits with the child still there.
  stop(failure = null) {
    if (this.ended) return this.endedPromise;
    this.failure ??= failure;
    this.newest = null;
    if (!this.stopAsked) {
      this.stopAsked = true;
      if (this.exit !== null) {
        this.finish();
      } else {
        this.child.ref();
        this.child.kill('SIGTERM');
        this.timer = setTimeout(() => this.child.kill('SIGKILL'), STOP_GRACE_MS);
      }
    }
    return this.endedPromise;
  }

  // While nobody waits for it, the helper must not keep the app alive.
  hold(waiting) {
    if (this.stopAsked || this.ended) return;
    const method = waiting ? 'ref' : 'unref';
    this.child[method]();
    this.child.stdout[method]?.();
    this.child.stderr[method]?.();
  }

  // The child's events.

  // A chunk of standard output: each whole line is parsed and delivered; a
  // line that grows past the cap ends the run.
  feed(chunk) {
    let text = this.pending + chunk;
    let newline = text.indexOf('\n');
    while (newline !== -1 && !this.stopAsked) {
      this.deliver(this.parse(text.slice(0, newline)));
      text = text.slice(newline + 1);
      newline = text.indexOf('\n');
    }
    this.pending = text;
    // The cap is in bytes, as the helper wrote them; a UTF-16 unit is at
    // most three of them, so only a line near the cap is measured.
    if (this.pending.length * 3 > LONGEST_LINE_BYTES && Buffer.byteLength(this.pending) > LONGEST_LINE_BYTES) {
      const start = this.pending;
      this.pending = '';
      this.stop(overLongLine(start));
    }
  }

  deliver(value) {
    if (value instanceof CalvexError) {
      this.stop(value);
      return;
    }
    if (this.stopAsked || (this.once && this.valuesSeen > 0)) return;
    this.valuesSeen += 1;
    this.newest = value;
    this.onChange();
  }

  // After the exit: a stopped helper's output is dropped at once; a helper
  // that ended by itself gets the grace period for its output to close, so
  // its last line is read, but no grandchild that holds the pipe can keep
  // the run from ending.
  exited(code, signal) {
    this.exit = { code, signal };
    clearTimeout(this.timer);
    if (this.stopAsked) {
      this.finish();
      return;
    }
    this.timer = setTimeout(() => this.finish(), STOP_GRACE_MS);
  }

  // The run's one end. It is called from several events ('close', the
  // timer after the exit, a failed start, a stop after the exit); it acts
  // only once, and never before the exit is known: 'close' can come first
  // (the helper closed its output and is still exiting), and its exit
  // status decides whether the run failed. A child that never started has
  // no exit to wait for.
  finish() {
    const started = this.child.pid !== undefined;
    if (this.ended || (started && this.exit === null)) return;
    clearTimeout(this.timer);
    this.child.stdout.destroy();
    this.child.stderr.destroy();
    this.failure ??= this.failureOfExit();
    if (this.failure !== null) this.newest = null; // the failure is the newest news
    this.ended = true;
    this.resolveEnded();
    this.onChange();
  }

  // How an exit the client did not ask for ends the run.
  failureOfExit() {
    if (this.stopAsked || this.exit === null) return null;
    const { code, signal } = this.exit;
    if (this.once) {
      if (this.valuesSeen === 0 || code !== 0) return exitFailure(code, signal, this.stderr, this.valuesSeen === 0);
      return null;
    }
    // A watched helper never ends by itself while its parent lives.
    return exitFailure(code, signal, this.stderr, false);
  }
}

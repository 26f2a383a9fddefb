// The one place a helper runs: the command to run, the child process from
// spawn to reaped, its output split into lines and parsed, the newest value
// kept, and exactly one end (a failure, or none). readSensors and
// watchSensors are thin faces over readOnce and Watch.
import { spawn } from 'node:child_process';

import { CalvexError, LONGEST_LINE_CHARACTERS, overLongLine } from './protocol.js';

export const DEFAULT_INTERVAL_MS = 2000;
const SHORTEST_INTERVAL_MS = 200;
// The most milliseconds the helper's 32-bit microsecond sleep can hold.
const LONGEST_INTERVAL_MS = 4294967;
// What the helper wrote on standard error, kept for the failure message.
const KEPT_STDERR_CHARACTERS = 1024;
// How long a helper gets to end after SIGTERM before it is killed, and its
// output to close after it has exited (a grandchild may hold it open).
const STOP_GRACE_MS = 1000;

// The helper's argument for an interval: a whole number of milliseconds,
// raised to the floor and capped as the helper does; anything else is a
// TypeError (returned, so that it reaches the caller as a rejection).
export function intervalArgument(intervalMs) {
  if (intervalMs === undefined) return String(DEFAULT_INTERVAL_MS);
  if (!Number.isInteger(intervalMs)) {
    return new TypeError(`intervalMs must be a whole number of milliseconds, not ${String(intervalMs)}`);
  }
  return String(Math.min(Math.max(intervalMs, SHORTEST_INTERVAL_MS), LONGEST_INTERVAL_MS));
}

// The command to run as [file, [...arguments]], or the TypeError or
// CalvexError that says why there is none; decided before any spawn.
export function helperCommand(helper, argument, bundled) {
  if (argument instanceof Error) return argument;
  if (helper !== undefined) {
    if (!Array.isArray(helper) || helper.length === 0 || !helper.every((word) => typeof word === 'string' && !word.includes('\0'))) {
      return new TypeError('helper must be a non-empty array of strings: [path, ...leading arguments]');
    }
    return [helper[0], [...helper.slice(1), argument]];
  }
  if (process.platform !== 'darwin' || process.arch !== 'arm64') {
    return new CalvexError(
      'UNSUPPORTED_PLATFORM',
      `calvex runs on macOS on Apple Silicon only, not ${process.platform} ${process.arch}; pass options.helper to run another command`,
    );
  }
  return [bundled, [argument]];
}

export function abortReason(signal) {
  return signal.reason ?? new DOMException('This operation was aborted', 'AbortError');
}

function exitFailure(code, signal, stderr, withoutLine) {
  const how = (signal ? `was killed by ${signal}` : `exited with status ${code}`) + (withoutLine ? ' without writing a line' : '');
  const said = stderr.trim() ? `; it said: ${stderr.trim()}` : '';
  return new CalvexError('HELPER_FAILED', `the calvex helper ${how}${said}`);
}

// One helper from spawn to reaped. The newest parsed value waits in
// takeNewest(); older unread ones are dropped. The run ends once, `failure`
// set or not, and onChange() is called after each value and at the end.
// With `once` the helper writes one line and exits: the first value is the
// result and a bad exit after it is still a failure. `ended` resolves once
// the helper is reaped.
export class HelperRun {
  constructor([file, args], parse, { once = false, onChange = () => {} } = {}) {
    this.parse = parse;
    this.once = once;
    this.onChange = onChange;
    this.newest = null;
    this.valuesSeen = 0;
    this.failure = null;
    this.isEnded = false;
    this.stopAsked = false;
    this.exit = null;
    this.pending = '';
    this.stderr = '';
    this.timer = null;
    this.ended = new Promise((resolve) => {
      this.resolveEnded = resolve;
    });
    this.child = spawn(file, args, { stdio: ['ignore', 'pipe', 'pipe'] });
    this.child.stdout.setEncoding('utf8');
    this.child.stderr.setEncoding('utf8');
    this.child.stdout.on('data', (chunk) => this.take(chunk));
    this.child.stderr.on('data', (chunk) => {
      this.stderr = (this.stderr + chunk).slice(-KEPT_STDERR_CHARACTERS);
    });
    this.child.on('error', (error) => {
      // Only a child that never got a pid failed to start; other errors
      // (a failed kill, say) leave the exit event to report the end.
      if (this.child.pid !== undefined) return;
      this.failure ??= new CalvexError('HELPER_FAILED', `cannot start the calvex helper ${file}: ${error.message}`);
      this.finish();
    });
    this.child.on('exit', (code, signal) => this.exited(code, signal));
    this.child.on('close', () => this.finish());
  }

  // The newest value not yet taken, or null.
  takeNewest() {
    const newest = this.newest;
    this.newest = null;
    return newest;
  }

  take(chunk) {
    let text = this.pending + chunk;
    let newline = text.indexOf('\n');
    while (newline !== -1 && !this.stopAsked) {
      this.deliver(this.parse(text.slice(0, newline)));
      text = text.slice(newline + 1);
      newline = text.indexOf('\n');
    }
    this.pending = text;
    if (this.pending.length > LONGEST_LINE_CHARACTERS) {
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

  finish() {
    if (this.isEnded || (this.exit === null && this.child.pid !== undefined)) return;
    clearTimeout(this.timer);
    this.child.stdout.destroy();
    this.child.stderr.destroy();
    this.failure ??= this.failureOfExit();
    if (this.failure !== null) this.newest = null;
    this.isEnded = true;
    this.resolveEnded();
    this.onChange();
  }

  failureOfExit() {
    if (this.stopAsked) return null;
    const { code, signal } = this.exit;
    if (this.once) {
      if (this.valuesSeen === 0 || code !== 0) return exitFailure(code, signal, this.stderr, this.valuesSeen === 0);
      return null;
    }
    // A watched helper never ends by itself while its parent lives.
    return exitFailure(code, signal, this.stderr, false);
  }

  // Asks the helper to end (SIGTERM, then SIGKILL after the grace period);
  // a failure given becomes the run's end. Resolves once it is reaped. The
  // stop holds the event loop open until then, so a program that awaits it
  // (or ends its loop with it) never exits with the child still there.
  stop(failure = null) {
    if (this.isEnded) return this.ended;
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
    return this.ended;
  }

  // While nobody waits for it, the helper must not keep the app alive.
  hold(waiting) {
    if (this.stopAsked || this.isEnded) return;
    const method = waiting ? 'ref' : 'unref';
    this.child[method]();
    this.child.stdout[method]?.();
    this.child.stderr[method]?.();
  }
}

// Runs a --once command to its end: resolves with its value, or rejects
// with how it failed (the abort's reason once the helper is reaped).
export function readOnce(command, parse, signal) {
  return new Promise((resolve, reject) => {
    if (command instanceof Error) return reject(command);
    if (signal?.aborted) return reject(abortReason(signal));
    const onAbort = () => run.stop();
    const run = new HelperRun(command, parse, {
      once: true,
      onChange: () => {
        if (!run.isEnded) return;
        signal?.removeEventListener('abort', onAbort);
        if (signal?.aborted) reject(abortReason(signal));
        else if (run.failure !== null) reject(run.failure);
        else resolve(run.takeNewest());
      },
    });
    signal?.addEventListener('abort', onAbort, { once: true });
  });
}

// Values from a helper running at an interval, as an async iterator. The
// helper starts with the first next(); return(), an abort and the end of
// the values stop it, and an error or the end is delivered only once it has
// been reaped, so none is ever left behind.
export class Watch {
  constructor(command, parse, signal) {
    this.command = command;
    this.parse = parse;
    this.signal = signal;
    this.run = null;
    this.failure = command instanceof Error ? command : null;
    this.finished = false; // the consumer has had the end or an error
    this.waiters = [];
    this.onAbort = () => {
      this.failure ??= abortReason(signal);
      if (this.run === null) this.settle();
      else this.run.stop().then(() => this.settle());
    };
    if (signal?.aborted) this.failure ??= abortReason(signal);
    else signal?.addEventListener('abort', this.onAbort, { once: true });
  }

  next() {
    if (this.run === null && this.failure === null && !this.finished) {
      this.run = new HelperRun(this.command, this.parse, { onChange: () => this.settle() });
    }
    return new Promise((resolve, reject) => {
      this.waiters.push({ resolve, reject });
      this.settle();
    });
  }

  async return() {
    this.finished = true;
    if (this.run !== null) await this.run.stop();
    this.settle();
    return { value: undefined, done: true };
  }

  [Symbol.asyncIterator]() {
    return this;
  }

  // Answers waiting consumers: a value when there is one; an error or the
  // end only once the helper is gone.
  settle() {
    const run = this.run;
    const gone = run === null || run.isEnded;
    while (this.waiters.length > 0) {
      const value = this.finished || run === null || this.failure !== null ? null : run.takeNewest();
      if (value !== null) {
        this.waiters.shift().resolve({ value, done: false });
      } else if (!gone && !this.finished) {
        break;
      } else if (!this.finished && (this.failure ?? run?.failure ?? null) !== null) {
        this.finished = true;
        this.waiters.shift().reject(this.failure ?? run.failure);
      } else {
        this.finished = true;
        this.waiters.shift().resolve({ value: undefined, done: true });
      }
    }
    if (gone || this.finished) this.signal?.removeEventListener('abort', this.onAbort);
    run?.hold(this.waiters.length > 0);
  }
}

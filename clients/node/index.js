// Runs the calvex helper as a child process and turns its JSON lines into
// snapshots: one with readSensors, a stream with watchSensors. The helper is
// always stopped and waited for, and a slow consumer never builds a backlog.
import { spawn } from 'node:child_process';
import { fileURLToPath } from 'node:url';

import { CalvexError, parseLine } from './lines.js';

export { CalvexError };
export { kindOf, summary } from './kinds.js';

const DEFAULT_INTERVAL_MS = 2000;
const SHORTEST_INTERVAL_MS = 200;
// The most milliseconds the helper's 32-bit microsecond sleep can hold.
const LONGEST_INTERVAL_MS = 4294967;
// A line longer than this is no calvex line (1024 sensors take about 100 kB).
const LONGEST_LINE_CHARACTERS = 4 * 1024 * 1024;
// What the helper wrote on standard error, kept for the failure message.
const KEPT_STDERR_BYTES = 1024;
const STOP_GRACE_MS = 1000;

// A helper inside Electron's app.asar can't be executed; packagers unpack it
// to app.asar.unpacked beside it, so that is where to look.
function unpackedFromAsar(path) {
  return path.replace(/([\\/])app\.asar([\\/])/, '$1app.asar.unpacked$2');
}

export const bundledHelperPath = unpackedFromAsar(
  fileURLToPath(new URL('./bin/calvex-macos-arm64', import.meta.url)),
);

function intervalArgument(intervalMs) {
  if (intervalMs === undefined) return String(DEFAULT_INTERVAL_MS);
  if (typeof intervalMs !== 'number' || Number.isNaN(intervalMs)) {
    throw new TypeError(`intervalMs must be a number of milliseconds, not ${String(intervalMs)}`);
  }
  const whole = Math.floor(Math.min(Math.max(intervalMs, SHORTEST_INTERVAL_MS), LONGEST_INTERVAL_MS));
  return String(whole);
}

// The command to run as [file, ...arguments], or a CalvexError.
function helperCommand(options, argument) {
  const helper = options.helper;
  if (helper !== undefined) {
    if (!Array.isArray(helper) || helper.length === 0 || !helper.every((word) => typeof word === 'string')) {
      throw new TypeError('helper must be a non-empty array of strings: [path, ...leading arguments]');
    }
    return [helper[0], [...helper.slice(1), argument]];
  }
  if (process.platform !== 'darwin' || process.arch !== 'arm64') {
    return new CalvexError(
      'UNSUPPORTED_PLATFORM',
      `calvex runs on macOS on Apple Silicon only, not ${process.platform} ${process.arch}; pass options.helper to run another command`,
    );
  }
  return [bundledHelperPath, [argument]];
}

function abortReason(signal) {
  return signal.reason ?? new DOMException('This operation was aborted', 'AbortError');
}

// One running helper: splits its output into lines, keeps what it wrote on
// standard error for messages, and reports how it ended: onEnd(startError)
// when it could not start, else onEnd(null, code, signal) once it has exited.
class HelperProcess {
  constructor([file, args], onLine, onEnd) {
    this.pending = '';
    this.stderr = '';
    this.stopping = false;
    this.exited = false;
    this.child = spawn(file, args, { stdio: ['ignore', 'pipe', 'pipe'] });
    this.child.stdout.setEncoding('utf8');
    this.child.stderr.setEncoding('utf8');
    this.child.stdout.on('data', (chunk) => this.take(chunk, onLine));
    this.child.stderr.on('data', (chunk) => {
      this.stderr = (this.stderr + chunk).slice(-KEPT_STDERR_BYTES);
    });
    this.child.on('error', (error) => {
      // Only a child that never got a pid failed to start; other errors
      // (a failed kill, say) leave the close event to report the end.
      if (this.exited || this.child.pid !== undefined) return;
      this.exited = true;
      onEnd(new CalvexError('HELPER_FAILED', `cannot start the calvex helper ${file}: ${error.message}`));
    });
    this.child.on('close', (code, signal) => {
      if (this.exited) return;
      this.exited = true;
      onEnd(null, code, signal);
    });
  }

  take(chunk, onLine) {
    let text = this.pending + chunk;
    let newline = text.indexOf('\n');
    while (newline !== -1) {
      onLine(text.slice(0, newline));
      text = text.slice(newline + 1);
      newline = text.indexOf('\n');
    }
    this.pending = text;
    if (this.pending.length > LONGEST_LINE_CHARACTERS) {
      const start = this.pending.slice(0, 200);
      this.pending = '';
      onLine(start, true);
    }
  }

  failure(code, signal, withoutLine = false) {
    const how = (signal ? `was killed by ${signal}` : `exited with status ${code}`) + (withoutLine ? ' without writing a line' : '');
    const said = this.stderr.trim() ? `; it said: ${this.stderr.trim()}` : '';
    return new CalvexError('HELPER_FAILED', `the calvex helper ${how}${said}`);
  }

  // Stops the helper; resolves once it has exited and been reaped.
  stop() {
    if (this.exited) return Promise.resolve();
    this.stopping = true;
    return new Promise((resolve) => {
      const killer = setTimeout(() => this.child.kill('SIGKILL'), STOP_GRACE_MS);
      this.child.once('close', () => {
        clearTimeout(killer);
        resolve();
      });
      this.child.once('error', () => {
        clearTimeout(killer);
        resolve();
      });
      this.child.kill('SIGTERM');
    });
  }

  // While nobody waits for it, the helper must not keep the app alive.
  hold(waiting) {
    const method = waiting ? 'ref' : 'unref';
    this.child[method]();
    this.child.stdout[method]?.();
    this.child.stderr[method]?.();
  }
}

/**
 * Runs the helper with --once and resolves with its snapshot.
 */
export function readSensors(options = {}) {
  return new Promise((resolve, reject) => {
    const { signal } = options;
    if (signal?.aborted) return reject(abortReason(signal));
    const command = helperCommand(options, '--once');
    if (command instanceof CalvexError) return reject(command);

    let result = null;
    const onAbort = () => helper.stop().then(() => reject(abortReason(signal)));
    const helper = new HelperProcess(
      command,
      (line, tooLong) => {
        if (result !== null) return;
        result = tooLong ? new CalvexError('BAD_OUTPUT', `calvex wrote an over-long line: ${line}…`, line) : parseLine(line);
        if (result instanceof CalvexError) helper.stop();
      },
      (startError, code, exitSignal) => {
        signal?.removeEventListener('abort', onAbort);
        if (signal?.aborted) return;
        if (startError) reject(startError);
        else if (result instanceof CalvexError) reject(result);
        else if (result === null || code !== 0) reject(helper.failure(code, exitSignal, result === null));
        else resolve(result);
      },
    );
    signal?.addEventListener('abort', onAbort, { once: true });
  });
}

/**
 * Runs the helper at the given interval and yields its snapshots, keeping at
 * most the newest unread one.
 */
export function watchSensors(options = {}) {
  const { signal } = options;
  const argument = intervalArgument(options.intervalMs);
  let helper = null;
  let newest = null; // the newest unread snapshot
  let failure = null; // an error to deliver once the helper has exited
  let ended = false; // the helper has exited (or could not start)
  let finished = false; // the consumer has had done or an error
  const waiters = [];

  // Answers waiting consumers: a snapshot when there is one; an error or
  // the end only once the helper is gone, so none is ever left behind.
  const settle = () => {
    while (waiters.length > 0) {
      const waiter = waiters.shift();
      if (newest !== null) {
        waiter.resolve({ value: newest, done: false });
        newest = null;
      } else if (ended && failure !== null) {
        waiter.reject(failure);
        failure = null;
        finished = true;
      } else if (ended || finished) {
        finished = true;
        waiter.resolve({ value: undefined, done: true });
      } else {
        waiters.unshift(waiter);
        break;
      }
    }
    helper?.hold(waiters.length > 0 && !ended);
  };

  const fail = (error) => {
    if (failure === null && !finished) failure = error;
    newest = null;
  };

  const onEnd = (startError, code, exitSignal) => {
    ended = true;
    // Only a stop asked for is a normal end: the helper never ends by itself
    // while its parent lives.
    const error = startError ?? (helper === null || helper.stopping ? null : helper.failure(code, exitSignal));
    if (error) fail(error);
    signal?.removeEventListener('abort', onAbort);
    settle();
  };

  const onLine = (line, tooLong) => {
    if (failure !== null || finished) return;
    const parsed = tooLong ? new CalvexError('BAD_OUTPUT', `calvex wrote an over-long line: ${line}…`, line) : parseLine(line);
    if (parsed instanceof CalvexError) {
      fail(parsed);
      helper.stop();
      return;
    }
    newest = parsed;
    settle();
  };

  const start = () => {
    const command = helperCommand(options, argument);
    if (command instanceof CalvexError) return onEnd(command);
    helper = new HelperProcess(command, onLine, onEnd);
  };

  const onAbort = () => {
    fail(abortReason(signal));
    if (helper !== null) helper.stop();
    else onEnd(null);
  };
  if (signal?.aborted) onAbort();
  else signal?.addEventListener('abort', onAbort, { once: true });

  return {
    next() {
      if (helper === null && !ended) start();
      return new Promise((resolve, reject) => {
        waiters.push({ resolve, reject });
        settle();
      });
    },
    async return() {
      finished = true;
      newest = null;
      failure = null;
      if (helper !== null) await helper.stop();
      ended = true;
      signal?.removeEventListener('abort', onAbort);
      settle();
      return { value: undefined, done: true };
    },
    [Symbol.asyncIterator]() {
      return this;
    },
  };
}

/**
 * The hottest sensor of a snapshot (the first of equals), or undefined.
 */
export function hottest(snapshot) {
  let best;
  for (const sensor of snapshot.sensors) {
    if (best === undefined || sensor.celsius > best.celsius) best = sensor;
  }
  return best;
}

/**
 * The readings of a snapshot by sensor name, in order, since names repeat.
 */
export function byName(snapshot) {
  const readings = new Map();
  for (const { name, celsius } of snapshot.sensors) {
    const list = readings.get(name);
    if (list === undefined) readings.set(name, [celsius]);
    else list.push(celsius);
  }
  return readings;
}

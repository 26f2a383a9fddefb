// The faces over the process core: one value with a --once run, a stream
// of values with a watch. Both deliver every failure asynchronously, and an
// error or the end only once the helper has been reaped.
import { HelperRun } from './process.js';

// What an abort rejects with: the signal's own reason, or an AbortError.
export function abortReason(signal) {
  return signal.reason ?? new DOMException('This operation was aborted', 'AbortError');
}

// Runs a --once command to its end: resolves with its value, or rejects
// with how it failed (the abort's reason once the helper is reaped). The
// helper is described by `commandOf`, which gives [file, args] or throws
// why there is none, and `helper`, which names it and parses its lines.
export function readOnce(commandOf, helper, signal) {
  return new Promise((resolve, reject) => {
    let command;
    try {
      command = commandOf();
    } catch (error) {
      return reject(error);
    }
    if (signal?.aborted) return reject(abortReason(signal));
    const onAbort = () => run.stop();
    const run = new HelperRun(command, helper, {
      once: true,
      onChange: () => {
        if (!run.ended) return;
        signal?.removeEventListener('abort', onAbort);
        if (signal?.aborted) reject(abortReason(signal));
        else if (run.failure !== null) reject(run.failure);
        else resolve(run.take());
      },
    });
    signal?.addEventListener('abort', onAbort, { once: true });
  });
}

const DONE = Object.freeze({ value: undefined, done: true });

// Values from a helper running at an interval, as an async iterator; the
// helper is described as for readOnce(), and a command that cannot be
// made is the first next()'s rejection. The helper starts with the first
// next(); return(), an abort and the end of the values stop it.
export class Watch {
  constructor(commandOf, helper, signal) {
    this.helper = helper;
    this.signal = signal;
    this.run = null; // the helper's run, from the first next()
    this.failure = null; // the watch's own: a bad option, an abort
    try {
      this.command = commandOf();
    } catch (error) {
      this.failure = error;
    }
    this.finished = false; // the consumer has had the end or an error
    this.waiters = []; // next() calls not yet answered, oldest first
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
      this.run = new HelperRun(this.command, this.helper, { onChange: () => this.settle() });
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
    return DONE;
  }

  [Symbol.asyncIterator]() {
    return this;
  }

  // Answers the waiting consumers in order, as far as there are answers.
  settle() {
    while (this.waiters.length > 0) {
      const answer = this.answer();
      if (answer === null) break;
      const waiter = this.waiters.shift();
      if (answer.error !== undefined) waiter.reject(answer.error);
      else waiter.resolve(answer.result);
    }
    // Once the helper is gone, an abort has nothing left to stop.
    if (this.finished || this.run === null || this.run.ended) this.signal?.removeEventListener('abort', this.onAbort);
    this.run?.hold(this.waiters.length > 0);
  }

  // The answer the oldest waiter gets now, or null while it must wait. In
  // order: after the end, only the end again; a value while the watch is
  // well; while the helper is still there, nothing yet (an error or the
  // end waits for its reap, so no helper outlives them); once it is gone,
  // the watch's own failure, else the run's, else the end.
  answer() {
    if (this.finished) return { result: DONE };
    const failing = this.failure !== null;
    const value = failing || this.run === null ? null : this.run.take();
    if (value !== null) return { result: { value, done: false } };
    const helperGone = this.run === null || this.run.ended;
    if (!helperGone) return null;
    this.finished = true;
    const error = this.failure ?? this.run?.failure ?? null;
    return error !== null ? { error } : { result: DONE };
  }
}

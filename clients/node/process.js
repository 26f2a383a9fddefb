// The one place a helper runs: the child process from spawn to reaped,
// driven by the pure run core (runcore.js), which decides how the run goes
// and ends; this module only does what it answers. The read and the watch
// (faces.js) are thin faces over it.
import { spawn } from 'node:child_process';

import { constants } from 'node:os';

import { PROTOCOL } from './contract.js';
import { cannotStart, helperFailed } from './protocol.js';
import { RunCore, STOP_GRACE_MS } from './runcore.js';

export { STOP_GRACE_MS };

// The signal names every client gives: the OS's own name where the shared
// list has it. (Node tells a death by a signal it has no name for, a
// real-time one, as a clean exit: that cannot be told here.)
const SIGNAL_NAMES = new Set([...PROTOCOL.signalNames.everywhere, ...(PROTOCOL.signalNames[process.platform] ?? [])]);

function signalName(name) {
  if (name === null || SIGNAL_NAMES.has(name)) return name;
  const number = constants.signals[name];
  return number === undefined ? name : `signal ${number}`;
}

// A child that never started: what spawn() gives when it throws at once
// (ETXTBSY, E2BIG: errors Node does not turn into an 'error' event).
const NOT_STARTED = Object.freeze({ pid: undefined, kill() {}, ref() {}, unref() {}, stdout: null, stderr: null });

// One helper from spawn to reaped (`helper` says which: its name in the
// failures, the parse of its lines). The newest parsed value waits in take();
// older unread ones are dropped. The run ends once, `failure` set or not:
// then `ended` is true and the promise of waitEnd() resolves. onChange() is
// called after each value and at the end. With `once` the helper writes
// one line and exits: the first value is the result and a bad exit after
// it is still a failure.
export class HelperRun {
  constructor([file, args], helper, { once = false, onChange = () => {} } = {}) {
    this.core = new RunCore(helper, { once });
    this.onChange = onChange;
    this.failure = null;
    this.ended = false;
    this.exit = null; // { code, signal } once the helper has exited
    this.timer = null;
    this.endedPromise = new Promise((resolve) => {
      this.resolveEnded = resolve;
    });
    try {
      this.child = spawn(file, args, { stdio: ['ignore', 'pipe', 'pipe'] });
    } catch (error) {
      // Told as the 'error' event would be: after the caller has the run.
      this.child = NOT_STARTED;
      queueMicrotask(() => this.do(this.core.startFailed(cannotStart(helper.role, file, error))));
      return;
    }
    this.child.stdout.on('data', (chunk) => this.fed(() => this.core.output(chunk)));
    this.child.stdout.on('close', () => this.fed(() => this.core.outputEnd()));
    this.child.stderr.on('data', (chunk) => this.fed(() => this.core.errorOutput(chunk)));
    // What it wrote on standard error before it ended is read before its
    // exit is told, so the failure says it (a grandchild that holds the
    // pipe gets the grace period, no more).
    const errorsRead = new Promise((resolve) => {
      this.child.stderr.on('close', resolve);
      this.child.stderr.on('end', resolve);
    });
    this.child.on('error', (error) => {
      // Only a child that never got a pid failed to start; other errors
      // (a failed kill, say) leave the exit event to report the end.
      if (this.child.pid !== undefined) return;
      this.fed(() => this.core.startFailed(cannotStart(helper.role, file, error)));
    });
    this.child.on('exit', (code, signal) => {
      this.exit = { code, signal: signalName(signal) };
      let grace;
      const timedOut = new Promise((resolve) => { grace = setTimeout(resolve, STOP_GRACE_MS); });
      Promise.race([errorsRead, timedOut]).then(() => {
        clearTimeout(grace);
        this.fed(() => this.core.exited(code, this.exit.signal));
      });
    });
  }

  // One event into the core. A fault of the client's own (a parse that
  // throws) ends the run with it, never leaves the call hanging: the
  // helper is killed and the exit still reaps it.
  fed(event) {
    let actions;
    try {
      actions = event();
    } catch (error) {
      const failure = helperFailed('readFailed', { role: this.core.role, error: String(error) });
      actions = [...this.core.stop(failure), { kind: 'signal', name: 'SIGKILL' }];
    }
    this.do(actions);
  }

  // What the faces call.

  // The newest value not yet taken, or null.
  take() {
    return this.core.take();
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
    this.child.ref();
    this.do(this.core.stop(failure));
    return this.endedPromise;
  }

  // While nobody waits for it, the helper must not keep the app alive.
  hold(waiting) {
    if (this.core.stopAsked || this.ended) return;
    const method = waiting ? 'ref' : 'unref';
    this.child[method]();
    this.child.stdout?.[method]?.();
    this.child.stderr?.[method]?.();
  }

  // What the core answers.
  do(actions) {
    for (const action of actions) {
      if (action.kind === 'signal') this.child.kill(action.name);
      else if (action.kind === 'timer') {
        clearTimeout(this.timer);
        this.timer = setTimeout(() => this.do(this.core.timerFired()), action.ms);
      } else if (action.kind === 'value') this.onChange();
      else if (action.kind === 'end') this.finish(action.failure);
    }
  }

  // The run's one end: the pipes closed (a grandchild may still hold
  // them), the waiters woken.
  finish(failure) {
    clearTimeout(this.timer);
    this.child.stdout?.destroy();
    this.child.stderr?.destroy();
    this.failure = failure;
    this.ended = true;
    this.resolveEnded();
    this.onChange();
  }
}

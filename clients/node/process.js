// The one place a helper runs: the child process from spawn to reaped,
// driven by the pure run core (runcore.js), which decides how the run goes
// and ends; this module only does what it answers. The read and the watch
// (faces.js) are thin faces over it.
import { spawn } from 'node:child_process';

import { cannotStart } from './protocol.js';
import { RunCore, STOP_GRACE_MS } from './runcore.js';

export { STOP_GRACE_MS };

// One helper from spawn to reaped. The newest parsed value waits in take();
// older unread ones are dropped. The run ends once, `failure` set or not:
// then `ended` is true and the promise of waitEnd() resolves. onChange() is
// called after each value and at the end. With `once` the helper writes
// one line and exits: the first value is the result and a bad exit after
// it is still a failure.
export class HelperRun {
  constructor([file, args], parse, { once = false, onChange = () => {} } = {}) {
    this.core = new RunCore(parse, { once });
    this.onChange = onChange;
    this.failure = null;
    this.ended = false;
    this.exit = null; // { code, signal } once the helper has exited
    this.timer = null;
    this.endedPromise = new Promise((resolve) => {
      this.resolveEnded = resolve;
    });
    this.child = spawn(file, args, { stdio: ['ignore', 'pipe', 'pipe'] });
    this.child.stdout.on('data', (chunk) => this.do(this.core.output(chunk)));
    this.child.stdout.on('close', () => this.do(this.core.outputEnd()));
    this.child.stderr.on('data', (chunk) => this.core.errorOutput(chunk));
    this.child.on('error', (error) => {
      // Only a child that never got a pid failed to start; other errors
      // (a failed kill, say) leave the exit event to report the end.
      if (this.child.pid !== undefined) return;
      this.do(this.core.startFailed(cannotStart('the calvex helper', file, error)));
    });
    this.child.on('exit', (code, signal) => {
      this.exit = { code, signal };
      this.do(this.core.exited(code, signal));
    });
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
    this.child.stdout[method]?.();
    this.child.stderr[method]?.();
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
    this.child.stdout.destroy();
    this.child.stderr.destroy();
    this.failure = failure;
    this.ended = true;
    this.resolveEnded();
    this.onChange();
  }
}

// What the client tests share: the built calvex on the simulated platform
// as the helper command, scenarios, and the test process's own children.
import { existsSync, readdirSync, readFileSync } from 'node:fs';
import { setTimeout as sleep } from 'node:timers/promises';
import { fileURLToPath } from 'node:url';

export const root = fileURLToPath(new URL('../../../', import.meta.url));
const simrun = process.env.CALVEX_TEST_SIMRUN ?? `${root}build/sim/simrun`;
const tool = process.env.CALVEX_TEST_TOOL ?? `${root}build/calvex`;

const pressureTool = process.env.CALVEX_TEST_PRESSURE_TOOL ?? `${tool.slice(0, tool.lastIndexOf('/'))}/calvex-pressure`;

// The helper command, with simulated-platform variables set in front of it.
export function simulated(variables = {}, helper = tool) {
  const assignments = Object.entries({ CALVEX_SIM_CLOCK: 'real', ...variables }).map(([name, value]) => `${name}=${value}`);
  return ['/usr/bin/env', ...assignments, simrun, helper];
}

// The pressure helper's command on the simulated notify service.
export function simulatedPressure(variables = {}) {
  return simulated(variables, pressureTool);
}

export function scenario(name) {
  return `${root}sim/scenarios/${name}.scenario`;
}

export function expectedLines(name) {
  return readFileSync(`${root}sim/scenarios/${name}.expected`, 'utf8').trimEnd().split('\n');
}

// Pids of this process's children, zombies included.
export function children() {
  const found = [];
  for (const entry of readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    let stat;
    try {
      stat = readFileSync(`/proc/${entry}/stat`, 'utf8');
    } catch {
      continue;
    }
    const parent = Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]);
    if (parent === process.pid) found.push(Number(entry));
  }
  return found;
}

// Real-time margins, widened in slow lanes (emulation).
export const timeScale = Number(process.env.CALVEX_TEST_TIME_SCALE ?? 1);

// A slow consumer waits until the helper has written this many snapshots
// past the one it holds; then its next read must skip most of them.
export const SKIPPED_WHILE_SLOW = 5;

// Resolves once the simulated platform's trace shows more than `moreThan`
// snapshots written (a flush each); rejects after a generous time.
export async function snapshotsWritten(trace, moreThan) {
  const deadline = Date.now() + 30_000 * timeScale;
  const written = () => (existsSync(trace) ? readFileSync(trace, 'utf8').split('fflush').length - 1 : 0);
  while (written() <= moreThan) {
    if (Date.now() > deadline) throw new Error(`the helper wrote no more than ${moreThan} snapshots`);
    await sleep(20);
  }
}

// Settles as the promise does, or rejects once `seconds` have passed, so a
// client that stalls fails its test with a message instead of hanging.
export function within(seconds, promise, what) {
  let timer;
  const deadline = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`${what}: no answer within ${seconds * timeScale} s`)), seconds * timeScale * 1000);
  });
  return Promise.race([promise, deadline]).finally(() => clearTimeout(timer));
}

// After a failed test: kills whatever helpers it left and waits a little
// for them to be reaped, so the next test starts clean and the run can end.
export async function killChildren() {
  for (let tries = 0; tries < 40 && children().length > 0; tries++) {
    for (const pid of children()) {
      try {
        process.kill(pid, 'SIGKILL');
      } catch {
        // already gone
      }
    }
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}

// A helper command made of one shell script.
export function script(text) {
  return ['/bin/sh', '-c', text, 'sh'];
}

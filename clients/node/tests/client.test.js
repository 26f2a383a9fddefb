// The client driving the real calvex on the simulated platform: exact
// snapshots, every way a run can fail, and no child left behind after any.
// Every wait has a deadline, so a client that stalls fails, never hangs.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { closeSync, copyFileSync, mkdirSync, mkdtempSync, openSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { test, after, afterEach } from 'node:test';

import { helperCommand } from '../command.js';
import { readOnce } from '../faces.js';
import { CalvexError, readSensors, readThermalPressure, watchSensors, watchThermalPressure } from '../index.js';
import { SENSOR_HELPER } from '../protocol.js';
import {
  SKIPPED_WHILE_SLOW,
  children,
  expectedLines,
  killChildren,
  scenario,
  script,
  simulated,
  simulatedPressure,
  snapshotsWritten,
  timeScale,
  within,
} from './helper.js';

const scratch = mkdtempSync(`${tmpdir()}/calvex-client-`);
after(() => rmSync(scratch, { recursive: true, force: true }));
afterEach(killChildren);

function assertNoChildren() {
  assert.deepEqual(children(), [], 'a helper process is left behind');
}

test('one snapshot gives the exact names and temperatures', async () => {
  const snapshot = await within(5, readSensors({ helper: simulated({ CALVEX_SIM_SCENARIO: scenario('odd-names') }) }), 'readSensors');
  const expected = JSON.parse(expectedLines('odd-names')[0]).sensors.map(({ name, t }) => ({ name, celsius: t }));
  assert.deepEqual(snapshot, { sensors: expected });
  assert.equal(snapshot.sensors[0].name, 'quote " and backslash \\');
  assert.equal(snapshot.sensors[4].name, 'café — 40°C');
  assertNoChildren();
});

test('failures become CalvexError codes', async (t) => {
  t.afterEach(killChildren);
  const cases = [
    { name: 'no IOKit', variables: { CALVEX_SIM_FAULT: 'no-iokit' }, code: 'IOKIT_NOT_AVAILABLE' },
    { name: 'a missing symbol', variables: { CALVEX_SIM_FAULT: 'no-symbol=CFRelease' }, code: 'IOKIT_NOT_AVAILABLE' },
    { name: 'no event system', variables: { CALVEX_SIM_FAULT: 'no-client' }, code: 'NO_HID_EVENT_SYSTEM' },
  ];
  for (const { name, variables, code } of cases) {
    await t.test(name, async () => {
      await within(5, assert.rejects(readSensors({ helper: simulated(variables) }), { name: 'CalvexError', code }), name);
      const watch = watchSensors({ helper: simulated(variables), intervalMs: 200 });
      await within(5, assert.rejects(watch.next(), { code }), name);
      assert.deepEqual(await within(5, watch.next(), name), { value: undefined, done: true });
      assertNoChildren();
    });
  }
  await t.test('a helper that cannot start', async () => {
    await within(5, assert.rejects(readSensors({ helper: ['/nonexistent/calvex'] }), (error) => {
      assert.equal(error.code, 'HELPER_FAILED');
      assert.match(error.message, /cannot start.*ENOENT/);
      return true;
    }), 'readSensors');
  });
  await t.test('a helper that cannot start for a reason outside the errno words (ETXTBSY)', async () => {
    const program = `${scratch}/busy`;
    writeFileSync(program, '#!/bin/sh\n', { mode: 0o755 });
    const writing = openSync(program, 'a'); // a program still open for writing cannot run
    try {
      for (const read of [readSensors, readThermalPressure]) {
        await within(5, assert.rejects(read({ helper: [program] }), (error) => {
          assert.ok(error instanceof CalvexError);
          assert.equal(error.code, 'HELPER_FAILED');
          const role = read === readSensors ? 'the calvex helper' : 'the calvex-pressure helper';
          assert.equal(error.message, `cannot start ${role} ${program}: ETXTBSY`);
          return true;
        }), read.name);
      }
      const watch = watchSensors({ helper: [program] });
      await within(5, assert.rejects(watch.next(), { name: 'CalvexError', code: 'HELPER_FAILED' }), 'a watch');
      assert.deepEqual(await within(5, watch.next(), 'a watch'), { value: undefined, done: true });
    } finally {
      closeSync(writing);
    }
  });
  await t.test('a fault in the reader ends the call, kills the helper and leaves none', async () => {
    const faulty = { ...SENSOR_HELPER, parse: () => { throw new RangeError('injected'); } };
    const helper = script(`trap '' TERM; echo '{"sensors":[]}'; exec sleep 30`);
    await within(5, assert.rejects(readOnce(() => helperCommand(helper, '--once'), faulty), {
      code: 'HELPER_FAILED',
      message: "reading the calvex helper's output failed: RangeError: injected",
    }), 'readOnce');
    assertNoChildren();
  });
  await t.test('a --once helper that exits badly, before or after its line', async () => {
    const snapshotLine = 'echo \'{"sensors":[]}\'';
    for (const [ending, message] of [
      ['echo broken >&2; exit 3', /status 3 without writing a line.*broken/],
      [`${snapshotLine}; exit 3`, /status 3$/],
      [`${snapshotLine}; kill -KILL $$`, /SIGKILL/],
    ]) {
      await within(5, assert.rejects(readSensors({ helper: script(ending) }), (error) => {
        assert.equal(error.code, 'HELPER_FAILED', ending);
        assert.match(error.message, message, ending);
        return true;
      }), ending);
    }
  });
  await t.test('a bad line stops the helper, even one that ignores SIGTERM', async () => {
    const bad = script('trap "" TERM; echo \'{"sensors":[{"name":1}]}\'; exec sleep 30');
    await within(5, assert.rejects(readSensors({ helper: bad }), { code: 'BAD_OUTPUT', line: '{"sensors":[{"name":1}]}' }), 'readSensors');
    const watch = watchSensors({ helper: script('echo hello; exec sleep 30') });
    await within(5, assert.rejects(watch.next(), { code: 'BAD_OUTPUT', line: 'hello' }), 'a watch after a bad line');
    assertNoChildren();
  });
  await t.test('a line that never ends is cut off and the helper stopped', async () => {
    // 50 MB without a line feed, then silence.
    const endless = script("head -c 50000000 /dev/zero | tr '\\0' x; exec sleep 30");
    const cutOff = { code: 'BAD_OUTPUT', line: 'x'.repeat(200) };
    await within(10, assert.rejects(readSensors({ helper: endless }), cutOff), 'readSensors');
    await within(10, assert.rejects(watchSensors({ helper: endless }).next(), cutOff), 'a watch');
    assertNoChildren();
  });
  await t.test('an unsupported platform, without spawning anything', async () => {
    assert.notEqual(`${process.platform}-${process.arch}`, 'darwin-arm64', 'runs where the bundled helper cannot');
    await within(5, assert.rejects(readSensors(), { code: 'UNSUPPORTED_PLATFORM' }), 'readSensors');
    await within(5, assert.rejects(watchSensors().next(), { code: 'UNSUPPORTED_PLATFORM' }), 'a watch');
    assertNoChildren();
  });
});

test('watching yields snapshots and stops the helper however the loop ends', async (t) => {
  t.afterEach(killChildren);
  const comingAndGoing = expectedLines('coming-and-going').map((line) => JSON.parse(line).sensors.length);
  await t.test('three snapshots, then break', async () => {
    const counts = [];
    await within(10, (async () => {
      for await (const snapshot of watchSensors({ helper: simulated({ CALVEX_SIM_SCENARIO: scenario('coming-and-going') }), intervalMs: 200 })) {
        counts.push(snapshot.sensors.length);
        if (counts.length === 3) break;
      }
    })(), 'three snapshots and a break');
    assert.deepEqual(counts, comingAndGoing.slice(0, 3));
    assertNoChildren();
  });
  await t.test('abort mid-run', async () => {
    const controller = new AbortController();
    const watch = watchSensors({ helper: simulated(), intervalMs: 200, signal: controller.signal });
    assert.equal((await within(5, watch.next(), 'the first snapshot')).done, false);
    const waiting = watch.next();
    controller.abort();
    await within(5, assert.rejects(waiting, { name: 'AbortError' }), 'a watch after abort');
    assert.deepEqual(await within(5, watch.next(), 'a watch after abort'), { value: undefined, done: true });
    assertNoChildren();
    const reading = new AbortController();
    const once = readSensors({ helper: script('exec sleep 30'), signal: reading.signal });
    setTimeout(() => reading.abort(), 100);
    await within(5, assert.rejects(once, { name: 'AbortError' }), 'readSensors after abort');
    assertNoChildren();
  });
  await t.test('return() kills a helper that ignores SIGTERM after the grace period', async () => {
    const stubborn = script('trap "" TERM; while :; do echo \'{"sensors":[]}\'; sleep 0.1; done');
    const watch = watchSensors({ helper: stubborn, intervalMs: 200 });
    assert.equal((await within(5, watch.next(), 'the first snapshot')).done, false);
    await within(5, watch.return(), 'return() of a helper that ignores SIGTERM');
    assertNoChildren();
  });
  await t.test('a watcher nobody waits on does not keep the app alive', async () => {
    // A child app takes one snapshot and forgets the watch: it must exit by itself.
    const app = `import { watchSensors } from ${JSON.stringify(new URL('../index.js', import.meta.url).href)};
      const watch = watchSensors({ helper: JSON.parse(process.argv[1]), intervalMs: 200 });
      console.log((await watch.next()).value.sensors.length);`;
    const child = spawn(process.execPath, ['--input-type=module', '-e', app, JSON.stringify(simulated())], { stdio: ['ignore', 'pipe', 'inherit'] });
    let printed = '';
    child.stdout.on('data', (chunk) => { printed += chunk; });
    const [code] = await within(10, once(child, 'exit'), 'an app with an idle watcher').catch((error) => {
      child.kill('SIGKILL');
      throw error;
    });
    assert.deepEqual([code, printed], [0, '55\n']);
  });
  await t.test('helper killed from outside', async () => {
    const watch = watchSensors({ helper: simulated(), intervalMs: 200 });
    assert.equal((await within(5, watch.next(), 'the first snapshot')).done, false);
    const [helper] = children();
    process.kill(helper, 'SIGKILL');
    await within(5, assert.rejects(async () => {
      for (;;) await watch.next();
    }, (error) => error.code === 'HELPER_FAILED' && /SIGKILL/.test(error.message)), 'a watch of a killed helper');
    assertNoChildren();
  });
  await t.test('a death by a signal is told by its name, as every client says it', async () => {
    await within(5, assert.rejects(readSensors({ helper: script('kill -XCPU $$') }), {
      code: 'HELPER_FAILED', message: 'the calvex helper was killed by SIGXCPU without writing a line', signal: 'SIGXCPU',
    }), 'SIGXCPU');
  });
  await t.test('a death by a real-time signal: what Node cannot tell, as the README says', async () => {
    // Node reports a signal it has no name for as a clean exit (status 0):
    // a --once read after its line takes the value, where the other
    // clients fail with "killed by signal 34".
    const snapshot = await within(5, readSensors({ helper: script(`echo '{"sensors":[]}'; kill -34 $$`) }), 'signal 34');
    assert.deepEqual(snapshot, { sensors: [] });
  });
});

test('a slow consumer gets fresh snapshots and no backlog', async () => {
  // Each snapshot carries its own sequence number as its reading.
  const blocks = Array.from({ length: 120 }, (_, i) => `snapshot\nsensor ${i + 1} "sequence"`);
  const file = `${scratch}/sequence.scenario`;
  writeFileSync(file, `${blocks.join('\n')}\n`);
  const trace = `${scratch}/sequence.trace`;
  const helper = simulated({ CALVEX_SIM_SCENARIO: file, CALVEX_SIM_TRACE: trace });
  const seen = [];
  await within(60, (async () => {
    for await (const snapshot of watchSensors({ helper, intervalMs: 200 })) {
      seen.push(snapshot.sensors[0].celsius);
      if (seen.length === 4) break;
      await snapshotsWritten(trace, snapshot.sensors[0].celsius + SKIPPED_WHILE_SLOW);
    }
  })(), 'four slow reads');
  // Each read, after several snapshots came, takes the newest, not the next.
  for (let i = 1; i < seen.length; i++) {
    assert.ok(seen[i] - seen[i - 1] >= 2, `snapshot ${seen[i]} after ${seen[i - 1]}: stale, queued snapshots were kept`);
  }
  assertNoChildren();
});

test('the client appends its own argument to the helper command', async () => {
  // This helper writes its last argument back as its one line.
  const echo = ['/bin/sh', '-c', 'eval "echo \\${$#}"; exec sleep 30', 'sh', 'leading'];
  await within(5, assert.rejects(readSensors({ helper: echo }), { code: 'BAD_OUTPUT', line: '--once' }), 'readSensors');
  for (const [intervalMs, argument] of [[undefined, '2000'], [50, '200'], [-5, '200'], [1e12, '4294967']]) {
    await within(5, assert.rejects(watchSensors({ helper: echo, intervalMs }).next(), { code: 'BAD_OUTPUT', line: argument }), argument);
  }
  assertNoChildren();
});

test('bad options reject, never throw, and start nothing', async () => {
  const echo = script('echo hello');
  const cases = [
    { helper: echo, intervalMs: NaN },
    { helper: echo, intervalMs: 750.5 },
    { helper: echo, intervalMs: '500' },
    { helper: '/usr/local/bin/calvex' },
    { helper: [] },
    { helper: ['calvex', 1] },
    { helper: ['cal\0vex'] },
  ];
  for (const options of cases) {
    const watch = watchSensors(options);
    await within(5, assert.rejects(watch.next(), TypeError), JSON.stringify(options));
    assert.deepEqual(await watch.next(), { value: undefined, done: true });
    if (options.intervalMs === undefined) await within(5, assert.rejects(readSensors(options), TypeError), 'readSensors');
  }
  assertNoChildren();
});

test('a wrapper script without exec: break lets the program go on, and an abort takes effect at once', async () => {
  // The wrapper's child keeps the pipe open after the wrapper has gone, and
  // a stop once waited for it while nothing held the event loop open.
  const wrapper = script(`${simulated().map((word) => `'${word}'`).join(' ')} "$@"; echo after-helper`);
  const app = `import { watchSensors } from ${JSON.stringify(new URL('../index.js', import.meta.url).href)};
    const helper = JSON.parse(process.argv[1]);
    for await (const snapshot of watchSensors({ helper, intervalMs: 10000 })) break;
    console.log('after the loop');
    const controller = new AbortController();
    const watch = watchSensors({ helper, intervalMs: 10000, signal: controller.signal });
    await watch.next();
    const started = Date.now();
    controller.abort();
    // At once: a stop that waited for the grandchild would take the interval.
    await watch.next().catch((error) => console.log(error.name, Date.now() - started < ${5000 * timeScale}));`;
  const child = spawn(process.execPath, ['--input-type=module', '-e', app, JSON.stringify(wrapper)], { stdio: ['ignore', 'pipe', 'inherit'] });
  let printed = '';
  child.stdout.on('data', (chunk) => { printed += chunk; });
  const [code] = await within(20, once(child, 'exit'), 'a program that breaks out of a wrapper helper').catch((error) => {
    child.kill('SIGKILL');
    throw error;
  });
  assert.deepEqual([code, printed], [0, 'after the loop\nAbortError true\n']);
});

test('a fresh checkout imports the package without a build', async () => {
  // The package's sources alone: the shared data is in contract.js, no
  // file beside them is read.
  const tree = mkdtempSync(`${scratch}/checkout-`);
  mkdirSync(`${tree}/clients/node`, { recursive: true });
  const manifest = JSON.parse(readFileSync(new URL('../package.json', import.meta.url), 'utf8'));
  const modules = manifest.files.filter((file) => file.endsWith('.js'));
  for (const file of [...modules, 'package.json']) {
    copyFileSync(new URL(`../${file}`, import.meta.url), `${tree}/clients/node/${file}`);
  }
  const app = `const { kindOf } = await import(${JSON.stringify(`${tree}/clients/node/index.js`)}); console.log(kindOf('PMU tdie1'));`;
  const child = spawn(process.execPath, ['--input-type=module', '-e', app], { stdio: ['ignore', 'pipe', 'inherit'] });
  let printed = '';
  child.stdout.on('data', (chunk) => { printed += chunk; });
  const [code] = await within(10, once(child, 'exit'), 'an import from a fresh checkout');
  assert.deepEqual([code, printed], [0, 'cpu\n']);
});

test('the thermal pressure level, once and watched, with its own error codes', async () => {
  assert.deepEqual(await within(5, readThermalPressure({ helper: simulatedPressure({ CALVEX_SIM_PRESSURE: '3' }) }), 'a read'), { pressure: 'trapping', level: 3 });
  const levels = [];
  await within(10, (async () => {
    for await (const level of watchThermalPressure({ helper: simulatedPressure({ CALVEX_SIM_PRESSURE: '0,2,fail,18446744073709551615' }), intervalMs: 200 })) {
      levels.push(level);
      if (levels.length === 4) break;
    }
  })(), 'a watch');
  assert.deepEqual(levels, [
    { pressure: 'nominal', level: 0 },
    { pressure: 'heavy', level: 2 },
    { pressure: 'unknown', level: null },
    { pressure: 'unknown', level: null },
  ]);
  for (const [fault, code] of [['no-symbol=notify_register_check', 'PRESSURE_NOT_AVAILABLE'], ['no-pressure-notification', 'NO_PRESSURE_NOTIFICATION']]) {
    await within(5, assert.rejects(readThermalPressure({ helper: simulatedPressure({ CALVEX_SIM_FAULT: fault }) }), { name: 'CalvexError', code }), fault);
    await within(5, assert.rejects(watchThermalPressure({ helper: simulatedPressure({ CALVEX_SIM_FAULT: fault }) }).next(), { code }), fault);
  }
  await within(5, assert.rejects(readThermalPressure(), { code: 'UNSUPPORTED_PLATFORM' }), 'no helper here');
  assertNoChildren();
});

// The client driving the real calvex on the simulated platform: exact
// snapshots, every way a run can fail, and no child left behind after any.
import assert from 'node:assert/strict';
import { writeFileSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { test, after } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';

import { CalvexError, readSensors, watchSensors } from '../index.js';
import { children, expectedLines, scenario, simulated } from './helper.js';

const scratch = mkdtempSync(`${tmpdir()}/calvex-client-`);
after(() => rmSync(scratch, { recursive: true, force: true }));

function assertNoChildren() {
  assert.deepEqual(children(), [], 'a helper process is left behind');
}

test('one snapshot gives the exact names and temperatures', async () => {
  const snapshot = await readSensors({ helper: simulated({ CALVEX_SIM_SCENARIO: scenario('odd-names') }) });
  const expected = JSON.parse(expectedLines('odd-names')[0]).sensors.map(({ name, t }) => ({ name, celsius: t }));
  assert.deepEqual(snapshot, { sensors: expected });
  assert.equal(snapshot.sensors[0].name, 'quote " and backslash \\');
  assert.equal(snapshot.sensors[4].name, 'café — 40°C');
  assertNoChildren();
});

test('failures become CalvexError codes', async (t) => {
  const cases = [
    { name: 'no IOKit', variables: { CALVEX_SIM_FAULT: 'no-iokit' }, code: 'IOKIT_NOT_AVAILABLE' },
    { name: 'a missing symbol', variables: { CALVEX_SIM_FAULT: 'no-symbol=CFRelease' }, code: 'IOKIT_NOT_AVAILABLE' },
    { name: 'no event system', variables: { CALVEX_SIM_FAULT: 'no-client' }, code: 'NO_HID_EVENT_SYSTEM' },
  ];
  for (const { name, variables, code } of cases) {
    await t.test(name, async () => {
      await assert.rejects(readSensors({ helper: simulated(variables) }), { name: 'CalvexError', code });
      const watch = watchSensors({ helper: simulated(variables), intervalMs: 200 });
      await assert.rejects(watch.next(), { code });
      assert.deepEqual(await watch.next(), { value: undefined, done: true });
      assertNoChildren();
    });
  }
  await t.test('a helper that cannot start', async () => {
    await assert.rejects(readSensors({ helper: ['/nonexistent/calvex'] }), (error) => {
      assert.equal(error.code, 'HELPER_FAILED');
      assert.match(error.message, /cannot start.*ENOENT/);
      return true;
    });
  });
  await t.test('a helper that exits without a line', async () => {
    await assert.rejects(readSensors({ helper: ['/bin/sh', '-c', 'echo broken >&2; exit 3', 'sh'] }), (error) => {
      assert.equal(error.code, 'HELPER_FAILED');
      assert.match(error.message, /status 3.*broken/);
      return true;
    });
  });
  await t.test('a helper that writes a bad line, then keeps running', async () => {
    const bad = ['/bin/sh', '-c', 'echo \'{"sensors":[{"name":1}]}\'; exec sleep 30', 'sh'];
    await assert.rejects(readSensors({ helper: bad }), { code: 'BAD_OUTPUT', line: '{"sensors":[{"name":1}]}' });
    const watch = watchSensors({ helper: ['/bin/sh', '-c', 'echo hello; exec sleep 30', 'sh'] });
    await assert.rejects(watch.next(), { code: 'BAD_OUTPUT', line: 'hello' });
    assertNoChildren();
  });
  await t.test('an unsupported platform, without spawning anything', async () => {
    assert.notEqual(`${process.platform}-${process.arch}`, 'darwin-arm64', 'runs where the bundled helper cannot');
    await assert.rejects(readSensors(), { code: 'UNSUPPORTED_PLATFORM' });
    await assert.rejects(watchSensors().next(), { code: 'UNSUPPORTED_PLATFORM' });
    assertNoChildren();
  });
});

test('watching yields snapshots and stops the helper however the loop ends', async (t) => {
  const comingAndGoing = expectedLines('coming-and-going').map((line) => JSON.parse(line).sensors.length);
  await t.test('three snapshots, then break', async () => {
    const counts = [];
    for await (const snapshot of watchSensors({ helper: simulated({ CALVEX_SIM_SCENARIO: scenario('coming-and-going') }), intervalMs: 200 })) {
      counts.push(snapshot.sensors.length);
      if (counts.length === 3) break;
    }
    assert.deepEqual(counts, comingAndGoing.slice(0, 3));
    assertNoChildren();
  });
  await t.test('abort mid-run', async () => {
    const controller = new AbortController();
    const watch = watchSensors({ helper: simulated(), intervalMs: 200, signal: controller.signal });
    assert.equal((await watch.next()).done, false);
    const waiting = watch.next();
    controller.abort();
    await assert.rejects(waiting, { name: 'AbortError' });
    assert.deepEqual(await watch.next(), { value: undefined, done: true });
    assertNoChildren();
  });
  await t.test('helper killed from outside', async () => {
    const watch = watchSensors({ helper: simulated(), intervalMs: 200 });
    assert.equal((await watch.next()).done, false);
    const [helper] = children();
    process.kill(helper, 'SIGKILL');
    await assert.rejects(async () => {
      for (;;) await watch.next();
    }, (error) => error.code === 'HELPER_FAILED' && /SIGKILL/.test(error.message));
    assertNoChildren();
  });
});

test('a slow consumer gets fresh snapshots and no backlog', async () => {
  // Each snapshot carries its own sequence number as its reading.
  const blocks = Array.from({ length: 120 }, (_, i) => `snapshot\nsensor ${i + 1} "sequence"`);
  const file = `${scratch}/sequence.scenario`;
  writeFileSync(file, `${blocks.join('\n')}\n`);
  const seen = [];
  for await (const snapshot of watchSensors({ helper: simulated({ CALVEX_SIM_SCENARIO: file }), intervalMs: 200 })) {
    seen.push(snapshot.sensors[0].celsius);
    if (seen.length === 4) break;
    await sleep(1000);
  }
  // About five snapshots a second: each read skips what came while it slept.
  for (let i = 1; i < seen.length; i++) {
    assert.ok(seen[i] - seen[i - 1] >= 3, `snapshot ${seen[i]} after ${seen[i - 1]}: stale, queued snapshots were kept`);
  }
  assertNoChildren();
});

test('the client appends its own argument to the helper command', async () => {
  // This helper writes its last argument back as its one line.
  const echo = ['/bin/sh', '-c', 'eval "echo \\${$#}"; exec sleep 30', 'sh', 'leading'];
  await assert.rejects(readSensors({ helper: echo }), { code: 'BAD_OUTPUT', line: '--once' });
  for (const [intervalMs, argument] of [[undefined, '2000'], [50, '200'], [750.9, '750'], [1e12, '4294967']]) {
    await assert.rejects(watchSensors({ helper: echo, intervalMs }).next(), { code: 'BAD_OUTPUT', line: argument });
  }
  assert.throws(() => watchSensors({ helper: echo, intervalMs: NaN }), TypeError);
  assertNoChildren();
});

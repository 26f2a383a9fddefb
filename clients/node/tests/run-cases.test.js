// The pure run core against the shared run cases: the same events give the
// same actions, the same value and the same failure as the Python
// package's _runcore.py.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { test } from 'node:test';

import { PRESSURE_HELPER, SENSOR_HELPER } from '../protocol.js';
import { RunCore } from '../runcore.js';
import { root } from './helper.js';

const { cases } = JSON.parse(readFileSync(`${root}clients/shared/run-cases.json`, 'utf8'));

function plain(value) {
  if (value === null) return null;
  if ('sensors' in value) return { sensors: value.sensors.map(({ name, celsius }) => [name, celsius]) };
  return { pressure: value.pressure, level: value.level };
}

function said(action) {
  if (action.kind === 'signal') return `signal ${action.name}`;
  if (action.kind === 'timer') return `timer ${action.ms}`;
  return action.kind;
}

function failure(error) {
  return error === null ? null : { code: error.code, message: error.message, line: error.line ?? null, signal: error.signal ?? null };
}

function feed(core, event) {
  const [[kind, value]] = Object.entries(event);
  if (kind === 'output') return core.output(Buffer.from(value, 'utf8'));
  if (kind === 'outputHex') return core.output(Buffer.from(value, 'hex'));
  if (kind === 'outputRepeat') return core.output(Buffer.from(value.text.repeat(value.times), 'utf8'));
  if (kind === 'errorOutput') return core.errorOutput(Buffer.from(value, 'utf8'));
  if (kind === 'outputEnd') return core.outputEnd();
  if (kind === 'exited') return core.exited(value.code, value.signal);
  if (kind === 'stop') return core.stop();
  assert.equal(kind, 'timerFired');
  return core.timerFired();
}

for (const each of cases) {
  test(`run case: ${each.name}`, () => {
    const core = new RunCore(each.parse === 'sensors' ? SENSOR_HELPER : PRESSURE_HELPER, { once: each.once });
    const actions = each.events.map((event) => feed(core, event).map(said));
    assert.deepEqual({ actions, ended: core.ended, taken: plain(core.take()), failure: failure(core.failure) }, each.expect);
  });
}

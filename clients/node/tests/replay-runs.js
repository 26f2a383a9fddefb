// The Node run core replaying run cases: what each case's events make it
// answer (actions, end, the value taken, the failure), as plain JSON. The
// shared run-case test holds it to the data; tools/transcripts.py runs it
// beside the other clients' replays and compares.
//   node replay-runs.js CASES.json ANSWERS.json
import { readFileSync, writeFileSync } from 'node:fs';
import { fileURLToPath } from 'node:url';

import { PRESSURE_HELPER, SENSOR_HELPER } from '../protocol.js';
import { RunCore } from '../runcore.js';

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
  if (kind === 'errorOutputHex') return core.errorOutput(Buffer.from(value, 'hex'));
  if (kind === 'outputEnd') return core.outputEnd();
  if (kind === 'exited') return core.exited(value.code, value.signal);
  if (kind === 'stop') return core.stop();
  if (kind !== 'timerFired') throw new Error(`an event of no known kind: ${kind}`);
  return core.timerFired();
}

// What the core answers to one case's events.
export function answer(each) {
  const core = new RunCore(each.parse === 'sensors' ? SENSOR_HELPER : PRESSURE_HELPER, { once: each.once });
  const actions = each.events.map((event) => feed(core, event).map(said));
  return { actions, ended: core.ended, taken: plain(core.take()), failure: failure(core.failure) };
}

if (process.argv[1] === fileURLToPath(import.meta.url)) {
  const { cases } = JSON.parse(readFileSync(process.argv[2], 'utf8'));
  // -0 written as JSON is 0: each reading's sign is kept by writing it as text where it is -0.
  writeFileSync(process.argv[3], JSON.stringify(cases.map(answer), (key, value) => (Object.is(value, -0) ? '-0' : value)));
}

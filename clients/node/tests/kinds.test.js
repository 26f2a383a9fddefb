// The shared vectors of the sensor-kind table and of the pressure line, as
// every client runs them, and the table's patterns kept to what JavaScript
// and Python read alike.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { test } from 'node:test';

import { KINDS, hottest, kindOf, summary } from '../index.js';
import { parsePressureLine } from '../protocol.js';
import { root } from './helper.js';

const shared = (file) => JSON.parse(readFileSync(`${root}clients/shared/${file}`, 'utf8'));
const table = shared('sensor-kinds.json');
const vectors = shared('sensor-kinds-vectors.json');

test('every name of the shared vectors gets its kind', () => {
  const wrong = vectors.names
    .filter(([name, kind]) => kindOf(name) !== kind)
    .map(([name, kind]) => `${JSON.stringify(name)}: ${kindOf(name)}, expected ${kind}`);
  assert.deepEqual(wrong, []);
  assert.deepEqual(new Set(vectors.names.map(([, kind]) => kind)), new Set(table.kinds), 'the vectors cover every kind');
  assert.throws(() => kindOf(undefined), TypeError);
});

test('every snapshot of the shared vectors gets its hottest reading, overall and by kind', () => {
  const asSensor = (pair) => (pair === null ? undefined : { name: pair[0], celsius: pair[1] });
  for (const { about, sensors, hottest: expected, byKind } of vectors.hottest) {
    const snapshot = { sensors: sensors.map(asSensor) };
    assert.deepEqual(hottest(snapshot), asSensor(expected), about);
    for (const [kind, each] of Object.entries(byKind)) assert.deepEqual(hottest(snapshot, kind), asSensor(each), `${about}: ${kind}`);
  }
  assert.deepEqual(KINDS, table.kinds);
  for (const notAKind of ['fan', 'CPU', '', null, 1]) assert.throws(() => hottest({ sensors: [] }, notAKind), TypeError);
});

test('every snapshot of the shared vectors gets its summary, keys in first-seen order', () => {
  for (const { about, sensors, summary: expected } of vectors.snapshots) {
    const got = summary({ sensors: sensors.map(([name, celsius]) => ({ name, celsius })) });
    assert.deepEqual(got, expected, about);
    assert.deepEqual(Object.keys(got), Object.keys(expected), about);
  }
});

test('the patterns keep to the subset both languages read alike', () => {
  // Tokens: [0-9] or [\s\S] with an optional + or *, (?:, |, ), or a literal.
  const subset = /^(?:(?:\[0-9\]|\[\\s\\S\])[+*]?|\(\?:|\||\)|[A-Za-z0-9 ])+$/;
  for (const { kind, pattern, ignoreCase } of table.rows) {
    assert.ok(table.kinds.includes(kind), `${pattern}: unknown kind ${kind}`);
    assert.match(pattern, subset, `${pattern} leaves the shared subset`);
    if (ignoreCase) {
      const literals = pattern.replace(/\[\\s\\S\]/g, '');
      assert.doesNotMatch(literals, /[iksIKS]/, `${pattern}: i, k and s fold differently in Python`);
    }
  }
});

test('every reported machine gets the answer a user wants', () => {
  const layouts = shared('reported-layouts.json').scenarios;
  for (const [scenario, answers] of Object.entries(layouts)) {
    const lines = readFileSync(`${root}sim/scenarios/${scenario}.expected`, 'utf8').trimEnd().split('\n');
    assert.equal(lines.length, answers.length, scenario);
    lines.forEach((line, i) => {
      const snapshot = { sensors: JSON.parse(line).sensors.map(({ name, t }) => ({ name, celsius: t })) };
      const top = hottest(snapshot);
      const cpu = hottest(snapshot, 'cpu');
      assert.deepEqual([[top.name, top.celsius], [cpu.name, cpu.celsius]], [answers[i].hottest, answers[i].cpu], scenario);
      const counts = Object.fromEntries(Object.entries(summary(snapshot)).map(([kind, { count }]) => [kind, count]));
      assert.deepEqual(counts, answers[i].counts, scenario);
      const leftOut = Object.fromEntries(Object.entries(summary(snapshot)).filter(([, each]) => each.leftOut > 0).map(([kind, each]) => [kind, each.leftOut]));
      assert.deepEqual(leftOut, answers[i].leftOut, scenario);
      // Never a calibration reference, and the CPU whenever it is the hottest part.
      const parts = snapshot.sensors.filter(({ name }) => kindOf(name) !== 'calibration');
      assert.notEqual(kindOf(top.name), 'calibration', scenario);
      assert.equal(kindOf(cpu.name), 'cpu', scenario);
      if (Math.max(...parts.map(({ celsius }) => celsius)) === cpu.celsius) assert.equal(kindOf(top.name), 'cpu', scenario);
    });
  }
});

test('every pressure line of the shared vectors gets its value or its code', () => {
  for (const [line, expected] of shared('pressure-line-vectors.json').lines) {
    const parsed = parsePressureLine(line);
    if (typeof expected === 'string') assert.deepEqual([parsed.code, parsed.line], [expected, line], line);
    else assert.deepEqual(parsed, expected, line);
  }
});

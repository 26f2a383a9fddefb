// The terminal view against the shared golden cases: every case, byte for
// byte, as python -m calvex renders it too.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { test } from 'node:test';

import { CalvexError, parseLine, parsePressureLine } from '../protocol.js';
import { Trends, fixed2, pressureText, unicodeTerminal, view } from '../terminal.js';

const { cases, blockCharacters } = JSON.parse(readFileSync(new URL('../../shared/terminal-views.json', import.meta.url), 'utf8'));

function rendered({ snapshots, pressure, heldSeconds, width, height, trends: drawn, unicode }) {
  const trends = drawn ? new Trends() : null;
  let snapshot;
  for (const line of snapshots) {
    snapshot = parseLine(line);
    assert.ok(!(snapshot instanceof CalvexError), line);
    trends?.add(snapshot);
  }
  const first = pressure === null ? null : pressureText(parsePressureLine(pressure), heldSeconds);
  return view(snapshot, { width, height, first, trends, unicode });
}

for (const golden of cases) {
  test(`terminal view: ${golden.name}`, () => {
    assert.deepEqual(rendered(golden), golden.lines);
  });
}

test('two decimals as Python writes them, ties to even and the sign of zero kept', () => {
  const cases = [[0.125, '0.12'], [0.375, '0.38'], [-0.125, '-0.12'], [2.625, '2.62'], [-0, '-0.00'], [-0.001, '-0.00'], [45.99, '45.99'], [149.995, '150.00'], [0.005, '0.01']];
  for (const [value, expected] of cases) assert.equal(fixed2(value), expected, String(value));
});

test('the trend is drawn in blocks only where the terminal can', () => {
  for (const { environment, blocks } of blockCharacters) assert.equal(unicodeTerminal(environment), blocks, JSON.stringify(environment));
});

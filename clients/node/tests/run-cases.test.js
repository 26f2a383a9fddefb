// The pure run core against the shared run cases and the generated
// transcripts: the same events give the same actions, the same value and
// the same failure as the other clients' run cores.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { test } from 'node:test';

import { root } from './helper.js';
import { answer } from './replay-runs.js';

const shared = (name) => JSON.parse(readFileSync(`${root}clients/shared/${name}`, 'utf8')).cases;

for (const each of shared('run-cases.json')) {
  test(`run case: ${each.name}`, () => assert.deepEqual(answer(each), each.expect));
}

test('every generated transcript', () => {
  for (const each of shared('run-transcripts.json')) assert.deepEqual(answer(each), each.expect, each.name);
});

// npx calvex against the shared command cases, byte for byte: the same
// words give the same exit status, standard output and standard error as
// python -m calvex, the program's name aside.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { test } from 'node:test';

import { root, within } from './helper.js';

const cli = new URL('../cli.js', import.meta.url).pathname;
const shared = JSON.parse(readFileSync(`${root}clients/shared/command-cases.json`, 'utf8'));
const tool = process.env.CALVEX_TEST_TOOL ?? `${root}build/calvex`;
const places = {
  simrun: process.env.CALVEX_TEST_SIMRUN ?? `${root}build/sim/simrun`,
  calvex: tool,
  'calvex-pressure': process.env.CALVEX_TEST_PRESSURE_TOOL ?? `${tool.slice(0, tool.lastIndexOf('/'))}/calvex-pressure`,
  scenarios: `${root}sim/scenarios`,
  missing: shared.missing,
};

function expand(words, scratch) {
  const filled = { ...places, scratch };
  return words.flatMap((word) => {
    if (word === '{env}') return ['/usr/bin/env', 'CALVEX_SIM_CLOCK=virtual'];
    let text = word;
    for (const [name, value] of Object.entries(filled)) text = text.replaceAll(`{${name}}`, value);
    return [text];
  });
}

async function run(words) {
  const child = spawn(process.execPath, [cli, ...words], {
    stdio: ['ignore', 'pipe', 'pipe'],
    env: { PATH: '/usr/bin:/bin', CALVEX_REPORT_MACHINE: JSON.stringify(shared.machine) },
  });
  let out = '';
  let err = '';
  child.stdout.setEncoding('utf8').on('data', (chunk) => { out += chunk; });
  child.stderr.setEncoding('utf8').on('data', (chunk) => { err += chunk; });
  const [status] = await within(30, once(child, 'close'), `calvex ${words.join(' ')}`);
  return { status, out, err };
}

for (const each of shared.cases) {
  test(`command case: ${each.name}`, async () => {
    const scratch = mkdtempSync(join(tmpdir(), 'calvex-command-'));
    try {
      const got = await run(expand(each.words, scratch));
      const named = (text) => text.replaceAll(scratch, '{scratch}').replaceAll('{prog}', 'calvex');
      assert.deepEqual(
        { status: got.status, stdout: got.out.replaceAll(scratch, '{scratch}'), stderr: got.err.replaceAll(scratch, '{scratch}') },
        { status: each.status, stdout: named(each.stdout), stderr: named(each.stderr) },
      );
    } finally {
      rmSync(scratch, { recursive: true, force: true });
    }
  });
}

// `npx calvex` as a person runs it, on the real helper: what it prints, on
// which stream, and its exit status, for each way a run can go. The view's
// exact text is the shared golden cases' (terminal.test.js); the command
// under tmux is driven by the Python suite's terminal test, for both CLIs.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { readFileSync } from 'node:fs';
import { test } from 'node:test';

import { script, simulated, simulatedPressure, within } from './helper.js';

const cli = new URL('../cli.js', import.meta.url).pathname;
const { version } = JSON.parse(readFileSync(new URL('../package.json', import.meta.url), 'utf8'));

async function run(words) {
  const child = spawn(process.execPath, [cli, ...words], { stdio: ['ignore', 'pipe', 'pipe'] });
  let out = '';
  let err = '';
  child.stdout.on('data', (chunk) => { out += chunk; });
  child.stderr.on('data', (chunk) => { err += chunk; });
  const [status] = await within(20, once(child, 'exit'), `calvex ${words.join(' ')}`);
  return { status, out, err };
}

const builtin = simulated();
const nominal = simulatedPressure({ CALVEX_SIM_PRESSURE: '0' });

test('each way a run can go: output, standard error and exit status', async () => {
  const cases = [
    { words: ['--helper', ...builtin, '--pressure-helper', ...nominal], status: 0, out: /^thermal pressure: nominal \(level 0\)\nkind {9}count/, err: '' },
    { words: ['--helper', ...builtin], status: 0, out: /^kind {9}count[\s\S]*hottest: pACC MTR Temp Sensor7 \(cpu\) 54\.84 °C/, err: '' },
    { words: ['--json', '--helper', ...builtin, '--pressure-helper', ...nominal], status: 0, out: null, err: '' },
    { words: ['--version'], status: 0, out: `calvex ${version}\n`, err: '' },
    { words: ['--help'], status: 0, out: /^usage: calvex .*\n[\s\S]*--pressure-helper CMD/, err: '' },
    { words: ['--watch', 'soon'], status: 2, out: '', err: /calvex: error: argument --watch: wants whole milliseconds from 200 to 4294967, not 'soon'\n$/ },
    { words: ['--frobnicate'], status: 2, out: '', err: /calvex: error: unrecognized arguments: --frobnicate\n$/ },
    { words: ['--helper'], status: 2, out: '', err: /--helper needs a command after it/ },
    { words: ['--helper', '/nonexistent/calvex'], status: 1, out: '', err: /^calvex: cannot start the calvex helper \/nonexistent\/calvex: .*\n$/ },
    { words: ['--helper', ...simulated({ CALVEX_SIM_FAULT: 'no-client' })], status: 1, out: '', err: 'calvex: the HID event system could not be opened (the helper said: {"error":"no HID event system"}).\n' },
    { words: ['--json', '--helper', ...simulated({ CALVEX_SIM_FAULT: 'no-client' })], status: 1, out: '{"error":"no HID event system"}\n', err: '' },
    { words: ['--watch', '200', '--helper', ...script('echo garbage; exec sleep 30')], status: 1, out: '', err: /^calvex: calvex wrote a line that is not JSON: garbage\n$/ },
    // Ctrl-C reaches the helper too: a helper SIGINT ended is that Ctrl-C, not a failure to report.
    { words: ['--watch', '200', '--helper', ...script('echo \'{"sensors":[]}\'; kill -INT $$')], status: 130, out: /^(no sensors with a reading\n\n)?$/, err: '' },
  ];
  for (const { words, status, out, err } of cases) {
    const got = await run(words);
    const what = `calvex ${words.slice(0, 3).join(' ')}`;
    assert.equal(got.status, status, `${what}: ${got.err}`);
    if (words[0] === '--json' && status === 0) {
      const [snapshot, pressure, ...rest] = got.out.split('\n');
      assert.ok(snapshot.startsWith('{"sensors":[{"name":"PMU tdie1","t":45.99}'), what);
      assert.deepEqual([pressure, rest], ['{"pressure":"nominal","level":0}', ['']], what);
    } else if (out instanceof RegExp) assert.match(got.out, out, what);
    else assert.equal(got.out, out, what);
    if (err instanceof RegExp) assert.match(got.err, err, what);
    else assert.equal(got.err, err, what);
  }
});

test('a watch into a pipe writes one plain view per snapshot, and Ctrl-C ends it with 130 and no helper left', async () => {
  const child = spawn(process.execPath, [cli, '--watch', '200', '--helper', ...builtin], { stdio: ['ignore', 'pipe', 'pipe'] });
  let out = '';
  child.stdout.on('data', (chunk) => { out += chunk; });
  await within(20, (async () => {
    while (out.split('\n\n').length < 3) await once(child.stdout, 'data');
  })(), 'two views');
  const views = out.split('\n\n').slice(0, 2);
  assert.ok(views.every((view) => view.startsWith('kind ') && !view.includes('\x1b') && !view.includes('trend')), views[0]);
  child.kill('SIGINT');
  const [status] = await within(20, once(child, 'exit'), 'the end after Ctrl-C');
  assert.equal(status, 130);
});

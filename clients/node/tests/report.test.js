// The layout report: the shared golden cases, one record each, made into
// the same document as Python's builder makes; and a real run of
// `calvex --report` on the simulated platform.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { test } from 'node:test';

import { parseLine, parsePressureLine } from '../protocol.js';
import { buildReport, reportText } from '../report.js';
import { scenario, simulated, simulatedPressure, within } from './helper.js';

const { cases } = JSON.parse(readFileSync(new URL('../../shared/report-cases.json', import.meta.url), 'utf8'));

for (const golden of cases) {
  test(`report: ${golden.name}`, () => {
    const record = {
      client: golden.client,
      machine: golden.machine,
      window: golden.window,
      helpers: golden.helpers,
      snapshots: golden.snapshotLines.map(parseLine),
      pressures: golden.pressureLines.map(parsePressureLine),
    };
    // As bytes: the same numbers written the same way by every client.
    assert.equal(reportText(buildReport(record)), golden.text);
  });
}

test('calvex --report writes the document where it is told and one line for the person', async () => {
  const folder = mkdtempSync(`${tmpdir()}/calvex-report-`);
  try {
    const machine = { model: 'Mac15,7', chip: 'Apple M3 Pro', macos: '15.2', arch: 'arm64' };
    const words = ['--report', '1.2', '--output', `${folder}/report.json`,
      '--helper', ...simulated({ CALVEX_SIM_SCENARIO: scenario('m3-pro') }), '--pressure-helper', ...simulatedPressure({ CALVEX_SIM_PRESSURE: '2' })];
    const child = spawn(process.execPath, [new URL('../cli.js', import.meta.url).pathname, ...words], {
      stdio: ['ignore', 'pipe', 'pipe'], env: { ...process.env, CALVEX_REPORT_MACHINE: JSON.stringify(machine) },
    });
    let err = '';
    child.stderr.on('data', (chunk) => { err += chunk; });
    const [status] = await within(30, once(child, 'exit'), 'the report');
    assert.equal(status, 0, err);
    const report = JSON.parse(readFileSync(`${folder}/report.json`, 'utf8'));
    assert.deepEqual([report.format, report.machine, report.window.intervalMs, report.pressure], [1, machine, 500, { levels: ['heavy'], error: null }]);
    // Both helpers end on the SIGTERM they are asked to end with: that is ending when asked.
    assert.ok(report.window.snapshots >= 1 && report.helpers.sensors.endedWhenAsked === true, JSON.stringify(report.helpers));
    assert.equal(report.helpers.pressure.endedWhenAsked, true, JSON.stringify(report.helpers));
    assert.equal(err, `calvex: 46 sensors, 17 of them unknown to the kind table; report written to ${folder}/report.json. Attach it to a bug report: that is how a new Mac gets supported.\n`);
  } finally {
    rmSync(folder, { recursive: true, force: true });
  }
});

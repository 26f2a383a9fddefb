// The layout report of `npx calvex --report`: what the helpers showed of
// this Mac over a window of snapshots, as one JSON document that an owner
// attaches to a bug report and tools/add-layout.py turns into a test
// scenario. Built from a record of the run, so that Python's _report.py,
// given the same record, builds the same document (the shared golden cases
// in clients/shared/report-cases.json hold both to it).
// docs/calvex-report.schema.json describes it.
import { execFileSync } from 'node:child_process';
import { createHash } from 'node:crypto';
import { readFileSync, statSync } from 'node:fs';

import { fill } from './commandline.js';
import { COMMAND_LINE } from './contract.js';
import { KINDS, NOT_A_PART, PLACEHOLDER, UNCLASSIFIED, kindOf, plausible } from './kinds.js';
import { HelperRun } from './process.js';
import { CODE_MEANINGS, CalvexError, PRESSURE_HELPER, SENSOR_HELPER } from './protocol.js';
import { fixed2 } from './terminal.js';
import { hottest, summary } from './views.js';

// The document's layout; a change that readers must know of raises it.
export const REPORT_FORMAT = COMMAND_LINE.report.format;
// At least this many snapshots before a reading that never changes is
// called constant.
const CONSTANT_AFTER_SNAPSHOTS = COMMAND_LINE.report.constantAfterSnapshots;
// Where a machine's facts come from in tests, where there is no Mac.
const MACHINE_VARIABLE = 'CALVEX_REPORT_MACHINE';
const MACHINE_FIELDS = ['model', 'chip', 'macos', 'arch'];

// A mean to the hundredth, as the terminal view writes it: no float noise.
const rounded = (mean) => Number(fixed2(mean));

/**
 * The document as the file holds it, byte for byte the same from every
 * client: two-space indents, characters as they are, whole numbers without
 * a fraction, a line feed at the end.
 */
export function reportText(report) {
  return `${JSON.stringify(report, null, 2)}\n`;
}

function summed({ name, occurrence, firstSeen, readings }, snapshots) {
  const kind = kindOf(name);
  let total = 0;
  for (const celsius of readings) total += celsius;
  const flags = [];
  if (readings.length >= CONSTANT_AFTER_SNAPSHOTS && new Set(readings).size === 1) flags.push('constant');
  if (readings.every((celsius) => celsius === PLACEHOLDER)) flags.push('placeholder');
  if (readings.some((celsius) => !plausible(kind, celsius) && celsius !== PLACEHOLDER)) flags.push('implausible');
  if (readings.length < snapshots) flags.push('intermittent');
  return {
    name,
    occurrence,
    firstSeen,
    kind,
    snapshots: readings.length,
    min: Math.min(...readings),
    max: Math.max(...readings),
    mean: rounded(total / readings.length),
    flags,
  };
}

// Every sensor by name and occurrence, in the order of the first snapshot
// (then of first appearance), with its readings summed up.
function sensorEntries(snapshots) {
  const seen = new Map();
  snapshots.forEach((snapshot, index) => {
    const occurrences = new Map();
    for (const { name, celsius } of snapshot.sensors) {
      const occurrence = occurrences.get(name) ?? 0;
      occurrences.set(name, occurrence + 1);
      const key = JSON.stringify([name, occurrence]);
      if (!seen.has(key)) seen.set(key, { name, occurrence, firstSeen: index, readings: [] });
      seen.get(key).readings.push(celsius);
    }
  });
  return [...seen.values()].map((entry) => summed(entry, snapshots.length));
}

function layout(snapshots) {
  const sizes = snapshots.map(({ sensors }) => sensors.length);
  const repeated = new Map();
  const names = new Set();
  for (const { sensors } of snapshots) {
    const counts = new Map();
    for (const { name } of sensors) {
      counts.set(name, (counts.get(name) ?? 0) + 1);
      names.add(name);
    }
    for (const [name, count] of counts) if (count > 1) repeated.set(name, Math.max(repeated.get(name) ?? 0, count));
  }
  // Sorted as Python sorts strings: by code point, not by UTF-16 unit.
  const byCodePoint = (a, b) => {
    const [x, y] = [[...a[0]], [...b[0]]];
    for (let i = 0; i < Math.min(x.length, y.length); i++) {
      if (x[i] !== y[i]) return x[i].codePointAt(0) - y[i].codePointAt(0);
    }
    return x.length - y.length;
  };
  return {
    servicesPerSnapshot: { least: sizes.length > 0 ? Math.min(...sizes) : 0, most: sizes.length > 0 ? Math.max(...sizes) : 0 },
    distinctNames: names.size,
    repeatedNames: Object.fromEntries([...repeated].sort(byCodePoint)),
  };
}

const reading = (sensor) => (sensor === undefined ? null : { name: sensor.name, celsius: sensor.celsius });

// What the client answers at the last snapshot.
function answers(snapshots) {
  if (snapshots.length === 0) return null;
  const last = snapshots[snapshots.length - 1];
  const top = hottest(last);
  return {
    hottest: top === undefined ? null : { name: top.name, celsius: top.celsius, kind: kindOf(top.name) },
    hottestByKind: Object.fromEntries(KINDS.filter((kind) => kind !== NOT_A_PART).map((kind) => [kind, reading(hottest(last, kind))])),
    summary: Object.fromEntries(Object.entries(summary(last)).map(([kind, each]) => [kind, { ...each, mean: rounded(each.mean) }])),
  };
}

function pressureSeen(levels, helper) {
  if (helper === undefined || helper === null) return null;
  const seen = [];
  for (const level of levels) if (!(level instanceof CalvexError) && !seen.includes(level.pressure)) seen.push(level.pressure);
  const errors = levels.filter((level) => level instanceof CalvexError).map(({ code }) => code);
  return { levels: seen, error: errors[0] ?? null };
}

/**
 * The document for a record of a run: `client`, `machine`, `window`
 * (seconds, intervalMs), `helpers` (per role: sha256, firstLineMs,
 * errorCodes, endedWhenAsked; pressure absent or null where none ran),
 * `snapshots` and `pressures` (its values and failures, in order).
 */
export function buildReport(record) {
  const { snapshots } = record;
  return {
    format: REPORT_FORMAT,
    client: record.client,
    machine: record.machine,
    window: { ...record.window, snapshots: snapshots.length },
    helpers: record.helpers,
    sensors: sensorEntries(snapshots),
    layout: layout(snapshots),
    answers: answers(snapshots),
    pressure: pressureSeen(record.pressures, record.helpers.pressure),
  };
}

export function unknownSensors(report) {
  return report.sensors.filter(({ kind }) => kind === UNCLASSIFIED).length;
}

// The one line for the person who ran it, on standard error.
// The one line for the person who ran it, on standard error: where the
// report went, and whether the sensor helper failed.
export function personLine(report, where) {
  const [failure] = report.helpers.sensors.errorCodes;
  if (failure !== undefined) {
    return fill(COMMAND_LINE.sentences.reportHelperFailed, { code: failure, meaning: CODE_MEANINGS[failure] ?? 'a failure', where });
  }
  const count = report.sensors.length;
  const sensors = count === 1 ? 'sensor' : 'sensors';
  return fill(COMMAND_LINE.sentences.reportWritten, { count, sensors, unknown: unknownSensors(report), where });
}

function sysctl(name) {
  try {
    return execFileSync('/usr/sbin/sysctl', ['-n', name], { encoding: 'utf8', timeout: 5000 }).trim() || null;
  } catch {
    return null;
  }
}

// The model, chip, macOS version and architecture; nothing that names a
// person or a machine. From CALVEX_REPORT_MACHINE when it is set (a test
// hook: a JSON object with those four keys), else on macOS from sysctl and
// the system version, else null for each.
export function machineFacts(environment) {
  const given = environment[MACHINE_VARIABLE];
  if (given !== undefined) {
    const facts = JSON.parse(given);
    if (facts === null || typeof facts !== 'object' || Array.isArray(facts)) {
      throw new TypeError(`${MACHINE_VARIABLE} must be a JSON object with ${MACHINE_FIELDS.join(', ')}`);
    }
    return Object.fromEntries(MACHINE_FIELDS.map((field) => [field, facts[field] ?? null]));
  }
  if (process.platform !== 'darwin') return Object.fromEntries(MACHINE_FIELDS.map((field) => [field, null]));
  return { model: sysctl('hw.model'), chip: sysctl('machdep.cpu.brand_string'), macos: sysctl('kern.osproductversion'), arch: process.arch };
}

// The SHA-256 of the helper's program: the last word of its command (before
// the client's own argument) that names a file, so a helper run behind env
// or a wrapper is still the one hashed.
export function programSha256([file, args]) {
  const words = [file, ...args.slice(0, -1)];
  for (const word of words.reverse()) {
    try {
      if (statSync(word).isFile()) return createHash('sha256').update(readFileSync(word)).digest('hex');
    } catch {
      // not a file: a variable for env, an option
    }
  }
  return null;
}

// One helper run for the report: every value it writes, how soon the first
// came, and how it ended.
// How long a report waits to hear once from the pressure helper.
const HEARD_WITHIN_MS = COMMAND_LINE.report.heardWithinMs;

class Collector {
  constructor(command, helper) {
    this.command = command;
    this.values = [];
    this.started = Date.now();
    this.firstLineMs = null;
    let heard;
    // Resolved by the helper's first value or its end, whichever comes first.
    this.heard = new Promise((resolve) => { heard = resolve; });
    this.run = new HelperRun(command, helper, {
      onChange: () => {
        const value = this.run.take();
        if (value === null) return;
        this.firstLineMs ??= Date.now() - this.started;
        this.values.push(value);
        heard();
      },
    });
    this.run.waitEnd().then(heard);
  }

  // After stop(): how the helper behaved.
  behaviour() {
    const { failure } = this.run;
    return {
      sha256: programSha256(this.command),
      firstLineMs: this.firstLineMs,
      errorCodes: failure === null ? [] : [failure.code],
      // A helper that failed ended before it was asked; one that had to be
      // killed did not end when asked.
      endedWhenAsked: failure !== null ? null : this.run.exit?.signal !== 'SIGKILL',
    };
  }
}

/**
 * Runs the helpers for `seconds` and resolves with the record of the run;
 * a helper that fails still gives one, with its error in it.
 */
export async function gather(seconds, intervalMs, sensors, pressure, client, environment) {
  const collectors = { sensors: new Collector(sensors, SENSOR_HELPER) };
  if (pressure !== null) collectors.pressure = new Collector(pressure, PRESSURE_HELPER);
  let timer;
  await Promise.race([collectors.sensors.run.waitEnd(), new Promise((resolve) => { timer = setTimeout(resolve, seconds * 1000); })]);
  clearTimeout(timer);
  // The pressure helper's outcome is recorded as it happened: it is heard
  // from once (a level, or its failure) before it is stopped, even when
  // the sensor helper ended the window at once.
  if (collectors.pressure !== undefined) {
    await Promise.race([collectors.pressure.heard, new Promise((resolve) => { timer = setTimeout(resolve, HEARD_WITHIN_MS); })]);
    clearTimeout(timer);
  }
  await Promise.all(Object.values(collectors).map(({ run }) => run.stop()));
  const pressures = collectors.pressure === undefined ? [] : [...collectors.pressure.values];
  if (collectors.pressure?.run.failure) pressures.push(collectors.pressure.run.failure);
  return {
    client,
    machine: machineFacts(environment),
    window: { seconds, intervalMs },
    helpers: Object.fromEntries(Object.entries(collectors).map(([role, collector]) => [role, collector.behaviour()])),
    snapshots: collectors.sensors.values,
    pressures,
  };
}

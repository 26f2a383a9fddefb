// The Node.js client's costs, on the simulated platform:
//  1. per snapshot of the built-in machine's line (55 sensors), the client's
//     own parse into snapshot objects against bare JSON.parse of the same
//     line: alternating rounds in one run, medians, and their ratio; and
//     the summary per sensor kind of that snapshot, in the same rounds;
//  2. CPU time of node plus the helper over 300 snapshots at 200 ms.
// Usage: node bench/node_client.mjs BUILD_DIR [SNAPSHOTS]
import { execFileSync } from 'node:child_process';
import { readFileSync } from 'node:fs';

import { parseLine } from '../clients/node/protocol.js';
import { hottest, summary, watchSensors } from '../clients/node/index.js';
import { children } from '../clients/node/tests/helper.js';

const build = process.argv[2] ?? 'build';
const snapshots = Number(process.argv[3] ?? 300);
const helper = [`${build}/sim/simrun`, `${build}/calvex`];

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.floor(sorted.length / 2)];
}

// Nanoseconds per call of fn(input), over a batch.
function nanosecondsPerCall(fn, input, calls) {
  let keep = 0;
  const start = process.hrtime.bigint();
  for (let i = 0; i < calls; i++) keep += Object.keys(fn(input)).length;
  const took = Number(process.hrtime.bigint() - start);
  if (keep === 0) throw new Error('nothing computed');
  return took / calls;
}

function parseCost() {
  const line = execFileSync(helper[0], [helper[1], '--once'], { encoding: 'utf8' }).trimEnd();
  const calls = 2000;
  const bare = [];
  const client = [];
  const kinds = [];
  const tops = [];
  const snapshot = parseLine(line);
  for (let round = 0; round < 5; round++) {
    nanosecondsPerCall(JSON.parse, line, calls);
    nanosecondsPerCall(parseLine, line, calls);
    nanosecondsPerCall(summary, snapshot, calls);
    nanosecondsPerCall(hottest, snapshot, calls);
  }
  for (let round = 0; round < 41; round++) {
    bare.push(nanosecondsPerCall(JSON.parse, line, calls));
    client.push(nanosecondsPerCall(parseLine, line, calls));
    kinds.push(nanosecondsPerCall(summary, snapshot, calls));
    tops.push(nanosecondsPerCall(hottest, snapshot, calls));
  }
  return { bytes: line.length, bare: median(bare), client: median(client), summary: median(kinds), hottest: median(tops) };
}

// User plus system CPU seconds of a process, from /proc.
function cpuSeconds(pid) {
  const stat = readFileSync(`/proc/${pid}/stat`, 'utf8');
  const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  return (Number(fields[11]) + Number(fields[12])) / 100;
}

async function watchCost() {
  const before = process.cpuUsage();
  const started = Date.now();
  let seen = 0;
  let helperCpu = 0;
  for await (const snapshot of watchSensors({ helper, intervalMs: 200 })) {
    if (snapshot.sensors.length === 0) throw new Error('empty snapshot');
    if (++seen === snapshots) {
      helperCpu = cpuSeconds(children()[0]);
      break;
    }
  }
  const used = process.cpuUsage(before);
  return { seconds: (Date.now() - started) / 1000, node: (used.user + used.system) / 1e6, helper: helperCpu };
}

const parse = parseCost();
const watch = await watchCost();
const rows = [
  [`Node client: parse of the built-in machine's line (${parse.bytes} bytes, 55 sensors) into a snapshot, median`, `${(parse.client / 1000).toFixed(1)} µs`],
  ['Node client: bare `JSON.parse` of the same line, median of the same run', `${(parse.bare / 1000).toFixed(1)} µs`],
  ['Node client: ratio client / bare `JSON.parse`', `${(parse.client / parse.bare).toFixed(2)}x`],
  ['Node client: `summary` per sensor kind of that snapshot, median of the same run', `${(parse.summary / 1000).toFixed(1)} µs`],
  ['Node client: ratio `summary` / the client\'s parse', `${(parse.summary / parse.client).toFixed(2)}x`],
  ['Node client: `hottest` of that snapshot (calibration left out), median of the same run', `${(parse.hottest / 1000).toFixed(1)} µs`],
  ['Node client: ratio `hottest` / the client\'s parse', `${(parse.hottest / parse.client).toFixed(2)}x`],
  [`Node client: CPU over ${snapshots} snapshots at 200 ms (${watch.seconds.toFixed(0)} s): node / helper`, `${watch.node.toFixed(2)} s / ${watch.helper.toFixed(2)} s`],
];
for (const [label, figure] of rows) console.log(`| ${label} | ${figure} |`);

// The Node client's public face running real helper programs: each
// program's value or failure, as plain JSON, for tools/transcripts.py to
// compare with the other clients'.
//   node replay-helpers.js PROGRAMS.json ANSWERS.json
import { readFileSync, writeFileSync } from 'node:fs';

import { CalvexError, readSensors, readThermalPressure } from '../index.js';

function plain(value) {
  if ('sensors' in value) return { sensors: value.sensors.map(({ name, celsius }) => [name, celsius]) };
  return { pressure: value.pressure, level: value.level };
}

async function outcome({ parse, command }) {
  const read = parse === 'sensors' ? readSensors : readThermalPressure;
  try {
    return { value: plain(await read({ helper: command, signal: AbortSignal.timeout(10000) })), failure: null };
  } catch (error) {
    if (!(error instanceof CalvexError)) return { value: null, failure: { code: 'NOT_A_CALVEX_ERROR', message: String(error), signal: null } };
    return { value: null, failure: { code: error.code, message: error.message, signal: error.signal ?? null } };
  }
}

const { programs } = JSON.parse(readFileSync(process.argv[2], 'utf8'));
const answers = [];
for (const program of programs) answers.push(await outcome(program));
writeFileSync(process.argv[3], JSON.stringify(answers, (key, value) => (Object.is(value, -0) ? '-0' : value)));

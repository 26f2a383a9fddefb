// Times readSensors: COUNT reads of the helper given as the remaining
// words, one line of microseconds per read.
import { readSensors } from '../clients/node/index.js';

const [count, ...helper] = process.argv.slice(2);
for (let i = 0; i < Number(count); i++) {
  const started = process.hrtime.bigint();
  await readSensors({ helper });
  console.log(String((process.hrtime.bigint() - started) / 1000n));
}

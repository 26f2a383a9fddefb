// Times readSensors: COUNT reads of the helper given as the remaining
// words, one line of microseconds per read. With --bare first, the same
// helper spawned by Node itself (its line read, the child closed) and no
// client: Node's own floor, which its spawn sets.
import { spawn } from 'node:child_process';

import { readSensors } from '../clients/node/index.js';

const bare = process.argv[2] === '--bare';
const [count, ...helper] = process.argv.slice(bare ? 3 : 2);

function spawned() {
  return new Promise((resolve) => {
    const child = spawn(helper[0], [...helper.slice(1), '--once'], { stdio: ['ignore', 'pipe', 'ignore'] });
    child.stdout.resume();
    child.on('close', resolve);
  });
}

for (let i = 0; i < Number(count); i++) {
  const started = process.hrtime.bigint();
  await (bare ? spawned() : readSensors({ helper }));
  console.log(String((process.hrtime.bigint() - started) / 1000n));
}

// Runs before `npm pack` and `npm publish`: puts the signed macOS arm64
// helper at bin/calvex-macos-arm64 (building it with the repository's
// cross-build when dist/ has none), checks it against its recorded SHA-256,
// and copies the project's LICENSE and the clients' shared data beside it.
import { execFileSync } from 'node:child_process';
import { chmodSync, copyFileSync, existsSync, mkdirSync, readFileSync } from 'node:fs';
import { createHash } from 'node:crypto';
import { fileURLToPath } from 'node:url';

import { copyShared } from './copy-shared.js';

const here = fileURLToPath(new URL('../', import.meta.url));
const root = fileURLToPath(new URL('../../../', import.meta.url));
const built = `${root}dist/calvex-macos-arm64`;
const packaged = `${here}bin/calvex-macos-arm64`;

if (!existsSync(built)) {
  execFileSync(`${root}tools/build-macos-arm64.sh`, { stdio: ['ignore', 'inherit', 'inherit'] });
}
const recorded = readFileSync(`${built}.sha256`, 'utf8').split(/\s+/)[0];
mkdirSync(`${here}bin`, { recursive: true });
copyFileSync(built, packaged);
chmodSync(packaged, 0o755);
const actual = createHash('sha256').update(readFileSync(packaged)).digest('hex');
if (actual !== recorded) {
  console.error(`prepack: bin/calvex-macos-arm64 has SHA-256 ${actual}, dist/ records ${recorded}`);
  process.exit(1);
}
copyFileSync(`${root}LICENSE`, `${here}LICENSE`);
copyShared();
console.error(`prepack: bin/calvex-macos-arm64 ${actual}`);

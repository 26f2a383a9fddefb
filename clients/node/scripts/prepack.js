// Runs before `npm pack` and `npm publish`: puts the signed macOS arm64
// helpers at bin/ (building them with the repository's cross-build when
// dist/ has none), checks each against its recorded SHA-256, and copies the
// project's LICENSE beside them. (The shared data is in contract.js.)
import { execFileSync } from 'node:child_process';
import { chmodSync, copyFileSync, existsSync, mkdirSync, readFileSync } from 'node:fs';
import { createHash } from 'node:crypto';
import { fileURLToPath } from 'node:url';

const here = fileURLToPath(new URL('../', import.meta.url));
const root = fileURLToPath(new URL('../../../', import.meta.url));
const helpers = ['calvex-macos-arm64', 'calvex-pressure-macos-arm64'];

if (!helpers.every((helper) => existsSync(`${root}dist/${helper}`))) {
  execFileSync(`${root}tools/build-macos-arm64.sh`, { stdio: ['ignore', 'inherit', 'inherit'] });
}
mkdirSync(`${here}bin`, { recursive: true });
for (const helper of helpers) {
  const built = `${root}dist/${helper}`;
  const packaged = `${here}bin/${helper}`;
  const recorded = readFileSync(`${built}.sha256`, 'utf8').split(/\s+/)[0];
  copyFileSync(built, packaged);
  chmodSync(packaged, 0o755);
  const actual = createHash('sha256').update(readFileSync(packaged)).digest('hex');
  if (actual !== recorded) {
    console.error(`prepack: bin/${helper} has SHA-256 ${actual}, dist/ records ${recorded}`);
    process.exit(1);
  }
  console.error(`prepack: bin/${helper} ${actual}`);
}
copyFileSync(`${root}LICENSE`, `${here}LICENSE`);

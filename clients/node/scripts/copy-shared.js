// Copies the data every client shares (the sensor-kind table) from
// clients/shared/ into the package; run before packing and before the tests.
import { copyFileSync } from 'node:fs';
import { fileURLToPath } from 'node:url';

export const sharedFiles = ['sensor-kinds.json'];

export function copyShared() {
  for (const file of sharedFiles) {
    copyFileSync(fileURLToPath(new URL(`../../shared/${file}`, import.meta.url)), fileURLToPath(new URL(`../${file}`, import.meta.url)));
  }
}

if (process.argv[1] === fileURLToPath(import.meta.url)) copyShared();

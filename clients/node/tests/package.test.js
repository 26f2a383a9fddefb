// What the package offers besides running the helper: where it finds the
// bundled helper (Electron's app.asar included) and the two small helpers.
import assert from 'node:assert/strict';
import { copyFileSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { test } from 'node:test';
import { fileURLToPath, pathToFileURL } from 'node:url';

import { bundledHelperPath, byName, hottest } from '../index.js';

const manifest = JSON.parse(readFileSync(new URL('../package.json', import.meta.url), 'utf8'));
const packedModules = manifest.files.filter((file) => !file.startsWith('bin/'));

test('the bundled helper is found inside the package, or beside app.asar in Electron', async () => {
  assert.equal(bundledHelperPath, fileURLToPath(new URL('../bin/calvex-macos-arm64', import.meta.url)));
  const app = mkdtempSync(`${tmpdir()}/calvex-electron-`);
  try {
    for (const [inside, expected] of [
      ['Resources/app.asar/node_modules/calvex', 'Resources/app.asar.unpacked/node_modules/calvex'],
      ['Resources/app.asar.unpacked/node_modules/calvex', 'Resources/app.asar.unpacked/node_modules/calvex'],
      ['Resources/my-app.asar/node_modules/calvex', 'Resources/my-app.asar/node_modules/calvex'],
    ]) {
      mkdirSync(`${app}/${inside}`, { recursive: true });
      for (const file of packedModules) {
        copyFileSync(fileURLToPath(new URL(`../${file}`, import.meta.url)), `${app}/${inside}/${file}`);
      }
      writeFileSync(`${app}/${inside}/package.json`, '{"type":"module"}');
      const loaded = await import(pathToFileURL(`${app}/${inside}/index.js`).href);
      assert.equal(loaded.bundledHelperPath, `${app}/${expected}/bin/calvex-macos-arm64`);
    }
  } finally {
    rmSync(app, { recursive: true, force: true });
  }
});

test('hottest and byName', () => {
  const sensor = (name, celsius) => ({ name, celsius });
  const cases = [
    { sensors: [], hottest: undefined, byName: [] },
    // The lowest reading there is: a temperature only for the battery, which has no floor.
    { sensors: [sensor('gas gauge battery', -39.99)], hottest: sensor('gas gauge battery', -39.99), byName: [['gas gauge battery', [-39.99]]] },
    { sensors: [sensor('a', -39.99)], hottest: undefined, byName: [['a', [-39.99]]] },
    {
      sensors: [sensor('a', 40), sensor('b', 51.5), sensor('a', 45), sensor('c', 51.5)],
      hottest: sensor('b', 51.5),
      byName: [['a', [40, 45]], ['b', [51.5]], ['c', [51.5]]],
    },
  ];
  for (const c of cases) {
    assert.deepEqual(hottest({ sensors: c.sensors }), c.hottest);
    assert.deepEqual([...byName({ sensors: c.sensors })], c.byName);
  }
});

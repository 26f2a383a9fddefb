// Which helper to run and with what argument: the bundled helpers' paths,
// a helper command given instead, and the interval argument, decided from
// the options alone before anything is started.
import { accessSync, constants } from 'node:fs';
import { fileURLToPath } from 'node:url';

import { PROTOCOL } from './contract.js';
import { CalvexError } from './protocol.js';

export const DEFAULT_INTERVAL_MS = PROTOCOL.intervalMs.default;
export const SHORTEST_INTERVAL_MS = PROTOCOL.intervalMs.shortest;
// The most milliseconds the helper's 32-bit microsecond sleep can hold.
export const LONGEST_INTERVAL_MS = PROTOCOL.intervalMs.longest;

// A helper inside Electron's app.asar can't be executed; packagers unpack it
// to app.asar.unpacked beside it, so that is where to look.
function unpackedFromAsar(path) {
  return path.replace(/([\\/])app\.asar([\\/])/, '$1app.asar.unpacked$2');
}

export const bundledHelperPath = unpackedFromAsar(
  fileURLToPath(new URL('./bin/calvex-macos-arm64', import.meta.url)),
);
export const bundledPressureHelperPath = unpackedFromAsar(
  fileURLToPath(new URL('./bin/calvex-pressure-macos-arm64', import.meta.url)),
);

// The helper's argument for an interval: a whole number of milliseconds,
// raised to the floor and capped as the helper does; anything else throws
// a TypeError.
export function intervalArgument(intervalMs) {
  if (intervalMs === undefined) return String(DEFAULT_INTERVAL_MS);
  if (!Number.isInteger(intervalMs)) {
    throw new TypeError(`intervalMs must be a whole number of milliseconds, not ${String(intervalMs)}`);
  }
  return String(Math.min(Math.max(intervalMs, SHORTEST_INTERVAL_MS), LONGEST_INTERVAL_MS));
}

// The command to run as [file, [...arguments]]; throws the TypeError or
// CalvexError that says why there is none, before any spawn.
export function helperCommand(helper, argument, bundled = bundledHelperPath) {
  if (helper !== undefined) {
    if (!Array.isArray(helper) || helper.length === 0 || !helper.every((word) => typeof word === 'string' && !word.includes('\0'))) {
      throw new TypeError('helper must be a non-empty array of strings: [path, ...leading arguments]');
    }
    return [helper[0], [...helper.slice(1), argument]];
  }
  if (process.platform !== 'darwin' || process.arch !== 'arm64') {
    throw new CalvexError(
      'UNSUPPORTED_PLATFORM',
      `calvex runs on macOS on Apple Silicon only, not ${process.platform} ${process.arch}; pass options.helper to run another command`,
    );
  }
  return [bundled, [argument]];
}

// The pressure helper to run beside the sensors: the one given, or the
// bundled one where it is installed; null where there is none.
export function pressureCommand(given, argument) {
  if (given !== undefined) return helperCommand(given, argument);
  try {
    accessSync(bundledPressureHelperPath, constants.X_OK);
  } catch {
    return null;
  }
  try {
    return helperCommand(undefined, argument, bundledPressureHelperPath);
  } catch (error) {
    if (error instanceof CalvexError) return null; // the bundled helper is for another platform
    throw error;
  }
}

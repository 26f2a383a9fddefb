// calvex for Node.js and Electron: the sensor helper's snapshots, one with
// readSensors or a stream with watchSensors, and small views of a snapshot.
// The helper's lifetime is process.js's; the line format is protocol.js's.
import { fileURLToPath } from 'node:url';

import { Watch, helperCommand, intervalArgument, readOnce } from './process.js';
import { CalvexError, parseLine, parsePressureLine } from './protocol.js';

export { CalvexError };
export { KINDS, hottest, kindOf, summary } from './kinds.js';

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

/**
 * Runs the helper with --once and resolves with its snapshot.
 */
export function readSensors(options = {}) {
  return readOnce(helperCommand(options.helper, '--once', bundledHelperPath), parseLine, options.signal);
}

/**
 * Runs the helper at the given interval and yields its snapshots, keeping at
 * most the newest unread one.
 */
export function watchSensors(options = {}) {
  const command = helperCommand(options.helper, intervalArgument(options.intervalMs), bundledHelperPath);
  return new Watch(command, parseLine, options.signal);
}

/**
 * Runs the pressure helper with --once and resolves with the system's
 * thermal pressure level, e.g. { pressure: 'nominal', level: 0 }.
 */
export function readThermalPressure(options = {}) {
  return readOnce(helperCommand(options.helper, '--once', bundledPressureHelperPath), parsePressureLine, options.signal);
}

/**
 * Runs the pressure helper at the given interval and yields its levels,
 * one per interval whether or not the level changed, newest wins.
 */
export function watchThermalPressure(options = {}) {
  const command = helperCommand(options.helper, intervalArgument(options.intervalMs), bundledPressureHelperPath);
  return new Watch(command, parsePressureLine, options.signal);
}

/**
 * The readings of a snapshot by sensor name, in order, since names repeat.
 */
export function byName(snapshot) {
  const readings = new Map();
  for (const { name, celsius } of snapshot.sensors) {
    const list = readings.get(name);
    if (list === undefined) readings.set(name, [celsius]);
    else list.push(celsius);
  }
  return readings;
}

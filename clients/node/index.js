// calvex for Node.js and Electron: the sensor helper's snapshots, one with
// readSensors or a stream with watchSensors, the thermal pressure the same
// way, and small views of a snapshot. Which helper runs is command.js's,
// its lifetime process.js's, the read and the watch faces.js's, the line
// format protocol.js's.
import { bundledPressureHelperPath, helperCommand, intervalArgument } from './command.js';
import { Watch, readOnce } from './faces.js';
import { PRESSURE_HELPER, SENSOR_HELPER } from './protocol.js';

export { bundledHelperPath, bundledPressureHelperPath } from './command.js';
export { KINDS, kindOf } from './kinds.js';
export { CalvexError } from './protocol.js';
export { byName, hottest, summary } from './views.js';

/**
 * Runs the helper with --once and resolves with its snapshot.
 */
export function readSensors(options = {}) {
  return readOnce(() => helperCommand(options.helper, '--once'), SENSOR_HELPER, options.signal);
}

/**
 * Runs the helper at the given interval and yields its snapshots, keeping at
 * most the newest unread one.
 */
export function watchSensors(options = {}) {
  return new Watch(() => helperCommand(options.helper, intervalArgument(options.intervalMs)), SENSOR_HELPER, options.signal);
}

/**
 * Runs the pressure helper with --once and resolves with the system's
 * thermal pressure level, e.g. { pressure: 'nominal', level: 0 }.
 */
export function readThermalPressure(options = {}) {
  return readOnce(() => helperCommand(options.helper, '--once', bundledPressureHelperPath), PRESSURE_HELPER, options.signal);
}

/**
 * Runs the pressure helper at the given interval and yields its levels,
 * one per interval whether or not the level changed, newest wins.
 */
export function watchThermalPressure(options = {}) {
  const commandOf = () => helperCommand(options.helper, intervalArgument(options.intervalMs), bundledPressureHelperPath);
  return new Watch(commandOf, PRESSURE_HELPER, options.signal);
}

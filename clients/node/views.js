// Small views of a snapshot: the hottest reading, a summary per kind, and
// the readings by name.
import { KINDS, NOT_A_PART, kindOf } from './kinds.js';

/**
 * Count, largest reading and mean of each kind present in a snapshot, keys
 * in first-seen order; the mean sums in list order, then divides, so every
 * client gets the same number.
 */
export function summary(snapshot) {
  const totals = new Map();
  for (const { name, celsius } of snapshot.sensors) {
    const kind = kindOf(name);
    const total = totals.get(kind);
    if (total === undefined) totals.set(kind, { count: 1, max: celsius, sum: celsius });
    else {
      total.count += 1;
      total.sum += celsius;
      if (celsius > total.max) total.max = celsius;
    }
  }
  const result = {};
  for (const [kind, { count, max, sum }] of totals) result[kind] = { count, max, mean: sum / count };
  return result;
}

/**
 * The hottest reading of a snapshot (the first one when several are equal),
 * or undefined: of one kind when a kind is given, else of every kind but
 * calibration references, which are no temperature of any part.
 */
export function hottest(snapshot, kind) {
  if (kind !== undefined && !KINDS.includes(kind)) {
    throw new TypeError(`kind must be one of ${KINDS.join(', ')}, not ${String(kind)}`);
  }
  let best;
  for (const sensor of snapshot.sensors) {
    const sensorKind = kindOf(sensor.name);
    const counts = kind === undefined ? sensorKind !== NOT_A_PART : sensorKind === kind;
    if (counts && (best === undefined || sensor.celsius > best.celsius)) best = sensor;
  }
  return best;
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

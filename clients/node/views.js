// Small views of a snapshot: the hottest reading, a summary per kind, and
// the readings by name.
import { KINDS, NOT_A_PART, kindOf, plausible } from './kinds.js';

/**
 * Count, largest reading and mean of each kind's readings that can be
 * temperatures, and how many it left out (placeholders, readings below the
 * kind's floor), keys in first-seen order; the mean sums in list order,
 * then divides, so every client gets the same number. A kind none of whose
 * readings can be a temperature is absent, as if it had none.
 */
export function summary(snapshot) {
  const totals = new Map();
  for (const { name, celsius } of snapshot.sensors) {
    const kind = kindOf(name);
    let total = totals.get(kind);
    if (total === undefined) {
      total = { count: 0, max: 0, sum: 0, leftOut: 0 };
      totals.set(kind, total);
    }
    if (!plausible(kind, celsius)) total.leftOut += 1;
    else if (total.count === 0) Object.assign(total, { count: 1, max: celsius, sum: celsius });
    else {
      total.count += 1;
      total.sum += celsius;
      if (celsius > total.max) total.max = celsius;
    }
  }
  const result = {};
  for (const [kind, { count, max, sum, leftOut }] of totals) {
    if (count > 0) result[kind] = { count, max, mean: sum / count, leftOut };
  }
  return result;
}

/**
 * The hottest reading of a snapshot (the first one when several are equal),
 * or undefined: of one kind when a kind is given, else of every kind but
 * calibration references, which are no temperature of any part. Readings
 * that cannot be temperatures are never the hottest.
 */
export function hottest(snapshot, kind) {
  if (kind !== undefined && !KINDS.includes(kind)) {
    throw new TypeError(`kind must be one of ${KINDS.join(', ')}, not ${String(kind)}`);
  }
  let best;
  for (const sensor of snapshot.sensors) {
    const sensorKind = kindOf(sensor.name);
    const counts = kind === undefined ? sensorKind !== NOT_A_PART : sensorKind === kind;
    if (counts && plausible(sensorKind, sensor.celsius) && (best === undefined || sensor.celsius > best.celsius)) best = sensor;
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

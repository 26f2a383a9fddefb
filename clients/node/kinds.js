// What each sensor measures, from the shared table of sensor kinds (written
// into contract.js by tools/shared-code.py). A leaf: it imports only the
// contract's data.
import { KIND_TABLE as table } from './contract.js';

const rows = table.rows.map(({ kind, pattern, ignoreCase }) => ({
  kind,
  wholeName: new RegExp(`^(?:${pattern})$`, ignoreCase ? 'i' : ''),
}));

// Every kind, in the table's order ('other' last).
export const KINDS = Object.freeze([...table.kinds]);
// What no hottest part can be: a reference that reads near-constant.
export const NOT_A_PART = table.notAPart.kind;
// The kind of a name no row matches: one calvex does not know yet.
export const UNCLASSIFIED = table.unmatched;
// Below its kind's floor, or exactly the placeholder, a reading is no
// temperature (see the table's notes).
const lowestPlausible = table.lowestPlausible.celsius;
export const PLACEHOLDER = table.placeholder.celsius;

// Names repeat from snapshot to snapshot, so each is matched once; the
// bound keeps a helper that invents names from growing the cache.
const KNOWN_NAMES_KEPT = 4096;
const known = new Map();

function matchKind(name) {
  for (const row of rows) {
    if (row.wholeName.test(name)) return row.kind;
  }
  return UNCLASSIFIED;
}

// Whether a reading of this kind can be a temperature: not the
// placeholder, and not below the kind's lowest plausible reading.
export function plausible(kind, celsius) {
  const floor = lowestPlausible[kind] ?? null;
  return celsius !== PLACEHOLDER && (floor === null || celsius >= floor);
}

/**
 * The kind of a sensor name: the first row of the table that matches it
 * whole, or 'other'.
 */
export function kindOf(name) {
  if (typeof name !== 'string') throw new TypeError(`a sensor name is a string, not ${typeof name}`);
  let kind = known.get(name);
  if (kind === undefined) {
    kind = matchKind(name);
    if (known.size >= KNOWN_NAMES_KEPT) known.clear();
    known.set(name, kind);
  }
  return kind;
}

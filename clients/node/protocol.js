// The helper's line protocol: one line of its output becomes a snapshot, or
// a CalvexError for an error line or anything else; and the cap on a line.
// Imports nothing of the package: everything else builds on it.

export const ERROR_CODES = {
  'IOKit not available': 'IOKIT_NOT_AVAILABLE',
  'no HID event system': 'NO_HID_EVENT_SYSTEM',
};
const PRESSURE_ERROR_CODES = {
  'thermal pressure not available': 'PRESSURE_NOT_AVAILABLE',
  'no thermal pressure notification': 'NO_PRESSURE_NOTIFICATION',
};
// The pressure helper's level names, by level: macOS's own scale.
const PRESSURE_LEVELS = ['nominal', 'moderate', 'heavy', 'trapping', 'sleeping'];

// A line longer than this is no calvex line (1024 sensors take about 100 kB).
export const LONGEST_LINE_CHARACTERS = 4 * 1024 * 1024;
// How much of an over-long line an error keeps.
const KEPT_LINE_START = 200;

export class CalvexError extends Error {
  constructor(code, message, line) {
    super(message);
    this.name = 'CalvexError';
    this.code = code;
    if (line !== undefined) this.line = line;
  }
}

// The error for a line that went past LONGEST_LINE_CHARACTERS.
export function overLongLine(start) {
  const kept = start.slice(0, KEPT_LINE_START);
  return new CalvexError('BAD_OUTPUT', `calvex wrote an over-long line: ${kept}…`, kept);
}

function badOutput(what, line) {
  return new CalvexError('BAD_OUTPUT', `calvex wrote ${what}: ${line}`, line);
}

// The line's JSON value, or the error for a line that is no JSON.
function decoded(line) {
  try {
    return { message: JSON.parse(line) };
  } catch {
    return { error: badOutput('a line that is not JSON', line) };
  }
}

// One line, without its line feed.
export function parseLine(line) {
  const { message, error } = decoded(line);
  if (error) return error;
  const entries = message !== null && typeof message === 'object' ? message.sensors : undefined;
  if (Array.isArray(entries)) {
    const sensors = new Array(entries.length);
    for (let i = 0; i < entries.length; i++) {
      const entry = entries[i];
      if (entry === null || typeof entry !== 'object' || typeof entry.name !== 'string' || typeof entry.t !== 'number') {
        return badOutput('a sensor entry that is not {name, t}', line);
      }
      sensors[i] = { name: entry.name, celsius: entry.t };
    }
    return { sensors };
  }
  return errorLine(message, ERROR_CODES, line) ?? badOutput('a line that is neither a snapshot nor an error', line);
}

function errorLine(message, codes, line) {
  const error = message !== null && typeof message === 'object' ? message.error : undefined;
  const code = typeof error === 'string' && Object.hasOwn(codes, error) ? codes[error] : undefined;
  return code === undefined ? undefined : new CalvexError(code, `calvex: ${error}`, line);
}

// The line's level when it is one the helper writes, else undefined.
function pressureOf(message) {
  if (message === null || typeof message !== 'object' || Array.isArray(message)) return undefined;
  const keys = Object.keys(message);
  if (keys.length !== 2 || !('pressure' in message) || !('level' in message)) return undefined;
  const { pressure, level } = message;
  if (level === null) return pressure === 'unknown' ? { pressure, level } : undefined;
  if (!Number.isInteger(level) || level < 0) return undefined;
  const named = level < PRESSURE_LEVELS.length ? PRESSURE_LEVELS[level] : 'unknown';
  return pressure === named ? { pressure, level } : undefined;
}

// One line of the pressure helper's output, without its line feed.
export function parsePressureLine(line) {
  const { message, error } = decoded(line);
  if (error) return error;
  return pressureOf(message) ?? errorLine(message, PRESSURE_ERROR_CODES, line) ?? badOutput('a line that is neither a pressure level nor an error', line);
}

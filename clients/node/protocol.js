// The helper's line protocol: one line of its output becomes a snapshot, or
// a CalvexError for an error line or anything else; and the cap on a line.
// Imports only the contract's data: everything else builds on it.
import { PROTOCOL } from './contract.js';

export const ERROR_CODES = PROTOCOL.errorLines.sensors;
const PRESSURE_ERROR_CODES = PROTOCOL.errorLines.pressure;
// The pressure helper's level names, by level: macOS's own scale.
const PRESSURE_LEVELS = PROTOCOL.pressureLevels;
// Every failure code, with what it means.
export const CODE_MEANINGS = PROTOCOL.codes;

// A line longer than this is no calvex line (1024 sensors take about 100 kB).
export const LONGEST_LINE_BYTES = PROTOCOL.longestLineBytes;
// How much of an over-long line an error keeps.
const KEPT_LINE_START = PROTOCOL.keptLineStart;

export class CalvexError extends Error {
  constructor(code, message, line, signal) {
    super(message);
    this.name = 'CalvexError';
    this.code = code;
    if (line !== undefined) this.line = line;
    if (signal !== undefined) this.signal = signal;
  }
}

// The error for a line that went past LONGEST_LINE_BYTES.
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

// The system's error in words, and by its name: the same from every client.
export function systemError(error) {
  if (typeof error.code !== 'string') return error.message;
  const words = PROTOCOL.systemErrors[error.code];
  return words === undefined ? error.code : `${words} (${error.code})`;
}

// The failure of a helper that could not be started.
export function cannotStart(role, program, error) {
  const message = PROTOCOL.cannotStart.replace('{role}', role).replace('{program}', program).replace('{reason}', systemError(error));
  return new CalvexError('HELPER_FAILED', message);
}

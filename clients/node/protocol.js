// The helper's line protocol: one line of its output becomes a snapshot, or
// a CalvexError for an error line or anything else; and the cap on a line.
// Imports only the contract's data: everything else builds on it.
import { PROTOCOL } from './contract.js';

export const ERROR_CODES = PROTOCOL.helpers.sensors.errorLines;
const PRESSURE_ERROR_CODES = PROTOCOL.helpers.pressure.errorLines;
// The pressure helper's level names, by level: macOS's own scale.
const PRESSURE_LEVELS = PROTOCOL.pressureLevels;
// Every failure code, with what it means.
export const CODE_MEANINGS = PROTOCOL.codes;

// A line longer than this is no calvex line (1024 sensors take about 100 kB).
export const LONGEST_LINE_BYTES = PROTOCOL.longestLineBytes;
// How much of an over-long line an error keeps, in code points.
const KEPT_LINE_START = PROTOCOL.keptLineStart;
// A line nested deeper than this is no JSON a client reads.
const DEEPEST_NESTING = PROTOCOL.deepestNesting;
// The highest pressure level number a line may hold.
const HIGHEST_LEVEL = PROTOCOL.highestLevel;
const ERRNO_NAMES = new Set(PROTOCOL.errnoNames);

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
  const kept = Array.from(start).slice(0, KEPT_LINE_START).join('');
  return new CalvexError('BAD_OUTPUT', `calvex wrote an over-long line: ${kept}…`, kept);
}

function badOutput(what, line) {
  return new CalvexError('BAD_OUTPUT', `calvex wrote ${what}: ${line}`, line);
}

const QUOTE = 0x22;
const BACKSLASH = 0x5c;
const OPENERS = new Set([0x5b, 0x7b]);
const CLOSERS = new Set([0x5d, 0x7d]);
const NOT_WHOLE = new Set([0x2e, 0x65, 0x45, 0x2d]); // . e E -

// How deep the line's brackets go outside strings, and whether anything
// outside strings could make a number other than a whole one (a fraction,
// an exponent, a sign), which JSON.parse would not tell.
function shapeOf(line) {
  let depth = 0;
  let deepest = 0;
  let notWhole = false;
  let inString = false;
  for (let i = 0; i < line.length; i++) {
    const unit = line.charCodeAt(i);
    if (inString) {
      if (unit === BACKSLASH) i++;
      else if (unit === QUOTE) inString = false;
    } else if (unit === QUOTE) inString = true;
    else if (OPENERS.has(unit)) deepest = Math.max(deepest, ++depth);
    else if (CLOSERS.has(unit)) depth--;
    else if (NOT_WHOLE.has(unit)) notWhole = true;
  }
  return { deepest, notWhole };
}

// The line's JSON value, or the error for a line that is no JSON (one
// nested past the protocol's depth is none either).
function decoded(line) {
  const shape = shapeOf(line);
  if (shape.deepest > DEEPEST_NESTING) return { error: badOutput('a line that is not JSON', line) };
  try {
    return { message: JSON.parse(line), notWhole: shape.notWhole };
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
      if (entry === null || typeof entry !== 'object' || typeof entry.name !== 'string' || !Number.isFinite(entry.t)) {
        return badOutput('a sensor entry that is not {name, t}', line);
      }
      // A lone surrogate escape is no character: U+FFFD, as every client says.
      sensors[i] = { name: entry.name.toWellFormed(), celsius: entry.t };
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
// The level is a whole JSON number: with no other number in such a line,
// `notWhole` says whether it was written with a fraction, exponent or sign.
function pressureOf(message, notWhole) {
  if (message === null || typeof message !== 'object' || Array.isArray(message)) return undefined;
  const keys = Object.keys(message);
  if (keys.length !== 2 || !Object.hasOwn(message, 'pressure') || !Object.hasOwn(message, 'level')) return undefined;
  const { pressure, level } = message;
  if (level === null) return pressure === PROTOCOL.unknownPressure ? { pressure, level } : undefined;
  if (typeof level !== 'number' || notWhole || level < 0) return undefined;
  // More than every client can hold exactly (JSON.parse may have made it
  // Infinity): unknown, with no number.
  if (level > HIGHEST_LEVEL) return pressure === PROTOCOL.unknownPressure ? { pressure, level: null } : undefined;
  const named = level < PRESSURE_LEVELS.length ? PRESSURE_LEVELS[level] : PROTOCOL.unknownPressure;
  return pressure === named ? { pressure, level } : undefined;
}

// One line of the pressure helper's output, without its line feed.
export function parsePressureLine(line) {
  const { message, notWhole, error } = decoded(line);
  if (error) return error;
  return pressureOf(message, notWhole) ?? errorLine(message, PRESSURE_ERROR_CODES, line) ?? badOutput('a line that is neither a pressure level nor an error', line);
}

// The system's error in words, and by its name: the same from every client.
export function systemError(error) {
  if (typeof error.code !== 'string' || !ERRNO_NAMES.has(error.code)) return error.message;
  const words = PROTOCOL.systemErrors[error.code];
  return words === undefined ? error.code : `${words} (${error.code})`;
}

// HELPER_FAILED with one of the protocol's sentences (timedOut, silent,
// readFailed), filled.
export function helperFailed(sentence, values) {
  return new CalvexError('HELPER_FAILED', PROTOCOL[sentence].replace(/\{(\w+)\}/g, (_, name) => values[name]));
}

// The failure of a helper that did not finish within the time it was given.
export function timeoutFailure(helper) {
  return helperFailed('timedOut', { role: helper.role });
}

// The failure of a helper that could not be started: `role` names it.
export function cannotStart(role, program, error) {
  const message = PROTOCOL.cannotStart.replace('{role}', role).replace('{program}', program).replace('{reason}', systemError(error));
  return new CalvexError('HELPER_FAILED', message);
}

// The helpers as every run knows them: the program's name, the name its
// failures give it, and the parse of its lines. withParse() is the same
// helper read another way (the command line's raw lines).
function helper(name, parse) {
  const { program, role } = PROTOCOL.helpers[name];
  return Object.freeze({ program, role, parse, withParse: (other) => Object.freeze({ program, role, parse: other }) });
}

export const SENSOR_HELPER = helper('sensors', parseLine);
export const PRESSURE_HELPER = helper('pressure', parsePressureLine);

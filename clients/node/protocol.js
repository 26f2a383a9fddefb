// The helper's line protocol: one line of its output becomes a snapshot, or
// a CalvexError for an error line or anything else; and the cap on a line.
// Imports nothing of the package: everything else builds on it.

const ERROR_CODES = {
  'IOKit not available': 'IOKIT_NOT_AVAILABLE',
  'no HID event system': 'NO_HID_EVENT_SYSTEM',
};

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

// One line, without its line feed.
export function parseLine(line) {
  let message;
  try {
    message = JSON.parse(line);
  } catch {
    return badOutput('a line that is not JSON', line);
  }
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
  const code = message !== null && typeof message === 'object' ? ERROR_CODES[message.error] : undefined;
  if (code !== undefined) return new CalvexError(code, `calvex: ${message.error}`, line);
  return badOutput('a line that is neither a snapshot nor an error', line);
}

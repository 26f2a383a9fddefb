// The helper's line protocol: one line of its output becomes a snapshot, or
// a CalvexError for an error line or anything else.

const ERROR_CODES = {
  'IOKit not available': 'IOKIT_NOT_AVAILABLE',
  'no HID event system': 'NO_HID_EVENT_SYSTEM',
};

export class CalvexError extends Error {
  constructor(code, message, line) {
    super(message);
    this.name = 'CalvexError';
    this.code = code;
    if (line !== undefined) this.line = line;
  }
}

// One line, without its line feed.
export function parseLine(line) {
  let message;
  try {
    message = JSON.parse(line);
  } catch {
    return new CalvexError('BAD_OUTPUT', `calvex wrote a line that is not JSON: ${line}`, line);
  }
  const entries = message !== null && typeof message === 'object' ? message.sensors : undefined;
  if (Array.isArray(entries)) {
    const sensors = new Array(entries.length);
    for (let i = 0; i < entries.length; i++) {
      const entry = entries[i];
      if (entry === null || typeof entry !== 'object' || typeof entry.name !== 'string' || typeof entry.t !== 'number') {
        return new CalvexError('BAD_OUTPUT', `calvex wrote a sensor entry that is not {name, t}: ${line}`, line);
      }
      sensors[i] = { name: entry.name, celsius: entry.t };
    }
    return { sensors };
  }
  const code = message !== null && typeof message === 'object' ? ERROR_CODES[message.error] : undefined;
  if (code !== undefined) return new CalvexError(code, `calvex: ${message.error}`, line);
  return new CalvexError('BAD_OUTPUT', `calvex wrote a line that is neither a snapshot nor an error: ${line}`, line);
}

// The terminal view of `npx calvex`: a snapshot as lines of text, the
// answer first (the thermal pressure, one line per kind, the hottest part),
// then the sensors, hottest first, cut to a terminal's size when one is
// given; while watching, each kind's recent past drawn beside it. Python's
// `python -m calvex` renders the same bytes: the shared golden cases
// (clients/shared/terminal-views.json) hold both to it, so widths count
// characters (code points) and numbers round as Python's format does.
import { COMMAND_LINE } from './contract.js';
import { CalvexError } from './protocol.js';
import { KINDS, UNCLASSIFIED, kindOf } from './kinds.js';
import { hottest, summary } from './views.js';

const KIND_WIDTH = Math.max(...KINDS.map((kind) => kind.length));
const NUMBER_WIDTH = COMMAND_LINE.terminal.numberWidth; // -39.99 to 149.99, and a header
// How many snapshots a kind's trend covers, newest on the right.
export const TREND_LENGTH = COMMAND_LINE.terminal.trendLength;
// The trend's levels, lowest first: block characters, or plain ASCII where
// the terminal cannot show them.
const BLOCKS = [...'▁▂▃▄▅▆▇█'];
const ASCII_BLOCKS = [...'_.:-=+*#'];

const characters = (text) => [...text].length;
const padEnd = (text, width) => text + ' '.repeat(Math.max(0, width - characters(text)));
const padStart = (text, width) => ' '.repeat(Math.max(0, width - characters(text))) + text;
const firstCharacters = (text, count) => [...text].slice(0, count).join('');

// Whether the terminal can show the trend's block characters: not a dumb
// one, and a UTF-8 locale (LC_ALL, else LC_CTYPE, else LANG).
export function unicodeTerminal(environment) {
  if (environment.TERM === 'dumb') return false;
  const locale = (environment.LC_ALL || environment.LC_CTYPE || environment.LANG || '').toLowerCase();
  return locale.includes('utf-8') || locale.includes('utf8');
}

// `value` with two decimals, as every calvex client writes it: where the
// value lies exactly halfway (an odd number of eighths), to the even
// hundredth, and -0 keeps its sign.
export function fixed2(value) {
  if (Object.is(value, -0)) return '-0.00';
  const eighths = value * 8;
  if (Number.isInteger(eighths) && eighths % 2 !== 0) {
    const below = Math.floor(value * 100);
    const even = below % 2 === 0 ? below : below + 1;
    return (even / 100).toFixed(2);
  }
  return value.toFixed(2);
}

// How long, for a person: 12 s, 4 min 05 s, 2 h 03 min.
export function duration(seconds) {
  const two = (number) => String(number).padStart(2, '0');
  if (seconds < 60) return `${seconds} s`;
  if (seconds < 3600) return `${Math.floor(seconds / 60)} min ${two(seconds % 60)} s`;
  return `${Math.floor(seconds / 3600)} h ${two(Math.floor((seconds % 3600) / 60))} min`;
}

// The view's first line: is macOS holding the Mac back for heat? While
// watching, how long the level has held.
export function pressureText(pressure, heldSeconds = null) {
  if (pressure === null || pressure === undefined) return 'thermal pressure: waiting for the helper';
  if (pressure instanceof CalvexError) return `thermal pressure: not available (${pressure.code})`;
  const text = pressure.level === null
    ? 'thermal pressure: unknown (the system gave none)'
    : `thermal pressure: ${pressure.pressure} (level ${pressure.level})`;
  return heldSeconds === null ? text : `${text}, for ${duration(heldSeconds)}`;
}

// Each kind's largest reading in each of the last TREND_LENGTH snapshots
// (null where the kind had none), oldest first.
export class Trends {
  constructor() {
    this.maxima = new Map(KINDS.map((kind) => [kind, []]));
  }

  add(snapshot) {
    const kinds = summary(snapshot);
    for (const [kind, past] of this.maxima) {
      past.push(kinds[kind]?.max ?? null);
      if (past.length > TREND_LENGTH) past.splice(0, past.length - TREND_LENGTH);
    }
  }
}

// Hundredths, rounded half up the same way in every client.
const centi = (value) => Math.floor(value * 100 + 0.5);

// One character per value, scaled to the range of those shown: the lowest
// at the bottom level, the highest at the top; a gap where the kind had no
// reading, the middle level when all are the same.
export function trendText(values, unicode) {
  const levels = unicode ? BLOCKS : ASCII_BLOCKS;
  const centis = values.map((value) => (value === null ? null : centi(value)));
  const present = centis.filter((value) => value !== null);
  const low = present.length > 0 ? Math.min(...present) : 0;
  const high = present.length > 0 ? Math.max(...present) : 0;
  const top = levels.length - 1;
  return centis.map((value) => {
    if (value === null) return ' ';
    if (high === low) return levels[Math.floor(top / 2)];
    return levels[Math.floor(((value - low) * top * 2 + (high - low)) / (2 * (high - low)))];
  }).join('');
}

function fit(text, width) {
  if (width === null || characters(text) <= width) return text;
  return `${firstCharacters(text, Math.max(0, width - 1))}…`;
}

// One line per kind present, in the table's order: count, max, mean, and
// with trends as many of the kind's last maxima as fit the width.
function kindLines(snapshot, width, trends, unicode) {
  const kinds = summary(snapshot);
  const header = `${padEnd('kind', KIND_WIDTH)}  ${padStart('count', 5)}  ${padStart('max °C', NUMBER_WIDTH)}  ${padStart('mean °C', NUMBER_WIDTH)}`;
  const room = width === null ? TREND_LENGTH : Math.min(TREND_LENGTH, width - characters(header) - 2);
  const drawn = trends !== null && room > 0;
  const lines = [header + (drawn ? '  trend' : '')];
  for (const kind of KINDS) {
    const each = kinds[kind];
    if (each === undefined) continue;
    let line = `${padEnd(kind, KIND_WIDTH)}  ${padStart(String(each.count), 5)}  ${padStart(fixed2(each.max), NUMBER_WIDTH)}  ${padStart(fixed2(each.mean), NUMBER_WIDTH)}`;
    if (drawn) line += `  ${trendText(trends.maxima.get(kind).slice(-room), unicode)}`;
    lines.push(line);
  }
  return lines;
}

function hottestLine(snapshot) {
  const top = hottest(snapshot);
  if (top === undefined) return 'hottest: no part has a reading';
  return `hottest: ${top.name} (${kindOf(top.name)}) ${fixed2(top.celsius)} °C`;
}

// A header and every sensor, hottest first (list order among equals).
function sensorLines(snapshot, nameWidth) {
  const ordered = [...snapshot.sensors].sort((a, b) => b.celsius - a.celsius);
  const lines = [`${padEnd('sensor', nameWidth)}  ${padEnd('kind', KIND_WIDTH)}  ${padStart('°C', NUMBER_WIDTH)}`];
  for (const { name, celsius } of ordered) {
    const shown = characters(name) <= nameWidth ? name : `${firstCharacters(name, nameWidth - 1)}…`;
    lines.push(`${padEnd(shown, nameWidth)}  ${padEnd(kindOf(name), KIND_WIDTH)}  ${padStart(fixed2(celsius), NUMBER_WIDTH)}`);
  }
  return lines;
}

// The last line when the kind table knows some readings' names not: how to
// get this Mac's sensors into it.
function unknownLine(snapshot) {
  const unknown = snapshot.sensors.filter(({ name }) => kindOf(name) === UNCLASSIFIED).length;
  if (unknown === 0) return [];
  return [`${unknown} sensor${unknown === 1 ? '' : 's'} calvex does not know yet: run with --report`];
}

/**
 * The whole view; with a width and a height, no line is wider and there
 * are no more lines: the hottest sensors that fit, then a line that says
 * how many are not shown. `first` is a line put above it all; `trends`,
 * when given, are drawn beside the kinds (in block characters, or plain
 * ASCII when not `unicode`).
 */
export function view(snapshot, { width = null, height = null, first = null, trends = null, unicode = true } = {}) {
  const limit = height === null ? undefined : height;
  if (snapshot.sensors.length === 0) {
    return [first, 'no sensors with a reading'].filter((line) => line !== null).map((line) => fit(line, width)).slice(0, limit);
  }
  const head = [...(first === null ? [] : [first]), ...kindLines(snapshot, width, trends, unicode), hottestLine(snapshot)];
  const longest = Math.max(characters('sensor'), ...snapshot.sensors.map(({ name }) => characters(name)));
  const fixed = 2 + KIND_WIDTH + 2 + NUMBER_WIDTH;
  const nameWidth = width === null ? longest : Math.max(6, Math.min(longest, width - fixed));
  let sensors = sensorLines(snapshot, nameWidth);
  const tail = unknownLine(snapshot);
  if (height !== null && head.length + sensors.length + tail.length > height) {
    const room = Math.max(0, height - head.length - tail.length - 1); // a line says what is cut
    const leftOut = sensors.length - 1 - Math.max(0, room - 1);
    sensors = [...sensors.slice(0, room), `… ${leftOut} more sensors not shown`];
  }
  return [...head, ...sensors, ...tail].slice(0, limit).map((line) => fit(line, width));
}

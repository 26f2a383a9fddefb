// npx calvex's words into options by the rules both commands share
// (clients/shared/command-line.json), so that python -m calvex reads every
// line of words the same way and says the same texts.
import { DEFAULT_INTERVAL_MS, LONGEST_INTERVAL_MS, SHORTEST_INTERVAL_MS } from './command.js';
import { COMMAND_LINE } from './contract.js';

const RULES = COMMAND_LINE;
const REPORT = RULES.report;
const NUMBERS = {
  shortestMs: SHORTEST_INTERVAL_MS,
  longestMs: LONGEST_INTERVAL_MS,
  defaultMs: DEFAULT_INTERVAL_MS,
  shortestSeconds: REPORT.shortestSeconds,
  longestSeconds: REPORT.longestSeconds,
  defaultSeconds: REPORT.defaultSeconds,
};
export const PROGRAM = 'calvex';
const HELPER_OPTIONS = ['--helper', '--pressure-helper'];

// A shared text with its {name} places filled: the program's name, the
// bounds, and `values`.
export function fill(template, values = {}) {
  const known = { prog: PROGRAM, ...NUMBERS, usage: RULES.usage.replaceAll('{prog}', PROGRAM), ...values };
  let text = template;
  for (const [name, value] of Object.entries(known)) text = text.replaceAll(`{${name}}`, String(value));
  return text;
}

// Words the command does not take; the message is the shared one.
export class UsageError extends Error {}

// The options before the first helper option, each helper option's
// command, and the helper options given more than once: --helper and
// --pressure-helper come last, each taking the words up to the other.
function splitHelperCommands(words) {
  const leading = [];
  const commands = {};
  const twice = [];
  let current = null;
  for (const word of words) {
    if (HELPER_OPTIONS.includes(word)) {
      if (Object.hasOwn(commands, word) && !twice.includes(word)) twice.push(word);
      commands[word] = [];
      current = commands[word];
    } else if (current === null) leading.push(word);
    else current.push(word);
  }
  return { leading, commands, twice };
}

// The word after an option that takes an optional value, when it is one:
// not another option (a negative number is a value, and wrong).
function valueAfter(words, at) {
  const word = words[at + 1];
  if (word === undefined) return undefined;
  return !word.startsWith('-') || /^-[0-9.]/.test(word) ? word : undefined;
}

function milliseconds(word) {
  const value = Number(word);
  if (new RegExp(RULES.numbers.milliseconds).test(word) && value >= SHORTEST_INTERVAL_MS && value <= LONGEST_INTERVAL_MS) return value;
  throw new UsageError(fill(RULES.messages.badWatch, { word }));
}

function seconds(word) {
  const value = Number(word);
  if (new RegExp(RULES.numbers.seconds).test(word) && value >= REPORT.shortestSeconds && value <= REPORT.longestSeconds) return value;
  throw new UsageError(fill(RULES.messages.badReport, { word }));
}

// Sets `options` from the words before the helper options and returns the
// problems found, in order.
function readLeading(words, options) {
  const problems = [];
  const unknown = [];
  for (let at = 0; at < words.length; at++) {
    const word = words[at];
    try {
      if (word === '-h' || word === '--help') options.help = true;
      else if (word === '--version') options.version = true;
      else if (word === '--json') options.json = true;
      else if (word === '--once') options.once = true;
      else if (word === '--output') {
        if (at + 1 >= words.length) throw new UsageError(fill(RULES.messages.needsValue, { option: word }));
        options.output = words[at + 1];
        at += 1;
      } else if (word === '--watch' || word === '--report') {
        const value = valueAfter(words, at);
        if (word === '--watch') options.watch = value === undefined ? DEFAULT_INTERVAL_MS : milliseconds(value);
        else options.report = value === undefined ? REPORT.defaultSeconds : seconds(value);
        if (value !== undefined) at += 1;
      } else unknown.push(word);
    } catch (problem) {
      if (!(problem instanceof UsageError)) throw problem;
      problems.push(problem.message);
      at += 1;
    }
  }
  if (unknown.length > 0) problems.push(fill(RULES.messages.unknown, { words: unknown.join(' ') }));
  return problems;
}

function combinationProblems(options, commands, twice) {
  const messages = RULES.messages;
  const problems = [];
  const modes = [
    ['--once', options.once],
    ['--watch', options.watch !== null],
    ['--report', options.report !== null],
  ].filter(([, given]) => given).map(([name]) => name);
  if (modes.length > 1) problems.push(fill(messages.notAllowedWith, { first: modes[0], second: modes[1] }));
  if (options.output !== null && options.report === null) problems.push(messages.outputWithoutReport);
  for (const option of twice) problems.push(fill(messages.helperTwice, { option }));
  for (const [option, command] of Object.entries(commands)) {
    if (command.length === 0) problems.push(fill(messages.helperNeedsCommand, { option }));
    else if (command.some((word) => word.includes('\0'))) problems.push(fill(messages.helperNul, { option }));
  }
  return problems;
}

// The options of `npx calvex`; a UsageError with the first problem found.
// --help and --version answer whatever else is there.
export function parseCommand(words) {
  const { leading, commands, twice } = splitHelperCommands(words);
  const options = {
    json: false, once: false, watch: null, report: null, output: null, help: false, version: false,
    helper: commands['--helper'], pressureHelper: commands['--pressure-helper'],
  };
  const problems = readLeading(leading, options);
  if (options.help || options.version) return options;
  problems.push(...combinationProblems(options, commands, twice));
  if (problems.length > 0) throw new UsageError(problems[0]);
  return options;
}

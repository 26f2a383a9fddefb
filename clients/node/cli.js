#!/usr/bin/env node
// `npx calvex`: the sensors for people (the thermal pressure, per kind, the
// hottest part, then each sensor; with --watch on a terminal, a view that
// fits it, with each kind's recent past drawn), or the helpers' lines as
// they are with --json. The same command, options, exit statuses and view
// as `python -m calvex`.
import { closeSync, fsyncSync, openSync, readFileSync, renameSync, rmSync, statSync, writeSync } from 'node:fs';
import { machine } from 'node:os';
import { basename, dirname, join } from 'node:path';

import { DEFAULT_INTERVAL_MS, helperCommand, intervalArgument, pressureCommand } from './command.js';
import { Watch, readOnce } from './faces.js';
import { UsageError, fill, parseCommand } from './commandline.js';
import { COMMAND_LINE } from './contract.js';
import { CalvexError, ERROR_CODES, PRESSURE_HELPER, SENSOR_HELPER, helperFailed, parseLine, systemError, timeoutFailure } from './protocol.js';
import { buildReport, gather, personLine, reportText } from './report.js';
import { Trends, pressureText, unicodeTerminal, view } from './terminal.js';

const USAGE_STATUS = COMMAND_LINE.usageStatus;
const FAILURE_STATUS = COMMAND_LINE.failureStatus;
const INTERRUPTED_STATUS = COMMAND_LINE.interruptedStatus;
// A terminal of our own while watching (the alternate screen, no cursor),
// given back as it was on the way out.
const ENTER_SCREEN = '\x1b[?1049h\x1b[?25l';
const LEAVE_SCREEN = '\x1b[?25h\x1b[?1049l';
// Home, each line cleared to its end, the rest of the screen cleared.
const HOME = '\x1b[H';
const END_OF_LINE = '\x1b[K';
const REST_OF_SCREEN = '\x1b[J';
// How long the one-shot view waits for the pressure helper's one line.
const PRESSURE_TIMEOUT_MS = COMMAND_LINE.pressureTimeoutMs;
// A report watches at this interval.
const REPORT_INTERVAL_MS = COMMAND_LINE.report.intervalMs;
const SENTENCES = COMMAND_LINE.sentences;

function version() {
  return JSON.parse(readFileSync(new URL('./package.json', import.meta.url), 'utf8')).version;
}

// What a person reads when the helper fails: one sentence.
function sentence(error) {
  const said = error.line !== undefined && error.code !== 'BAD_OUTPUT' ? ` (the helper said: ${error.line})` : '';
  const shared = SENTENCES[error.code];
  if (shared !== undefined) return fill(shared, { said, system: process.platform, machine: machine() });
  return `calvex: ${error.message}`;
}

// The pressure helper's one level, its failure, or null where there is none.
async function pressureOnce(given) {
  const command = pressureCommand(given, '--once');
  if (command === null) return null;
  return readOnce(() => command, PRESSURE_HELPER, AbortSignal.timeout(PRESSURE_TIMEOUT_MS)).catch((error) =>
    error instanceof CalvexError ? error : timeoutFailure(PRESSURE_HELPER),
  );
}

// A line kept as the helper wrote it; anything but a snapshot is the run's end.
function rawLine(line) {
  const parsed = parseLine(line);
  return parsed instanceof CalvexError ? parsed : line;
}

function write(out, text) {
  return new Promise((resolve) => out.write(text, resolve));
}

// Every line the helper writes, unchanged; an error line too, which ends it
// with 1. Once: the snapshot line, then the pressure line when there is one.
async function printJson(options, out) {
  const once = options.watch === null;
  const command = helperCommand(options.helper, once ? '--once' : intervalArgument(options.watch));
  try {
    if (once) {
      await write(out, `${await readOnce(() => command, SENSOR_HELPER.withParse(rawLine))}\n`);
      const pressure = await pressureOnce(options.pressureHelper);
      if (pressure !== null && !(pressure instanceof CalvexError)) await write(out, `${JSON.stringify(pressure)}\n`);
      else if (pressure?.line !== undefined) await write(out, `${pressure.line}\n`);
      return 0;
    }
    for await (const line of new Watch(() => command, SENSOR_HELPER.withParse(rawLine))) await write(out, `${line}\n`);
  } catch (error) {
    if (error instanceof CalvexError && Object.values(ERROR_CODES).includes(error.code) && error.line !== undefined) {
      await write(out, `${error.line}\n`);
      return FAILURE_STATUS;
    }
    throw error;
  }
  return 0;
}

// The pressure helper run beside a watch, as the view's first line; on a
// terminal, with how long the level has held.
class PressureFollower {
  constructor(command, onChange) {
    this.latest = null;
    this.since = Date.now();
    this.watch = command === null ? null : new Watch(() => command, PRESSURE_HELPER);
    this.done = this.watch === null ? Promise.resolve() : this.follow(onChange);
  }

  async follow(onChange) {
    try {
      for await (const level of this.watch) this.take(level, onChange);
    } catch (error) {
      if (error instanceof CalvexError) this.take(error, onChange);
    }
  }

  take(value, onChange) {
    const changed = !(value instanceof CalvexError) && !(this.latest instanceof CalvexError) && value.level === this.latest?.level;
    if (!changed) this.since = Date.now();
    this.latest = value;
    onChange();
  }

  line(withHeld) {
    if (this.watch === null) return null;
    const held = withHeld && this.latest !== null && !(this.latest instanceof CalvexError) ? Math.floor((Date.now() - this.since) / 1000) : null;
    return pressureText(this.latest, held);
  }

  async close() {
    await this.watch?.return();
    await this.done;
  }
}

// A watch: plain text, one whole view per snapshot with a blank line
// between, into a pipe; on a terminal one view that fits it, redrawn in
// place on each snapshot, each change of pressure and each resize, with
// each kind's trend, and the terminal given back as it was.
async function watchView(options, out, stopping) {
  const argument = intervalArgument(options.watch);
  const command = helperCommand(options.helper, argument);
  const sensors = new Watch(() => command, SENSOR_HELPER);
  const onTerminal = out.isTTY === true;
  const trends = new Trends();
  const unicode = unicodeTerminal(process.env);
  let shown = null;
  const draw = () => {
    if (shown === null) return;
    const first = pressure.line(onTerminal);
    if (!onTerminal) {
      out.write(`${view(shown, { first }).join('\n')}\n\n`);
      return;
    }
    const lines = view(shown, { width: out.columns, height: out.rows, first, trends, unicode });
    out.write(HOME + lines.join(`${END_OF_LINE}\n`) + END_OF_LINE + REST_OF_SCREEN);
  };
  const pressure = new PressureFollower(pressureCommand(options.pressureHelper, argument), () => onTerminal && draw());
  const redraw = () => draw();
  if (onTerminal) {
    out.write(ENTER_SCREEN);
    out.on('resize', redraw);
  }
  const leave = async () => {
    if (onTerminal) {
      out.off('resize', redraw);
      await write(out, LEAVE_SCREEN);
    }
    await Promise.all([sensors.return(), pressure.close()]);
  };
  stopping.then(leave);
  try {
    for await (const snapshot of sensors) {
      trends.add(snapshot);
      shown = snapshot;
      draw();
    }
  } finally {
    await leave();
  }
  throw helperFailed('stopped', { role: SENSOR_HELPER.role });
}

// Where the report goes: a new file beside FILE, made before the run so
// that a place it cannot be written is found at once; renamed over FILE
// only when the whole report is in it.
function reportFile(output) {
  const temporary = join(dirname(output), `.${basename(output)}.${process.pid}.tmp`);
  try {
    if (statSync(output, { throwIfNoEntry: false })?.isDirectory()) throw Object.assign(new Error('a folder'), { code: 'EISDIR' });
    return { temporary, descriptor: openSync(temporary, 'wx', 0o644) };
  } catch (error) {
    throw new ReportNotWritten(output, error);
  }
}

class ReportNotWritten extends Error {
  constructor(output, error) {
    super(fill(SENTENCES.cannotWriteReport, { file: output, reason: systemError(error) }));
  }
}

function finishReport(file, output, text) {
  try {
    writeSync(file.descriptor, text);
    fsyncSync(file.descriptor);
    closeSync(file.descriptor);
    renameSync(file.temporary, output);
  } catch (error) {
    throw new ReportNotWritten(output, error);
  }
}

// Watches for the report's window, writes the document, and says in one
// line where it went.
async function writeReport(options, out, err) {
  const sensors = helperCommand(options.helper, String(REPORT_INTERVAL_MS));
  const pressure = pressureCommand(options.pressureHelper, String(REPORT_INTERVAL_MS));
  const file = options.output === null ? null : reportFile(options.output);
  try {
    const client = { name: 'calvex (npm)', version: version() };
    const record = await gather(options.report, REPORT_INTERVAL_MS, sensors, pressure, client, process.env);
    const report = buildReport(record);
    const text = reportText(report);
    if (file === null) await write(out, text);
    else finishReport(file, options.output, text);
    err.write(`${personLine(report, file === null ? 'standard output' : options.output)}\n`);
    return 0;
  } finally {
    if (file !== null) rmSync(file.temporary, { force: true });
  }
}

async function oneView(options, out) {
  const snapshot = await readOnce(() => helperCommand(options.helper, '--once'), SENSOR_HELPER);
  const pressure = await pressureOnce(options.pressureHelper);
  await write(out, `${view(snapshot, { first: pressure === null ? null : pressureText(pressure) }).join('\n')}\n`);
  return 0;
}

async function main(words, out, err) {
  let options;
  try {
    options = parseCommand(words);
  } catch (error) {
    if (!(error instanceof UsageError)) throw error;
    err.write(fill(COMMAND_LINE.usageError, { message: error.message }));
    return USAGE_STATUS;
  }
  if (options.help) {
    await write(out, fill(COMMAND_LINE.help));
    return 0;
  }
  if (options.version) {
    await write(out, `${fill(COMMAND_LINE.version, { version: version() })}\n`);
    return 0;
  }
  let interrupted;
  const stopping = new Promise((resolve) => {
    interrupted = resolve;
  });
  process.once('SIGINT', () => interrupted());
  // Ctrl-C ends any of them with 130, once their helpers are stopped (the
  // stops hold the event loop until then); what they say after it is moot.
  const untilInterrupted = (running) => {
    running.catch(() => {});
    return Promise.race([running, stopping.then(() => INTERRUPTED_STATUS)]);
  };
  try {
    if (options.report !== null) return await untilInterrupted(writeReport(options, out, err));
    if (options.json) return await untilInterrupted(printJson(options, out));
    if (options.watch === null) return await untilInterrupted(oneView(options, out));
    return await untilInterrupted(watchView(options, out, stopping));
  } catch (error) {
    // Ctrl-C reaches the helpers too (one process group): a helper that
    // SIGINT ended is the same Ctrl-C, whichever of the two is seen first.
    if (error instanceof CalvexError && error.signal === 'SIGINT') return INTERRUPTED_STATUS;
    if (error instanceof CalvexError) {
      err.write(`${sentence(error)}\n`);
      return FAILURE_STATUS;
    }
    if (error instanceof ReportNotWritten) {
      err.write(`${error.message}\n`);
      return FAILURE_STATUS;
    }
    if (error instanceof TypeError) {
      err.write(fill(COMMAND_LINE.usageError, { message: error.message }));
      return USAGE_STATUS;
    }
    throw error;
  }
}

// A reader that goes (`| head`) ends the output, not the command with a trace.
process.stdout.on('error', (error) => {
  if (error.code === 'EPIPE') process.exit(1);
  throw error;
});
process.exitCode = await main(process.argv.slice(2), process.stdout, process.stderr);

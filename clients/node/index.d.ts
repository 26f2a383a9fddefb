/**
 * One sensor's reading in a snapshot.
 *
 * @example
 * ```ts
 * const sensor: Sensor = { name: 'PMU tdie1', celsius: 45.99 };
 * ```
 */
export interface Sensor {
  /** The sensor's product name, or `sensor N` (its position in the system's list) when it has none. Names repeat. */
  name: string;
  /** Degrees Celsius with two decimals, from -40 to 150. */
  celsius: number;
}

/**
 * Every sensor that had a valid reading at one moment, in the order the system lists them.
 *
 * @example
 * ```ts
 * const { sensors } = await readSensors();
 * console.log(`${sensors.length} sensors`);
 * ```
 */
export interface Snapshot {
  sensors: Sensor[];
}

/**
 * Options of `readSensors` and `watchSensors`.
 *
 * @example
 * ```ts
 * const options: Options = { intervalMs: 1000, signal: AbortSignal.timeout(60_000) };
 * ```
 */
export interface Options {
  /**
   * Watch only: a whole number of milliseconds between snapshots. Default
   * 2000; below 200 is raised to 200 and above 4,294,967 capped, as the
   * helper does; a fraction is a `TypeError` (the first `next()` rejects).
   */
  intervalMs?: number;
  /** Ends the run: the helper is stopped and the promise or the iteration rejects with the signal's reason. */
  signal?: AbortSignal;
  /** A command to run instead of the bundled helper: `[path, ...leading arguments]`; the client appends its own argument. */
  helper?: string[];
}

/**
 * Runs the helper once (`calvex --once`) and resolves with its snapshot once
 * the helper has exited.
 *
 * @example
 * ```ts
 * import { readSensors, hottest } from 'calvex';
 * const snapshot = await readSensors();
 * console.log(hottest(snapshot)); // e.g. { name: 'pACC MTR Temp Sensor7', celsius: 54.84 }
 * ```
 */
export function readSensors(options?: Options): Promise<Snapshot>;

/**
 * Runs the helper at an interval and yields one snapshot per line. Breaking
 * out of `for await`, calling `return()` or aborting the signal stops the
 * helper and waits until it has exited. A consumer slower than the interval
 * gets the newest snapshot; older unread ones are dropped.
 *
 * @example
 * ```ts
 * import { watchSensors } from 'calvex';
 * for await (const snapshot of watchSensors({ intervalMs: 1000 })) {
 *   console.log(snapshot.sensors.length);
 *   if (done()) break; // the helper is stopped here
 * }
 * ```
 */
export function watchSensors(options?: Options): AsyncIterableIterator<Snapshot>;

/**
 * How a run failed; `code` says why.
 *
 * @example
 * ```ts
 * try {
 *   await readSensors();
 * } catch (error) {
 *   if (error instanceof CalvexError && error.code === 'NO_HID_EVENT_SYSTEM') showNoSensors();
 *   else throw error;
 * }
 * ```
 */
export class CalvexError extends Error {
  /**
   * - `IOKIT_NOT_AVAILABLE`: the helper could not load IOKit or CoreFoundation.
   * - `NO_HID_EVENT_SYSTEM`: the helper could not open the HID event system.
   * - `PRESSURE_NOT_AVAILABLE`: the pressure helper found no notify service.
   * - `NO_PRESSURE_NOTIFICATION`: the pressure helper could not register for the notification.
   * - `UNSUPPORTED_PLATFORM`: not macOS on arm64, and no helper was given; nothing was run.
   * - `HELPER_FAILED`: the helper could not start, was killed, exited without a line or while watched, or took longer than the timeout; the message says how.
   * - `BAD_OUTPUT`: the helper wrote a line that is neither a snapshot nor an error line.
   */
  code: CalvexErrorCode;
  /** The line the helper wrote, for `BAD_OUTPUT` and the two error codes. */
  line?: string;
  /** The signal that ended the helper (`'SIGINT'`, say), where one did. */
  signal?: string;
  /**
   * Makes one, as the client does; for tests and for code that wraps calvex.
   *
   * @example
   * ```ts
   * throw new CalvexError('HELPER_FAILED', 'the calvex helper exited with status 1');
   * ```
   */
  constructor(code: CalvexErrorCode, message: string, line?: string, signal?: string);
  name: 'CalvexError';
}

// <CalvexErrorCode: made by tools/shared-code.py from the shared tables: do not edit the type>
/** Why a run failed: the `code` of a `CalvexError`. */
export type CalvexErrorCode =
  | 'IOKIT_NOT_AVAILABLE'
  | 'NO_HID_EVENT_SYSTEM'
  | 'PRESSURE_NOT_AVAILABLE'
  | 'NO_PRESSURE_NOTIFICATION'
  | 'UNSUPPORTED_PLATFORM'
  | 'HELPER_FAILED'
  | 'BAD_OUTPUT';
// </CalvexErrorCode>

/**
 * The system's thermal pressure level: macOS's own decision on whether to
 * hold the Mac back for heat. `level` is macOS's number for it (0 nominal to
 * 4 sleeping), the number the system gave when it is off that scale (with
 * `'unknown'`), or `null` when it could not be read or is beyond what every
 * client holds exactly (2^53 - 1).
 *
 * @example
 * ```ts
 * const { pressure, level } = await readThermalPressure();
 * if (level !== null && level >= 2) console.log(`throttling: ${pressure}`);
 * ```
 */
export interface ThermalPressure {
  pressure: PressureName;
  level: number | null;
}

// <PressureName: made by tools/shared-code.py from the shared tables: do not edit the type>
/** A thermal pressure level's name: macOS's scale, then `'unknown'`. */
export type PressureName = 'nominal' | 'moderate' | 'heavy' | 'trapping' | 'sleeping' | 'unknown';
// </PressureName>

/**
 * Runs the pressure helper once (`calvex-pressure --once`) and resolves with
 * the level once it has exited; the same options and guarantees as
 * `readSensors`, with `options.helper` naming the pressure helper's command.
 *
 * @example
 * ```ts
 * import { readThermalPressure } from 'calvex';
 * console.log(await readThermalPressure()); // e.g. { pressure: 'nominal', level: 0 }
 * ```
 */
export function readThermalPressure(options?: Options): Promise<ThermalPressure>;

/**
 * Runs the pressure helper at an interval and yields one level per line, a
 * line per interval whether or not it changed; as `watchSensors` (newest
 * wins, stopped on `break`, `return()` or an abort, no event-loop hold).
 *
 * @example
 * ```ts
 * import { watchThermalPressure } from 'calvex';
 * for await (const { pressure } of watchThermalPressure({ intervalMs: 5000 })) {
 *   if (pressure !== 'nominal') console.log(`macOS is holding the Mac back: ${pressure}`);
 * }
 * ```
 */
export function watchThermalPressure(options?: Options): AsyncIterableIterator<ThermalPressure>;

/**
 * Where the packaged macOS arm64 pressure helper is, as `bundledHelperPath`.
 *
 * @example
 * ```ts
 * import { bundledPressureHelperPath } from 'calvex';
 * console.log(bundledPressureHelperPath); // …/node_modules/calvex/bin/calvex-pressure-macos-arm64
 * ```
 */
export const bundledPressureHelperPath: string;

/**
 * Where the packaged macOS arm64 helper is. Inside Electron's `app.asar` it
 * points into `app.asar.unpacked`, where a packager must unpack it.
 *
 * @example
 * ```ts
 * import { bundledHelperPath } from 'calvex';
 * console.log(bundledHelperPath); // …/node_modules/calvex/bin/calvex-macos-arm64
 * ```
 */
export const bundledHelperPath: string;

/**
 * The hottest reading of a snapshot (the first one when several are equal),
 * or `undefined` when there is none. With a kind, the hottest of that kind;
 * without, the hottest of every kind but `'calibration'`, whose references
 * read about 52 °C whatever the load and are no part's temperature. Never
 * a reading that cannot be a temperature (a placeholder, or one below its
 * kind's floor), as in `summary`. A kind
 * that is not a `SensorKind` throws a `TypeError`.
 *
 * @example
 * ```ts
 * const snapshot = await readSensors();
 * const top = hottest(snapshot);          // never a calibration reference
 * const gpu = hottest(snapshot, 'gpu');   // the hottest GPU sensor, if any
 * if (top) console.log(`${top.name}: ${top.celsius} °C`);
 * ```
 */
export function hottest(snapshot: Snapshot, kind?: SensorKind): Sensor | undefined;

/**
 * Every sensor kind, in the table's order (`'other'` last).
 *
 * @example
 * ```ts
 * import { KINDS, hottest } from 'calvex';
 * for (const kind of KINDS) console.log(kind, hottest(snapshot, kind)?.celsius);
 * ```
 */
export const KINDS: readonly SensorKind[];

/**
 * The readings of a snapshot by sensor name: each name maps to its
 * temperatures in list order, since names repeat.
 *
 * @example
 * ```ts
 * const dies = byName(await readSensors()).get('PMU tdie1') ?? []; // [45.99, 46.2]
 * ```
 */
export function byName(snapshot: Snapshot): Map<string, number[]>;

// <SensorKind: made by tools/shared-code.py from the shared tables: do not edit the type>
/**
 * What a sensor measures, from calvex's table of sensor names. Best-effort:
 * the table is made from the names the chips are reported to publish, and
 * `'other'` is always the safe answer for a name it does not know.
 *
 * @example
 * ```ts
 * const kind: SensorKind = kindOf('PMU tdie3'); // 'cpu'
 * ```
 */
export type SensorKind = 'cpu' | 'gpu' | 'soc' | 'neural' | 'storage' | 'battery' | 'calibration' | 'other';
// </SensorKind>

/**
 * The readings of one kind in a snapshot.
 *
 * @example
 * ```ts
 * const cpu: KindSummary | undefined = summary(await readSensors()).cpu;
 * if (cpu) console.log(`${cpu.count} CPU sensors, hottest ${cpu.max} °C, mean ${cpu.mean.toFixed(1)} °C`);
 * ```
 */
export interface KindSummary {
  /** How many readings of this kind the snapshot has that can be temperatures (at least 1). */
  count: number;
  /** The largest of them, in degrees Celsius. */
  max: number;
  /** Their mean: summed in list order, then divided by `count`, so every calvex client gets the same number. */
  mean: number;
  /**
   * How many readings of this kind were left out as no temperature: a
   * placeholder (exactly 0.00), or below the kind's lowest plausible
   * reading (10 °C; the battery has none).
   */
  leftOut: number;
}

/**
 * The kind of a sensor name: the first row of calvex's table that matches
 * the whole name (case matters, but for `battery`), else `'other'`.
 *
 * @example
 * ```ts
 * kindOf('pACC MTR Temp Sensor2'); // 'cpu'
 * kindOf('gas gauge battery');     // 'battery'
 * kindOf('PMU tcal');              // 'calibration': a reference, no part's temperature
 * ```
 */
export function kindOf(name: string): SensorKind;

/**
 * A summary per kind of a snapshot: a key for each kind that has at least
 * one reading that can be a temperature (`other` included), in the order
 * the kinds first appear, each saying how many it left out. Placeholders
 * (exactly 0.00) and readings below their kind's floor (10 °C, but for the
 * battery) are left out; a kind none of whose readings is left is absent,
 * as if it had none. The snapshot itself keeps every reading.
 *
 * @example
 * ```ts
 * const { cpu, gpu } = summary(await readSensors());
 * console.log(cpu?.max, gpu?.mean); // e.g. 52.31 41.2
 * ```
 */
export function summary(snapshot: Snapshot): Partial<Record<SensorKind, KindSummary>>;

// Type tests of index.d.ts, checked with `tsc --strict --noEmit`: what must
// compile does, and each @ts-expect-error line must fail to.
import {
  CalvexError,
  KINDS,
  bundledHelperPath,
  bundledPressureHelperPath,
  byName,
  hottest,
  kindOf,
  readSensors,
  readThermalPressure,
  summary,
  watchSensors,
  watchThermalPressure,
} from './index.js';
import type { CalvexErrorCode, KindSummary, Options, Sensor, SensorKind, Snapshot, ThermalPressure } from './index.js';

async function uses(): Promise<void> {
  const snapshot: Snapshot = await readSensors();
  const first: Sensor | undefined = snapshot.sensors[0];
  const celsius: number | undefined = first?.celsius;
  const top: Sensor | undefined = hottest(snapshot);
  const readings: number[] | undefined = byName(snapshot).get('PMU tdie1');
  const path: string = bundledHelperPath;

  const options: Options = { intervalMs: 500, signal: new AbortController().signal, helper: ['/usr/bin/env', 'calvex'] };
  for await (const next of watchSensors(options)) {
    const count: number = next.sensors.length;
    void count;
  }
  const iterator: AsyncIterableIterator<Snapshot> = watchSensors();
  await iterator.return?.();

  try {
    await readSensors({ helper: ['calvex'] });
  } catch (error) {
    if (error instanceof CalvexError) {
      const code: CalvexErrorCode = error.code;
      const line: string | undefined = error.line;
      const message: string = error.message;
      void code, line, message;
    }
  }
  void celsius, top, readings, path;

  const kind: SensorKind = kindOf('PMU tdie1');
  const cpu: KindSummary | undefined = summary(snapshot).cpu;
  const hottestCpu: number | undefined = cpu?.max;
  for (const [name, each] of Object.entries(summary(snapshot))) {
    const counted: number = each.count;
    void name, counted;
  }
  void kind, hottestCpu;
  const hottestGpu: Sensor | undefined = hottest(snapshot, 'gpu');
  const calibration: Sensor | undefined = hottest(snapshot, 'calibration');
  const everyKind: readonly SensorKind[] = KINDS;
  void hottestGpu, calibration, everyKind;
  // @ts-expect-error a kind from the closed set
  hottest(snapshot, 'fan');
  // @ts-expect-error kinds are a closed set
  const notAKind: SensorKind = 'fan';
  // @ts-expect-error a kind may be absent from a snapshot
  const always: KindSummary = summary(snapshot).gpu;
  // @ts-expect-error kindOf takes a name, not a sensor
  kindOf(first);
  void notAKind, always;

  // @ts-expect-error the interval is a number of milliseconds
  watchSensors({ intervalMs: '500' });
  // @ts-expect-error the helper is a command as an array of words
  readSensors({ helper: '/usr/local/bin/calvex' });
  // @ts-expect-error a sensor's temperature is celsius, not t
  first?.t;
  // @ts-expect-error codes are a closed set
  const wrong: CalvexError['code'] = 'TIMEOUT';
  void wrong;
  const made = new CalvexError('HELPER_FAILED', 'the calvex helper exited with status 1');
  const withLine = new CalvexError('BAD_OUTPUT', 'calvex wrote a line that is not JSON: x', 'x');
  const asError: Error = made;
  void withLine, asError;
  // @ts-expect-error a code from the closed set
  new CalvexError('TIMEOUT', 'late');
  // @ts-expect-error a message is required
  new CalvexError('HELPER_FAILED');

  const pressure: ThermalPressure = await readThermalPressure({ helper: ['calvex-pressure'] });
  const level: number | null = pressure.level;
  for await (const each of watchThermalPressure({ intervalMs: 5000 })) {
    const name: 'nominal' | 'moderate' | 'heavy' | 'trapping' | 'sleeping' | 'unknown' = each.pressure;
    void name;
  }
  const pressurePath: string = bundledPressureHelperPath;
  const notAvailable: CalvexError['code'] = 'PRESSURE_NOT_AVAILABLE';
  void level, pressurePath, notAvailable;
  // @ts-expect-error a level is a number or null, never a string
  const asText: string = pressure.level;
  void asText;
}
void uses;

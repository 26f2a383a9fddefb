// Type tests of index.d.ts, checked with `tsc --strict --noEmit`: what must
// compile does, and each @ts-expect-error line must fail to.
import { CalvexError, bundledHelperPath, byName, hottest, readSensors, watchSensors } from './index.js';
import type { Options, Sensor, Snapshot } from './index.js';

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
      const code: 'IOKIT_NOT_AVAILABLE' | 'NO_HID_EVENT_SYSTEM' | 'UNSUPPORTED_PLATFORM' | 'HELPER_FAILED' | 'BAD_OUTPUT' = error.code;
      const line: string | undefined = error.line;
      const message: string = error.message;
      void code, line, message;
    }
  }
  void celsius, top, readings, path;

  // @ts-expect-error the interval is a number of milliseconds
  watchSensors({ intervalMs: '500' });
  // @ts-expect-error the helper is a command as an array of words
  readSensors({ helper: '/usr/local/bin/calvex' });
  // @ts-expect-error a sensor's temperature is celsius, not t
  first?.t;
  // @ts-expect-error codes are a closed set
  const wrong: CalvexError['code'] = 'TIMEOUT';
  void wrong;
}
void uses;

#!/usr/bin/env node
// A minimal monitoring app: spawns calvex as a helper child, reads its JSON
// lines, and prints the hottest sensor of each snapshot.
//
//   node examples/hottest-sensor.js [--snapshots N] [--interval MS] [-- COMMAND ARG...]
//
// Without a command it runs `calvex MS` from PATH. It exits after N
// snapshots (default 5); calvex notices its parent has gone and ends too.
'use strict';
const { spawn } = require('child_process');
const readline = require('readline');

function parseArguments(argv) {
  const options = { snapshots: 5, interval: 1000, command: null };
  for (let i = 0; i < argv.length; i++) {
    if (argv[i] === '--snapshots') options.snapshots = Number(argv[++i]);
    else if (argv[i] === '--interval') options.interval = Number(argv[++i]);
    else if (argv[i] === '--') { options.command = argv.slice(i + 1); break; }
    else throw new Error(`unknown argument ${argv[i]}`);
  }
  if (!options.command) options.command = ['calvex', String(options.interval)];
  return options;
}

// Calibration references (PMU tcal, PMU tcal2, PMU2 TR0Z, ...) read about
// 52 °C whatever the load: no part of the Mac is that hot, so they never
// count as the hottest. (The calvex package's hottest() does the same.)
const CALIBRATION = /^(?:(?:PMU|PMU2) tcal[0-9]*|PMU2 TR0Z)$/;

function hottest(sensors) {
  return sensors
    .filter((sensor) => !CALIBRATION.test(sensor.name))
    .reduce((best, sensor) => (best === null || sensor.t > best.t ? sensor : best), null);
}

function main() {
  const options = parseArguments(process.argv.slice(2));
  const child = spawn(options.command[0], options.command.slice(1), { stdio: ['ignore', 'pipe', 'inherit'] });
  console.log(`started calvex, pid ${child.pid}`);
  let seen = 0;

  child.on('error', (error) => {
    console.error(`cannot start calvex: ${error.message}`);
    process.exit(2);
  });
  child.on('exit', (code, signal) => {
    if (seen < options.snapshots) {
      console.error(`calvex ended early (${signal || 'status ' + code})`);
      process.exit(1);
    }
  });

  const lines = readline.createInterface({ input: child.stdout });
  lines.on('line', (line) => {
    const message = JSON.parse(line);
    if (message.error !== undefined) {
      console.log(`calvex reports: ${message.error}`);
      process.exit(1);
    }
    seen += 1;
    const top = hottest(message.sensors);
    const summary = top ? `${top.name} at ${top.t.toFixed(2)} °C` : 'no sensors';
    console.log(`snapshot ${seen}: ${message.sensors.length} sensors, hottest ${summary}`);
    // Leaving is all it takes: calvex ends by itself once its parent is gone.
    if (seen === options.snapshots) process.exit(0);
  });
}

main();

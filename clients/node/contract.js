// The contract every client follows, made by tools/shared-code.py from clients/shared/protocol.json, command-line.json and sensor-kinds.json: do not edit.
function deepFreeze(value) {
  if (value !== null && typeof value === 'object') for (const each of Object.values(value)) deepFreeze(each);
  return Object.freeze(value);
}

export const PROTOCOL = deepFreeze({
  "helpers": {
    "sensors": {
      "program": "calvex",
      "role": "the calvex helper",
      "errorLines": {
        "IOKit not available": "IOKIT_NOT_AVAILABLE",
        "no HID event system": "NO_HID_EVENT_SYSTEM"
      }
    },
    "pressure": {
      "program": "calvex-pressure",
      "role": "the calvex-pressure helper",
      "errorLines": {
        "thermal pressure not available": "PRESSURE_NOT_AVAILABLE",
        "no thermal pressure notification": "NO_PRESSURE_NOTIFICATION"
      }
    }
  },
  "pressureLevels": [
    "nominal",
    "moderate",
    "heavy",
    "trapping",
    "sleeping"
  ],
  "unknownPressure": "unknown",
  "longestLineBytes": 4194304,
  "keptLineStart": 200,
  "overLongStartBytes": 400,
  "deepestNesting": 64,
  "highestLevel": 9007199254740991,
  "intervalMs": {
    "shortest": 200,
    "default": 2000,
    "longest": 4294967
  },
  "stopGraceMs": 1000,
  "keptStderrBytes": 1024,
  "stderrTrimmed": " \t\n\u000b\f\r",
  "codes": {
    "IOKIT_NOT_AVAILABLE": "the helper could not load IOKit or CoreFoundation",
    "NO_HID_EVENT_SYSTEM": "the helper could not open the HID event system",
    "PRESSURE_NOT_AVAILABLE": "the pressure helper found no notify service",
    "NO_PRESSURE_NOTIFICATION": "the pressure helper could not register for the notification",
    "UNSUPPORTED_PLATFORM": "not macOS on arm64, and no helper was given; nothing was run",
    "HELPER_FAILED": "the helper could not start, was killed, exited without a line or while watched, or took longer than the timeout; the message says how",
    "BAD_OUTPUT": "the helper wrote a line that is neither a snapshot nor an error line"
  },
  "cannotStart": "cannot start {role} {program}: {reason}",
  "timedOut": "{role} did not finish within the timeout and was stopped",
  "silent": "{role} wrote no line for {seconds} s and was stopped",
  "readFailed": "reading {role}'s output failed: {error}",
  "stopped": "{role} stopped",
  "systemErrors": {
    "ENOENT": "no such file or folder",
    "EACCES": "permission denied",
    "EPERM": "permission denied",
    "ENOEXEC": "not a program this machine can run",
    "EISDIR": "it is a folder",
    "ENOTDIR": "a part of the path is not a folder",
    "EROFS": "the file system is read-only",
    "ENOSPC": "no space left on the device",
    "ENAMETOOLONG": "the name is too long",
    "ELOOP": "too many symbolic links"
  },
  "errnoNames": [
    "E2BIG",
    "EACCES",
    "EADDRINUSE",
    "EADDRNOTAVAIL",
    "EAFNOSUPPORT",
    "EAGAIN",
    "EALREADY",
    "EBADF",
    "EBUSY",
    "ECANCELED",
    "ECHILD",
    "ECONNABORTED",
    "ECONNREFUSED",
    "ECONNRESET",
    "EDEADLK",
    "EDOM",
    "EDQUOT",
    "EEXIST",
    "EFAULT",
    "EFBIG",
    "EHOSTUNREACH",
    "EINTR",
    "EINVAL",
    "EIO",
    "EISDIR",
    "ELOOP",
    "EMFILE",
    "EMLINK",
    "ENAMETOOLONG",
    "ENETDOWN",
    "ENETUNREACH",
    "ENFILE",
    "ENOBUFS",
    "ENODEV",
    "ENOENT",
    "ENOEXEC",
    "ENOLCK",
    "ENOMEM",
    "ENOSPC",
    "ENOSYS",
    "ENOTDIR",
    "ENOTEMPTY",
    "ENOTTY",
    "ENXIO",
    "EOVERFLOW",
    "EPERM",
    "EPIPE",
    "ERANGE",
    "EROFS",
    "ESPIPE",
    "ESRCH",
    "ETIMEDOUT",
    "ETXTBSY",
    "EXDEV"
  ],
  "signalNames": {
    "everywhere": [
      "SIGHUP",
      "SIGINT",
      "SIGQUIT",
      "SIGILL",
      "SIGTRAP",
      "SIGABRT",
      "SIGBUS",
      "SIGFPE",
      "SIGKILL",
      "SIGUSR1",
      "SIGSEGV",
      "SIGUSR2",
      "SIGPIPE",
      "SIGALRM",
      "SIGTERM",
      "SIGCHLD",
      "SIGCONT",
      "SIGSTOP",
      "SIGTSTP",
      "SIGTTIN",
      "SIGTTOU",
      "SIGURG",
      "SIGXCPU",
      "SIGXFSZ",
      "SIGVTALRM",
      "SIGPROF",
      "SIGWINCH",
      "SIGIO",
      "SIGSYS"
    ],
    "linux": [
      "SIGSTKFLT",
      "SIGPWR"
    ],
    "darwin": [
      "SIGEMT",
      "SIGINFO"
    ]
  }
});

export const COMMAND_LINE = deepFreeze({
  "usage": "usage: {prog} [-h] [--json] [--once | --watch [MS] | --report [SECONDS]] [--output FILE] [--version] [--helper CMD ...] [--pressure-helper CMD ...]",
  "help": "{usage}\n\nTemperature sensors of this Mac, read through the calvex helper.\n\noptions:\n  -h, --help            show this help message and exit\n  --json                write the sensor helper's lines as they are (with --once, then the pressure level as a JSON line)\n  --once                one snapshot, then exit (the default)\n  --watch [MS]          a new snapshot every MS milliseconds, from {shortestMs} to {longestMs} (default {defaultMs})\n  --report [SECONDS]    watch for SECONDS, from {shortestSeconds} to {longestSeconds} (default {defaultSeconds}), and write a layout report of this Mac to attach to a bug report\n  --output FILE         with --report: write the report to FILE (replaced whole), not standard output\n  --helper CMD ...      run CMD ... instead of the bundled sensor helper (comes last)\n  --pressure-helper CMD ...\n                        run CMD ... instead of the bundled thermal pressure helper (comes last)\n  --version             show the version and exit\n",
  "version": "calvex {version}",
  "usageError": "{usage}\n{prog}: error: {message}\n",
  "usageStatus": 2,
  "failureStatus": 1,
  "interruptedStatus": 130,
  "pressureTimeoutMs": 5000,
  "terminal": {
    "trendLength": 30,
    "numberWidth": 7
  },
  "report": {
    "heardWithinMs": 5000,
    "defaultSeconds": 10,
    "shortestSeconds": 1,
    "longestSeconds": 600,
    "intervalMs": 500,
    "format": 1,
    "constantAfterSnapshots": 3
  },
  "numbers": {
    "milliseconds": "^[0-9]+$",
    "seconds": "^[0-9]+(\\.[0-9]+)?$"
  },
  "messages": {
    "unknown": "unrecognized arguments: {words}",
    "needsValue": "argument {option}: expected one argument",
    "badWatch": "argument --watch: wants whole milliseconds from {shortestMs} to {longestMs}, not '{word}'",
    "badReport": "argument --report: wants seconds from {shortestSeconds} to {longestSeconds}, not '{word}'",
    "notAllowedWith": "argument {second}: not allowed with argument {first}",
    "outputWithoutReport": "--output goes with --report",
    "helperNeedsCommand": "{option} needs a command after it: {option} PATH [ARGUMENTS ...]",
    "helperTwice": "{option} is given twice: give it once, with its command last",
    "helperNul": "{option}: a word of the command must not contain a NUL character"
  },
  "sentences": {
    "IOKIT_NOT_AVAILABLE": "calvex: IOKit or CoreFoundation could not be loaded on this machine{said}.",
    "NO_HID_EVENT_SYSTEM": "calvex: the HID event system could not be opened{said}.",
    "UNSUPPORTED_PLATFORM": "calvex: the bundled helper runs on macOS on Apple Silicon only, and this is {system} {machine}: give one with --helper.",
    "cannotWriteReport": "calvex: cannot write the report to {file}: {reason}.",
    "reportWritten": "calvex: {count} {sensors}, {unknown} of them unknown to the kind table; report written to {where}. Attach it to a bug report: that is how a new Mac gets supported.",
    "reportHelperFailed": "calvex: the sensor helper failed ({code}: {meaning}), so the report holds no sensors; it was written to {where}. Attach it to a bug report all the same: it shows how the helper failed."
  }
});

export const KIND_TABLE = deepFreeze({
  "kinds": [
    "cpu",
    "gpu",
    "soc",
    "neural",
    "storage",
    "battery",
    "calibration",
    "other"
  ],
  "unmatched": "other",
  "notAPart": {
    "kind": "calibration",
    "why": "A reference that reads near-constant, not a part of the chip: never the hottest part, and no hottest of its own in a report."
  },
  "lowestPlausible": {
    "about": "The lowest reading of each kind that can be a temperature, in degrees Celsius: 10, the lowest ambient temperature Apple rates its Macs to run in, below which no powered die, controller or sensor block of a running Mac reads (the M1's PMU tdev4 and tdev5 at -21.5, a power-gated GPU block at 5.0 are not temperatures). The battery has none: one just brought in from the cold can truly read below it. hottest and summary leave a reading below its kind's floor out.",
    "celsius": {
      "cpu": 10.0,
      "gpu": 10.0,
      "soc": 10.0,
      "neural": 10.0,
      "storage": 10.0,
      "battery": null,
      "calibration": 10.0,
      "other": 10.0
    }
  },
  "placeholder": {
    "about": "A reading of exactly this many degrees, of any kind, is a placeholder the system publishes where it has no reading (noname on the M3 Pro, the battery on a macOS beta, a generic GPU name on an M5): hottest and summary leave it out.",
    "celsius": 0.0
  },
  "rows": [
    {
      "kind": "cpu",
      "pattern": "(?:pACC|eACC) MTR Temp Sensor[0-9]+",
      "ignoreCase": false,
      "measures": "performance and efficiency core clusters, earlier chips"
    },
    {
      "kind": "cpu",
      "pattern": "(?:PMU|PMU2) tdie[0-9]+",
      "ignoreCase": false,
      "measures": "CPU die sensors, later chips"
    },
    {
      "kind": "gpu",
      "pattern": "GPU MTR Temp Sensor[0-9]+",
      "ignoreCase": false,
      "measures": "GPU, earlier chips"
    },
    {
      "kind": "gpu",
      "pattern": "(?:PMU|PMU2) TP[0-9]+g",
      "ignoreCase": false,
      "measures": "GPU sensors, later chips"
    },
    {
      "kind": "neural",
      "pattern": "ANE MTR Temp Sensor[0-9]+",
      "ignoreCase": false,
      "measures": "the neural engine"
    },
    {
      "kind": "soc",
      "pattern": "(?:PMGR SOC Die|SOC MTR|ISP MTR) Temp Sensor[0-9]+",
      "ignoreCase": false,
      "measures": "the rest of the chip: power manager, fabric, image processor"
    },
    {
      "kind": "storage",
      "pattern": "NAND CH[0-9]+ temp",
      "ignoreCase": false,
      "measures": "the SSD's flash channels"
    },
    {
      "kind": "battery",
      "pattern": "[\\s\\S]*battery[\\s\\S]*",
      "ignoreCase": true,
      "measures": "the battery (gas gauge battery)"
    },
    {
      "kind": "calibration",
      "pattern": "(?:PMU|PMU2) tcal[0-9]*|PMU2 TR0Z",
      "ignoreCase": false,
      "measures": "calibration references, near-constant whatever the load: a temperature of nothing, kept out of the hottest reading"
    }
  ]
});

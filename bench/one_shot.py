"""One-shot reads in every client on the same scenario: the time from the
call to the value (the helper's start, its one line, its reap), in
alternating rounds of one run, so machine noise hits all three alike; each
client's process is started once per round and only its reads are timed.

    /usr/bin/python3 bench/one_shot.py BUILD [ROUNDS]"""

import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Dict, List

ROOT = Path(__file__).resolve().parents[1]
READS_PER_ROUND = 20


def main() -> int:
    build = Path(sys.argv[1]).resolve()
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    helper = ["/usr/bin/env", "CALVEX_SIM_CLOCK=virtual", f"CALVEX_SIM_SCENARIO={ROOT}/sim/scenarios/laptop.scenario",
              str(build / "sim" / "simrun"), str(build / "calvex")]
    with tempfile.TemporaryDirectory() as scratch:
        oneshot = Path(scratch) / "oneshot"
        subprocess.run(["go", "build", "-o", str(oneshot), "."], cwd=ROOT / "bench" / "go" / "oneshot", check=True,
                       env={**os.environ, "GOFLAGS": "-buildvcs=false"})
        commands = {
            "Go": [str(oneshot)],
            "Node": ["node", str(ROOT / "bench" / "one_shot_node.mjs")],
            "Python": ["/usr/bin/python3", str(ROOT / "bench" / "one_shot_python.py")],
        }
        times: Dict[str, List[int]] = {name: [] for name in commands}
        for _ in range(rounds):
            for name, command in commands.items():
                done = subprocess.run([*command, str(READS_PER_ROUND), *helper], capture_output=True, text=True, check=True)
                times[name] += [int(line) for line in done.stdout.split()]
    median = {name: statistics.median(each) for name, each in times.items()}
    reads = rounds * READS_PER_ROUND
    for name in commands:
        print(f"| One-shot read, laptop scenario: {name} client, call to value (median of {reads}) | {median[name]:.0f} µs |")
    print(f"| One-shot read: ratio Go / Node / Python, same run | 1 / {median['Node'] / median['Go']:.2f} / {median['Python'] / median['Go']:.2f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())

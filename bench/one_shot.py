"""One-shot reads in every client on the same scenario: the time from the
call to the value (the helper's start, its one line, its reap), in
alternating rounds of one run, so machine noise hits all three alike; each
client's process is started once per round and only its reads are timed.
The floor is the helper alone, run from this process in the same rounds
(spawn, its one line, reap, nothing else): each client is given as a ratio
to it, so overhead can be told from noise.

    /usr/bin/python3 bench/one_shot.py BUILD [ROUNDS]"""

import os
import statistics
import subprocess
import sys
import tempfile
import time
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
            # Node's spawn costs more than the others' (libuv forks the whole
            # process): its own floor, to tell the client from the runtime.
            "Node, no client": ["node", str(ROOT / "bench" / "one_shot_node.mjs"), "--bare"],
        }
        clients = ["Go", "Node", "Python"]
        times: Dict[str, List[int]] = {name: [] for name in [*commands, "floor"]}
        for _ in range(rounds):
            for name, command in commands.items():
                done = subprocess.run([*command, str(READS_PER_ROUND), *helper], capture_output=True, text=True, check=True)
                times[name] += [int(line) for line in done.stdout.split()]
            times["floor"] += [helper_alone([*helper, "--once"]) for _ in range(READS_PER_ROUND)]
    median = {name: statistics.median(each) for name, each in times.items()}
    reads = rounds * READS_PER_ROUND
    print(f"| One-shot read, laptop scenario: the helper alone, spawned from the bench (median of {reads}) | {median['floor']:.0f} µs |")
    for name in clients:
        print(f"| One-shot read, laptop scenario: {name} client, call to value (median of {reads}) | {median[name]:.0f} µs |")
    print(f"| One-shot read, laptop scenario: the helper spawned by Node itself, no client (median of {reads}) | {median['Node, no client']:.0f} µs |")
    ratios = " / ".join(f"{median[name] / median['floor']:.2f}" for name in clients)
    print(f"| One-shot read: Go / Node / Python as a ratio to the helper alone, same run (goal: 1.2 or less) | {ratios} |")
    print(f"| One-shot read: the Node client as a ratio to Node's own spawn, same run | {median['Node'] / median['Node, no client']:.2f} |")
    return 0


def helper_alone(command: List[str]) -> int:
    """Microseconds from spawning the helper to its reap, its line read."""
    started = time.perf_counter_ns()
    with subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE) as process:
        assert process.stdout is not None
        process.stdout.readline()
        process.stdout.read()
    return (time.perf_counter_ns() - started) // 1000


if __name__ == "__main__":
    sys.exit(main())

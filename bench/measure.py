#!/usr/bin/env python3
"""Measures calvex on the simulated platform and prints the figures as a
Markdown table: start-up against a floor program, instructions per snapshot
and per entry (callgrind), heap allocations, resident size, binary sizes.

Usage: bench/measure.py BUILD_DIR [--quick]"""
import os
import re
import statistics
import subprocess
import sys
import tempfile

BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
QUICK = "--quick" in sys.argv
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CALVEX = os.path.join(BUILD, "calvex")
PRESSURE = os.path.join(BUILD, "calvex-pressure")
SIM = os.path.join(BUILD, "sim")
BENCH = os.path.join(BUILD, "bench")
SCRATCH = tempfile.mkdtemp(prefix="calvex-bench-")


def sim_environment(notify=False, **variables):
    """The simulated platform; with notify, its notify service too (only
    calvex-pressure needs it, and calvex's figures are taken without it)."""
    environment = {k: v for k, v in os.environ.items() if not k.startswith("CALVEX_SIM_")}
    environment["LD_PRELOAD"] = os.path.join(SIM, "libsim_preload.so")
    if notify:
        environment["LD_PRELOAD"] += ":" + os.path.join(SIM, "libsim_notify.so")
    environment.update({f"CALVEX_SIM_{k.upper()}": str(v) for k, v in variables.items()})
    return environment


def scenario_with(services):
    """services valid, named sensors, like a large machine's list."""
    path = os.path.join(SCRATCH, f"services-{services}.scenario")
    with open(path, "w") as file:
        file.write("snapshot\n")
        for i in range(services):
            file.write(f"sensor {25 + (i % 3500) / 100:.3f} \"PMU tdie{i}\"\n")
    return path


# ---- start-up -------------------------------------------------------------

def startup(tool=CALVEX):
    runs = 60 if QUICK else 400
    rounds = []
    for _ in range(3):
        out = subprocess.run([os.path.join(BENCH, "bench_startup"), str(runs), "--", tool, "--once", "--",
                              os.path.join(BENCH, "bench_floor")],
                             env=sim_environment(notify=tool == PRESSURE), check=True, capture_output=True, text=True).stdout
        rounds.append(tuple(float(x) for x in out.split()))
    calvex = statistics.median(r[0] for r in rounds)
    floor = statistics.median(r[1] for r in rounds)
    return runs * 3, calvex, floor


# ---- callgrind ------------------------------------------------------------

NAME = re.compile(r"^\((\d+)\)(?: (.*))?$")


def parse_callgrind(path):
    """Total Ir, and Ir spent inside calls from the calvex executable into
    the simulated platform's libraries."""
    names = {}

    def name(value):
        match = NAME.match(value)
        if not match:
            return value
        if match.group(2) is not None:
            names[match.group(1)] = match.group(2)
        return names.get(match.group(1), value)

    total = 0
    into_sim = 0
    current_object = callee_object = None
    pending_call = False
    for line in open(path, errors="replace"):
        line = line.rstrip("\n")
        if line.startswith("ob="):
            current_object = name(line[3:])
        elif line.startswith("cob="):
            callee_object = name(line[4:])
        elif line.startswith(("fl=", "fi=", "fe=", "fn=", "cfi=", "cfl=", "cfn=")):
            key, value = line.split("=", 1)
            name(value) if key in ("fn", "cfn") else None
        elif line.startswith("calls="):
            pending_call = True
        elif line.startswith("totals:") or line.startswith("summary:"):
            total = int(line.split()[1])
        elif line and (line[0].isdigit() or line[0] in "+-*"):
            if pending_call:
                target = callee_object or current_object
                if current_object == CALVEX and "/libsim_" in (target or ""):
                    into_sim += int(line.split()[1])
                pending_call = False
                callee_object = None
    return total, into_sim


def callgrind(command, environment):
    out = os.path.join(SCRATCH, "callgrind.out")
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}"] + command,
                   env=environment, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return parse_callgrind(out)


def per_snapshot(services, snapshots=(1, 11)):
    """Instructions per snapshot: the tool's own, and the platform's."""
    scenario = scenario_with(services)
    results = []
    for count in snapshots:
        total, sim = callgrind([CALVEX, "200"],
                               sim_environment(clock="virtual", ppid=f"{count}:1", scenario=scenario))
        results.append((total - sim, sim))
    span = snapshots[1] - snapshots[0]
    return ((results[1][0] - results[0][0]) / span, (results[1][1] - results[0][1]) / span)


def printf_cost():
    counts = (1, 10001)
    totals = [callgrind([os.path.join(BENCH, "bench_printf_cost"), str(n)], dict(os.environ))[0] for n in counts]
    return (totals[1] - totals[0]) / (counts[1] - counts[0])


# ---- heap and memory -------------------------------------------------------

def allocations(snapshots):
    """Heap allocations by who asked: calvex's own code, the C library
    (for calvex, e.g. the stdout buffer), the loader (dlopen of the
    frameworks), and the simulated platform (with libstdc++)."""
    report = os.path.join(SCRATCH, "allocs")
    environment = sim_environment(clock="virtual", ppid=f"{snapshots}:1")
    environment["LD_PRELOAD"] = os.path.join(BENCH, "libbench_count_allocs.so") + ":" + environment["LD_PRELOAD"]
    environment["CALVEX_BENCH_ALLOCS"] = report
    subprocess.run([CALVEX, "200"], env=environment, check=True, stdout=subprocess.DEVNULL)
    counts = {"calvex": 0, "libc": 0, "loader": 0, "platform": 0}
    for line in open(report):
        count, obj = line.rstrip("\n").split(" ", 1)
        if "/libsim_" in obj or "libstdc++" in obj:
            counts["platform"] += int(count)
        elif os.path.realpath(obj) == os.path.realpath(CALVEX):
            counts["calvex"] += int(count)
        elif "/ld-linux" in obj:
            counts["loader"] += int(count)
        else:
            counts["libc"] += int(count)
    return counts


def resident_kb(snapshots, runs=5):
    """Median peak resident size, and anonymous resident size at exit."""
    ledger = os.path.join(SCRATCH, "ledger")
    peaks, anonymous = [], []
    for _ in range(runs):
        subprocess.run([CALVEX, "200"], env=sim_environment(clock="virtual", ppid=f"{snapshots}:1", ledger=ledger),
                       check=True, stdout=subprocess.DEVNULL)
        text = open(ledger).read()
        peaks.append(int(re.search(r"max-rss-kb (\d+)", text).group(1)))
        anonymous.append(int(re.search(r"anon-rss-kb (\d+)", text).group(1)))
    return statistics.median(peaks), statistics.median(anonymous)


def main():
    rows = []
    runs, calvex_us, floor_us = startup()
    rows.append(("Start-up to first line, `calvex --once` (median of %d)" % runs, "%.0f µs" % calvex_us))
    rows.append(("Start-up to first line, floor program (median of %d)" % runs, "%.0f µs" % floor_us))
    rows.append(("Ratio calvex / floor", "%.2fx" % (calvex_us / floor_us)))
    runs, pressure_us, floor_us = startup(PRESSURE)
    rows.append(("Start-up to first line, `calvex-pressure --once` (median of %d)" % runs, "%.0f µs" % pressure_us))
    rows.append(("Start-up to first line, floor program, same run (median of %d)" % runs, "%.0f µs" % floor_us))
    rows.append(("Ratio calvex-pressure / floor", "%.2fx" % (pressure_us / floor_us)))

    sizes = {n: per_snapshot(n) for n in (0, 64, 1024)}
    for n, (tool, sim) in sizes.items():
        rows.append((f"Instructions per snapshot, {n} services: tool / simulated platform",
                     f"{tool:,.0f} / {sim:,.0f}"))
    per_entry = (sizes[1024][0] - sizes[0][0]) / 1024
    predicted_64 = sizes[0][0] + 64 * per_entry
    rows.append(("Tool instructions per kept entry", f"{per_entry:,.0f}"))
    rows.append(("Linearity: 64 services measured / predicted from 0 and 1024",
                 f"{sizes[64][0]:,.0f} / {predicted_64:,.0f} ({100 * (sizes[64][0] / predicted_64 - 1):+.1f}%)"))
    reference = printf_cost()
    rows.append(('One `printf("%.2f")` of a temperature', f"{reference:,.0f} instructions"))
    rows.append(("Tool per entry / one printf", f"{per_entry / reference:.2f}x"))

    for snapshots in (1, 10000):
        c = allocations(snapshots)
        rows.append((f"Heap allocations, {snapshots:,} snapshot(s): calvex code / C library / loader / platform",
                     f"{c['calvex']} / {c['libc']} / {c['loader']} / {c['platform']:,}"))
    for snapshots in (1, 100000):
        peak, anonymous = resident_kb(snapshots)
        rows.append((f"Resident size, {snapshots:,} snapshot(s): peak (median of 5) / anonymous at exit",
                     f"{peak:,.0f} kB / {anonymous:,.0f} kB"))
    rows.append(("Linux binary `build/calvex`", f"{os.path.getsize(CALVEX):,} bytes"))
    macos = os.path.join(ROOT, "dist", "calvex-macos-arm64")
    macos_size = f"{os.path.getsize(macos):,} bytes" if os.path.exists(macos) else \
        "not built on this run (`tools/build-macos-arm64.sh` makes it)"
    rows.append(("macOS arm64 binary `dist/calvex-macos-arm64`", macos_size))
    rows.append(("Linux binary `build/calvex-pressure`", f"{os.path.getsize(PRESSURE):,} bytes"))
    macos = os.path.join(ROOT, "dist", "calvex-pressure-macos-arm64")
    macos_size = f"{os.path.getsize(macos):,} bytes" if os.path.exists(macos) else \
        "not built on this run (`tools/build-macos-arm64.sh` makes it)"
    rows.append(("macOS arm64 binary `dist/calvex-pressure-macos-arm64`", macos_size))

    print("| Measure | Figure |")
    print("|---|---|")
    for label, figure in rows:
        print(f"| {label} | {figure} |")


if __name__ == "__main__":
    main()

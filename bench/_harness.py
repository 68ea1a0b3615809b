"""What the timing and memory benchmarks share: medians of repeated calls,
the peak resident memory of a call in a fresh interpreter, and the engine's
arguments at the package's defaults."""

from __future__ import annotations

import json
import statistics
import subprocess
import sys
import textwrap
import time


def median_time(function, repeats):
    """Median wall time of `repeats` calls, and all the times."""
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return statistics.median(times), times


def median_wall_and_cpu(function, repeats):
    """Median wall time, all wall times, and median process CPU time (all
    threads) of `repeats` calls."""
    times, cpu = [], []
    for _ in range(repeats):
        start, start_cpu = time.perf_counter(), time.process_time()
        function()
        times.append(time.perf_counter() - start)
        cpu.append(time.process_time() - start_cpu)
    return statistics.median(times), times, statistics.median(cpu)


def alternate(calls, x, repeats, skip=()):
    """Runs every call (name -> function of x) once per round, in order,
    `repeats` rounds, leaving out the names in `skip`. Returns the wall
    times and the process CPU times (all threads) by name."""
    times = {name: [] for name in calls}
    cpu = {name: [] for name in calls}
    for _ in range(repeats):
        for name, call in calls.items():
            if name in skip:
                continue
            start, start_cpu = time.perf_counter(), time.process_time()
            call(x)
            times[name].append(time.perf_counter() - start)
            cpu[name].append(time.process_time() - start_cpu)
    return times, cpu


def sizes(text):
    """Series lengths from a comma-separated option."""
    return [int(size) for size in text.split(",") if size]


def rounds(ways, repeats):
    """Runs every way (name -> function) once per round, `repeats` rounds,
    rotating which goes first. Returns the wall times and the processors
    kept busy (processor time over wall time) by name, and each way's last
    result."""
    import os

    names = list(ways)
    times = {name: [] for name in names}
    busy = {name: [] for name in names}
    results = {}
    for round_ in range(repeats):
        for name in names[round_ % len(names):] + names[:round_ % len(names)]:
            cpu = os.times()
            start = time.perf_counter()
            results[name] = ways[name]()
            wall = time.perf_counter() - start
            after = os.times()
            times[name].append(wall)
            busy[name].append((after.user + after.system - cpu.user - cpu.system) / wall)
    return times, busy, results


def processors():
    """The processors this process may run on."""
    import os

    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()


def engine_arguments(method="native", **given):
    """Keyword arguments of ``quarn._engine.run``: the method's options at
    their defaults from the options table, `given` on top."""
    from quarn._runner import engine_arguments
    from quarn.options import check_options

    arguments = engine_arguments(check_options({"method": method}))
    return {**arguments, "skip_missing": False, **given}


# Runs in the child: builds the series in place (so that no temporary array
# raises the high-water mark), measures the call, prints one JSON line.
_CHILD = textwrap.dedent("""
    import json, resource, sys, time
    import numpy as np

    call, n = sys.argv[1], int(sys.argv[2])
    rng = np.random.default_rng(0)
    series = np.empty(n)
    for start in range(0, n, 100_000):
        piece = series[start:start + 100_000]
        rng.standard_normal(out=piece)
        piece += rng.choice([-3.0, 0.0, 3.0])

    def peak():
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024

    namespace = {"np": np}
    exec(sys.argv[3], namespace)  # defines run(series) -> number of change points
    before = peak()
    start = time.perf_counter()
    found = namespace["run"](series)
    seconds = time.perf_counter() - start
    print(json.dumps({"before": before, "peak": peak(), "seconds": seconds, "found": found}))
""")


def child_peak(name, n, setup):
    """Peak resident bytes of one call in a fresh interpreter (Unix).

    The child builds `n` values of Gaussian noise whose level moves every
    100,000 values, runs `setup` (Python source defining ``run(series)``,
    returning the number of change points found) and reports the
    resident-set high-water mark before and after the call, with the result
    still held. Returns ``{"before", "peak", "seconds", "found"}``.
    """
    completed = subprocess.run(
        [sys.executable, "-c", _CHILD, name, str(n), textwrap.dedent(setup)],
        capture_output=True, text=True, check=True,
    )
    return json.loads(completed.stdout)

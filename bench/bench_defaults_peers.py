"""The defaults side by side with ruptures Binseg(l2) and with the native
method, in one run.

    python bench/bench_defaults_peers.py [--sizes 1000,5000,20000,100000,1000000]
                                         [--repeats 3] [--binseg-limit 100000]

Series: Gaussian noise with a level shift of 1.5 standard deviations every
1,000 values, up or down at random (bench/_shifts.py).
Three calls per series, in turn: ``quarn.detect(x)`` (the
defaults), ruptures ``Binseg(model="l2")`` with the penalty
2 log(n) var(x), and ``quarn.detect(x, method="native")``. Prints the median
wall time of each and the ratios Binseg / defaults (how many times faster
the defaults are) and defaults / native (how many times slower), and the
same two ratios of processor time (all threads of this process), which a
machine shared with other work disturbs less than wall time.

Binseg runs only up to ``--binseg-limit`` values; above it its time is
estimated from its growth between the two largest sizes it ran (a power law
through them), and marked "est.".
"""

from __future__ import annotations

import argparse
import math
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np  # noqa: E402

import _peers  # noqa: E402
from _shifts import level_shifts  # noqa: E402

import quarn  # noqa: E402



def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="1000,5000,20000,100000,1000000")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--binseg-limit", type=int, default=100000)
    args = parser.parse_args()
    if not _peers.available():
        sys.exit("ruptures is not installed")
    calls = {
        "defaults": lambda x: quarn.detect(x),
        "binseg": _peers.binseg,
        "native": lambda x: quarn.detect(x, method="native"),
    }
    cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    print(f"processors: {cpus}; load average (1 min) {os.getloadavg()[0]:.2f} before; "
          f"medians of {args.repeats}")
    print(f"{'n':>9} {'defaults s':>11} {'Binseg s':>14} {'native s':>10} "
          f"{'Binseg/defaults':>16} {'defaults/native':>16} {'us/value':>9} "
          f"{'cpu Binseg/def':>15} {'cpu def/native':>15}")
    binseg_seen: list[tuple[int, float]] = []
    binseg_cpu_seen: list[tuple[int, float]] = []
    for n in (int(s) for s in args.sizes.split(",")):
        x = level_shifts(n)
        quarn.detect(x[: min(n, 1000)])  # warm up
        times: dict[str, list[float]] = {name: [] for name in calls}
        cpu: dict[str, list[float]] = {name: [] for name in calls}
        for _ in range(args.repeats):
            for name, call in calls.items():
                if name == "binseg" and n > args.binseg_limit:
                    continue
                start, start_cpu = time.perf_counter(), time.process_time()
                call(x)
                times[name].append(time.perf_counter() - start)
                cpu[name].append(time.process_time() - start_cpu)
        medians = {name: statistics.median(v) for name, v in times.items() if v}
        cpu_medians = {name: statistics.median(v) for name, v in cpu.items() if v}
        estimated = "binseg" not in medians
        if estimated:
            for seen, table in ((binseg_seen, medians), (binseg_cpu_seen, cpu_medians)):
                if len(seen) < 2:
                    table["binseg"] = math.nan
                else:
                    (n0, t0), (n1, t1) = seen[-2:]
                    growth = math.log(t1 / t0) / math.log(n1 / n0)
                    table["binseg"] = t1 * (n / n1) ** growth
        else:
            binseg_seen.append((n, medians["binseg"]))
            binseg_cpu_seen.append((n, cpu_medians["binseg"]))
        binseg_cell = f"{medians['binseg']:.3f}" + (" est." if estimated else "")
        print(f"{n:>9} {medians['defaults']:>11.4f} {binseg_cell:>14} {medians['native']:>10.4f} "
              f"{medians['binseg'] / medians['defaults']:>16.1f} "
              f"{medians['defaults'] / medians['native']:>16.2f} "
              f"{medians['defaults'] / n * 1e6:>9.2f} "
              f"{cpu_medians['binseg'] / cpu_medians['defaults']:>15.1f} "
              f"{cpu_medians['defaults'] / cpu_medians['native']:>15.2f}")
    print(f"load average (1 min) {os.getloadavg()[0]:.2f} after")


if __name__ == "__main__":
    main()

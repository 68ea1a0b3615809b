"""What cheaper candidate detectors would save: the processor time of the
confirm method's candidate detector (its window sizes and replicates, run
through the native method) next to variants that would change results.

    python bench/plan_candidates.py [--sizes 1000,5000,20000,100000] [--repeats 5]

Series: Gaussian noise with a level shift of 1.5 standard deviations every
1,000 values, up or down at random (bench/_shifts.py).
Variants: today's sizes and replicates; 100 replicates; the
largest size left out; sizes capped at 250 values; the largest size left out
and 100 replicates. Prints median processor seconds (all threads, so that a
busy machine distorts them less than wall time) and each variant's share of
today's. None of the variants is checked for accuracy here: bench/accuracy.py
decides whether any may become the default.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np  # noqa: E402

from _shifts import level_shifts  # noqa: E402

import quarn  # noqa: E402
from quarn import _engine  # noqa: E402



def replicates(n: int) -> int:
    return min(max(15_000_000 // n, 100), 300)


def variants(n: int) -> dict[str, tuple[list[int], int]]:
    sizes = [int(s) for s in _engine.method_window_sizes(n)]
    reps = replicates(n)
    capped = sorted({min(s, 250) for s in sizes})
    return {
        "today": (sizes, reps),
        "100 replicates": (sizes, 100),
        "no largest size": (sizes[:-1], reps),
        "sizes <= 250": (capped, reps),
        "no largest, 100 reps": (sizes[:-1], 100),
    }


def cpu_seconds(x: np.ndarray, sizes: list[int], reps: int, repeats: int) -> float:
    times = []
    for _ in range(repeats):
        start = time.process_time()
        quarn.detect(x, method="native", window_sizes=sizes, n_perm=reps)
        times.append(time.process_time() - start)
    return statistics.median(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="1000,5000,20000,100000")
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    print(f"load average (1 min) {os.getloadavg()[0]:.2f}; medians of {args.repeats}")
    for n in (int(s) for s in args.sizes.split(",")):
        x = level_shifts(n)
        start = time.process_time()
        for _ in range(args.repeats):
            quarn.detect(x)
        whole = (time.process_time() - start) / args.repeats
        rows = variants(n)
        print(f"\nn = {n:,}: whole defaults {whole:.4f} cpu s (mean); "
              f"sizes {rows['today'][0]}, {rows['today'][1]} replicates")
        print(f"{'variant':>22} {'cpu s':>9} {'share':>7}")
        today = None
        for name, (sizes, reps) in rows.items():
            seconds = cpu_seconds(x, sizes, reps, args.repeats)
            today = today or seconds
            print(f"{name:>22} {seconds:9.4f} {seconds / today:7.2f}")


if __name__ == "__main__":
    main()

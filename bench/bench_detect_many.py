"""Many series on one machine: engine.detect_many against a loop of single
calls (engine.detect, and the native quarn_detector given numpy arrays).

Default: 2,000 series of 5,000 values, default detector options. The
three ways run in turn, --repeats rounds (rotating which goes first), and
the medians, their ratios and the processors kept busy (processor time over
wall time) are printed; every way's results are checked to be the same.

    python bench/bench_detect_many.py [--series 2000] [--length 5000] [--repeats 3]
"""

import argparse
import os
import statistics
import time

import numpy as np

import quarn._engine as engine
import quarn._quarn_native as native
from quarn._native_form import detection_as_native


def make_batch(count, length, seed=0):
    """Noise with a change of level or spread at a random place in each series."""
    rng = np.random.default_rng(seed)
    batch = []
    for _ in range(count):
        values = rng.normal(size=length)
        cut = rng.integers(length // 4, 3 * length // 4)
        if rng.random() < 0.5:
            values[cut:] += rng.choice([-2.0, 2.0])
        else:
            values[cut:] *= rng.choice([0.5, 2.0])
        batch.append(values)
    return batch


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--series", type=int, default=2000)
    parser.add_argument("--length", type=int, default=5000)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    batch = make_batch(args.series, args.length)

    ways = {
        "native loop": lambda: [native.quarn_detector(s) for s in batch],
        "engine loop": lambda: [engine.detect(s) for s in batch],
        "detect_many": lambda: engine.detect_many(batch),
    }
    names = list(ways)
    times = {name: [] for name in names}
    busy = {name: [] for name in names}  # processor seconds per wall second
    results = {}
    for round_ in range(args.repeats):
        order = names[round_ % len(names):] + names[:round_ % len(names)]
        for name in order:
            cpu = os.times()
            start = time.perf_counter()
            results[name] = ways[name]()
            wall = time.perf_counter() - start
            after = os.times()
            times[name].append(wall)
            busy[name].append((after.user + after.system - cpu.user - cpu.system) / wall)

    expected = results["native loop"]
    assert all(detection_as_native(r) == e for r, e in zip(results["engine loop"], expected))
    assert all(detection_as_native(r) == e for r, e in zip(results["detect_many"], expected))

    cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    print(f"{args.series} series x {args.length} values, {cpus} cpus, "
          f"{args.repeats} rounds; results identical")
    medians = {name: statistics.median(times[name]) for name in names}
    base = medians["native loop"]
    print(f"{'way':>12} {'median s':>9} {'min s':>8} {'max s':>8} {'cpus busy':>9} "
          f"{'vs native loop':>15} {'vs engine loop':>15}")
    for name in names:
        print(f"{name:>12} {medians[name]:>9.2f} {min(times[name]):>8.2f} "
              f"{max(times[name]):>8.2f} {statistics.median(busy[name]):>9.2f} "
              f"{base / medians[name]:>14.2f}x {medians['engine loop'] / medians[name]:>14.2f}x")


if __name__ == "__main__":
    main()

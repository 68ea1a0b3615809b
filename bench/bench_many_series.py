"""Many series through the package: quarn.detect_many against a loop of
quarn.detect, side by side in one run.

Default: 2,000 series of 5,000 values (noise with a change of level or
spread at a random place), default options. The two ways run in turn,
--repeats rounds (alternating which goes first); the script checks that
they find the same change points, and prints for each way the median, the
fastest and the slowest wall time, the processors the process kept busy
(its processor time over the wall time: near 2 on two free processors, near
1 when other work holds one of them), and the ratio of the medians. The
load average before and after tells whether the machine was free.

    python bench/bench_many_series.py [--series 2000] [--length 5000] [--repeats 3]
"""

import argparse
import os
import statistics
import time

import numpy as np
import pandas as pd

import quarn


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


def loop(batch):
    frames = [quarn.detect(series).to_frame().assign(series=i) for i, series in enumerate(batch)]
    columns = ["series", "position", "label", "votes", "score", "probability", "kind", "p_value"]
    return pd.concat(frames, ignore_index=True)[columns]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--series", type=int, default=2000)
    parser.add_argument("--length", type=int, default=5000)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    batch = make_batch(args.series, args.length)
    ways = {"loop of detect": lambda: loop(batch), "detect_many": lambda: quarn.detect_many(batch)}
    names = list(ways)
    times = {name: [] for name in names}
    busy = {name: [] for name in names}
    found = {}
    load_before = os.getloadavg()
    for round_ in range(args.repeats):
        for name in names if round_ % 2 == 0 else names[::-1]:
            cpu = os.times()
            start = time.perf_counter()
            found[name] = ways[name]()
            wall = time.perf_counter() - start
            after = os.times()
            times[name].append(wall)
            busy[name].append((after.user + after.system - cpu.user - cpu.system) / wall)
    load_after = os.getloadavg()
    pd.testing.assert_frame_equal(found["loop of detect"], found["detect_many"])

    cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    print(f"{args.series} series x {args.length} values, {cpus} processors, {args.repeats} rounds; "
          f"the same {len(found['detect_many'])} change points both ways")
    print(f"load average (1 min) {load_before[0]:.2f} before, {load_after[0]:.2f} after")
    medians = {name: statistics.median(times[name]) for name in names}
    print(f"{'way':>15} {'median s':>9} {'min s':>7} {'max s':>7} {'cpus busy':>10}")
    for name in names:
        print(f"{name:>15} {medians[name]:>9.2f} {min(times[name]):>7.2f} {max(times[name]):>7.2f} "
              f"{statistics.median(busy[name]):>10.2f}")
    print(f"detect_many is {medians['loop of detect'] / medians['detect_many']:.2f}x the loop "
          "(ratio of medians)")


if __name__ == "__main__":
    main()

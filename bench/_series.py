"""Synthetic benchmark series: Gaussian noise whose level or spread changes
every 1,000 values."""

import random


def piecewise_noise(n, segment=1000, seed=0):
    rng = random.Random(seed)
    values = []
    level, scale = 0.0, 1.0
    for start in range(0, n, segment):
        if start:
            if (start // segment) % 2:
                level += rng.choice([-3.0, 3.0])
            else:
                scale = rng.choice([0.5, 2.0])
        values.extend(level + scale * rng.gauss(0.0, 1.0) for _ in range(min(segment, n - start)))
    return values


def median_time(function, repeats):
    import statistics
    import time

    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return statistics.median(times), times


def median_wall_and_cpu(function, repeats):
    """Median wall time, all wall times, and median process CPU time (all
    threads) of `repeats` calls."""
    import statistics
    import time

    times, cpu = [], []
    for _ in range(repeats):
        start, start_cpu = time.perf_counter(), time.process_time()
        function()
        times.append(time.perf_counter() - start)
        cpu.append(time.process_time() - start_cpu)
    return statistics.median(times), times, statistics.median(cpu)

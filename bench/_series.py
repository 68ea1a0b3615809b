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


def make_batch(count, length, seed=0):
    """Noise with a change of level or spread at a random place in each series."""
    import numpy as np

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

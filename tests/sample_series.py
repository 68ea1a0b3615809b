"""Series the tests share: seeded noise with changes of level, spread and shape.

Pure Python (no numpy), so every test module and child interpreter can use
them. Uniform noise comes from a 64-bit linear congruential generator, which
gives the same values on every platform and Python version; Gaussian noise
from ``random.Random``.
"""

import random


def lcg_uniform(n, seed):
    """n values uniform on [0, 1) from a 64-bit linear congruential generator."""
    state = seed
    for _ in range(n):
        state = (state * 6364136223846793005 + 1442695040888963407) % 2**64
        yield (state >> 11) / 2**53


def piecewise(n, levels=(0.0,), scales=(1.0,), seed=1):
    """Uniform noise on [-0.5, 0.5) times a spread, plus a level; levels and
    spreads each change at equal fractions of the series."""
    return [
        levels[i * len(levels) // n] + scales[i * len(scales) // n] * (u - 0.5)
        for i, u in enumerate(lcg_uniform(n, seed))
    ]


def shape_changes(n=1800, seed=3):
    """The same mean throughout, changes of distribution only: uniform, then
    a two-point-like mixture, then uniform rounded to 2 digits (with ties)."""
    values = []
    for i, u in enumerate(lcg_uniform(n, seed)):
        part = i * 3 // n
        if part == 1:
            values.append(-0.5 if u < 0.5 else 0.5)
        else:
            values.append(round(u - 0.5, 2 if part == 2 else 6))
    return values


def gauss_step(n=240, at=120, shift=4.0, seed=3, digits=None):
    """Gaussian noise whose mean jumps by ``shift`` at position ``at``; values
    rounded to ``digits`` decimals when given (as a file would hold them)."""
    rng = random.Random(seed)
    values = [rng.gauss(0.0, 1.0) + (shift if i >= at else 0.0) for i in range(n)]
    return values if digits is None else [round(v, digits) for v in values]


def noisy_series(n=400, seed=1):
    """Gaussian noise whose level alternates every 100 values (0, 3) and
    whose spread alternates every 150 (1, 2)."""
    rng = random.Random(seed)
    values = []
    for i in range(n):
        level = 3.0 if (i // 100) % 2 else 0.0
        scale = 2.0 if (i // 150) % 2 else 1.0
        values.append(level + scale * rng.gauss(0, 1))
    return values

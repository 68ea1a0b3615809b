"""The speed benchmarks' series: Gaussian noise with a level shift of 1.5
standard deviations every 1,000 values, up or down at random (a level that
wanders). Shifts that only alternate up and down would make a square wave of
period 2,000, a periodic series that sends the confirm method down its
seasonal path, so that it would time a different path."""

from __future__ import annotations

import numpy as np


def level_shifts(n: int, seed: int = 0) -> np.ndarray:
    rng = np.random.default_rng(seed)
    segments = (n + 999) // 1000
    steps = np.concatenate([[0.0], rng.choice([-1.5, 1.5], size=max(segments - 1, 0))])
    return rng.normal(size=n) + np.repeat(np.cumsum(steps), 1000)[:n]

"""Level shifts without noise: the defaults find exactly the steps.

The periodogram of such a series ripples with deep nulls; none of its crests
may be taken for a seasonal cycle, which, removed, would leave smooth
remainders that hide every step.
"""

from __future__ import annotations

import numpy as np
import pytest

import quarn


def steps(levels: list[float], length: int) -> np.ndarray:
    return np.repeat(np.asarray(levels, dtype=float), length)


@pytest.mark.parametrize(
    ("levels", "length"),
    [
        ([0, 3, 1, 4], 80),
        ([0, 1, 0], 100),
        ([0, 1, 0, 1], 100),
        ([0, 1], 50),
        ([5, -2, 5], 120),
        ([0, 2, 0, 2, 0], 60),
        ([1, 4, 2, 4, 1], 45),
        ([0, 1, 2, 3, 4, 5], 70),
        ([0, 1e6, 0], 200),
    ],
)
def test_noise_free_steps_are_found_exactly(levels: list[float], length: int) -> None:
    result = quarn.detect(steps(levels, length))
    assert result.seasonal_period is None
    assert [c.position for c in result.change_points] == [length * k for k in range(1, len(levels))]


@pytest.mark.parametrize(("length", "seed"), [(100, 1), (100, 2), (1000, 3)])
def test_steps_with_tiny_noise_on_few_values_are_found(length: int, seed: int) -> None:
    # Noise far too small to fill the nulls of the steps' periodogram, on
    # every 7th value.
    x = steps([0, 5, 0], length)
    x[::7] += 1e-3 * np.random.default_rng(seed).standard_normal(x[::7].size)
    assert [c.position for c in quarn.detect(x).change_points] == [length, 2 * length]


def test_a_noise_free_cycle_is_still_found() -> None:
    t = np.arange(400)
    result = quarn.detect(np.sin(2 * np.pi * t / 24) + 0.5 * np.sin(4 * np.pi * t / 24))
    assert result.seasonal_period == pytest.approx(24.0, abs=0.1)

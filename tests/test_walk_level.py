"""Level shifts in a random walk beneath noise (a local level model).

A walk wanders: at any allowance for AR(1) noise the split tests read its
wandering as changes of level. A shift in a walk stands out only as a jump
of the local level far larger than the walk's own steps over the same
values; noise that does not wander (independent or AR(1)) keeps its shifts.
"""

from __future__ import annotations

import numpy as np
import pytest

import quarn

RATIOS = (0.05, 0.15, 0.4)  # sd of the walk's steps over that of the noise
NOISES = ("gauss", "t")


def walk(seed: int, n: int, ratio: float, noise: str) -> np.ndarray:
    rng = np.random.default_rng(seed)
    if noise == "gauss":
        e = rng.standard_normal(n)
    else:
        e = rng.standard_t(4, n) / np.sqrt(2.0)  # unit variance, heavy tails
    return np.cumsum(rng.standard_normal(n) * ratio) + e


def positions(x: np.ndarray) -> list[int]:
    return [p.position for p in quarn.detect(x).change_points]


# Alarms per 1000 values over ten change-free walks of 1000 and 4000 values
# (main's method raised some 2.6 to 3, 7 and 13 at these ratios).
ALARM_BOUND = {0.05: 2.5, 0.15: 5.5, 0.4: 10.0}


@pytest.mark.parametrize("noise", NOISES)
@pytest.mark.parametrize("ratio", RATIOS)
def test_change_free_walks_raise_few_alarms(ratio, noise):
    values = alarms = with_any = 0
    for n in (1000, 4000):
        for seed in range(5):
            found = positions(walk(1000 + seed, n, ratio, noise))
            values += n
            alarms += len(found)
            with_any += bool(found)
    assert 1000 * alarms / values <= ALARM_BOUND[ratio]
    assert with_any <= 9


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("noise", NOISES)
@pytest.mark.parametrize("ratio", RATIOS)
def test_large_shifts_in_a_walk_are_found_where_they_are(ratio, noise, seed):
    x = walk(11 * seed + 3, 3000, ratio, noise)
    size = 10.0 * max(1.0, 4.0 * ratio)  # far beyond the walk's steps
    x[1000:] += size
    x[2000:] -= size
    found = positions(x)
    for shift in (1000, 2000):
        assert min(abs(p - shift) for p in found) <= 3, found


def stationary(kind: str, seed: int, n: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    e = rng.standard_normal(n)
    if kind == "white":
        return e
    phi = {"ar1-0.6": 0.6, "ar1-0.9": 0.9}[kind]
    x = np.empty(n)
    x[0] = e[0]
    for t in range(1, n):
        x[t] = phi * x[t - 1] + np.sqrt(1.0 - phi * phi) * e[t]
    return x


STATIONARY_CASES = [
    pytest.param(
        kind,
        seed,
        marks=pytest.mark.xfail(strict=True, reason=reason) if reason else (),
        id=f"{kind}-{seed}",
    )
    for kind in ("white", "ar1-0.6", "ar1-0.9")
    for seed in range(3)
    for reason in [
        {
            ("ar1-0.9", 2): "the shift at 800 is not found (the split tests miss it)",
        }.get((kind, seed))
    ]
]


@pytest.mark.parametrize(("kind", "seed"), STATIONARY_CASES)
def test_shifts_in_noise_that_does_not_wander_are_kept(kind, seed):
    # Shifts of 4 marginal sd, up and back down.
    x = stationary(kind, 40 + seed, 2400)
    x[800:1600] += 4.0
    found = positions(x)
    assert len(found) == 2, found
    for shift, p in zip((800, 1600), found):
        assert abs(p - shift) <= 3, found

"""Synthetic series with known change points, drawn from fixed seeds.

Five families with changes (mean shifts in Gaussian, AR(1) and Student-t(3)
noise, changes of spread, changes of shape at equal mean and variance) and
five kinds of change-free noise. Every series is a pure function of its
family, its index and the suite's base seed, so runs are comparable.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

#: Families with changes, in table order.
FAMILIES = ("mean_gauss", "variance", "mean_ar1", "mean_t3", "shape")

#: Change-free noise kinds, in table order.
NULL_KINDS = ("gauss", "ar1", "t3", "uniform", "laplace")

# Shortest segment of each family. Shape changes at equal mean and variance
# move the distribution function by only about 0.05, which takes several
# hundred values on each side to see at all.
_MIN_SEGMENT = {"mean_gauss": 40, "variance": 60, "mean_ar1": 80, "mean_t3": 40, "shape": 400}
_LENGTHS = {"shape": (1000, 5000)}
_DEFAULT_LENGTHS = (200, 5000)


@dataclass(frozen=True)
class SyntheticSeries:
    """One synthetic series and its true change points."""

    family: str
    index: int
    values: np.ndarray
    change_points: list[int]


def _rng(base_seed: int, group: str, index: int, *salt: int) -> np.random.Generator:
    """The generator of series `index` of `group` (a family or kind) in the
    suite of `base_seed`; another suite adds its `salt`."""
    tag = sum(ord(c) << (8 * (i % 7)) for i, c in enumerate(group))
    return np.random.default_rng([base_seed, tag, index, *salt])


def _length(rng: np.random.Generator, low: int, high: int) -> int:
    return int(round(np.exp(rng.uniform(np.log(low), np.log(high)))))


def _change_points(rng: np.random.Generator, n: int, min_segment: int) -> list[int]:
    most = max(1, min(8, n // (2 * min_segment)))
    count = int(rng.integers(1, most + 1))
    # Spread the slack left after the minimum segments at random.
    slack = n - (count + 1) * min_segment
    cuts = np.sort(rng.integers(0, slack + 1, size=count))
    return [int(c + (i + 1) * min_segment) for i, c in enumerate(cuts)]


def _unit_noise(rng: np.random.Generator, kind: str, n: int, rho: float = 0.0) -> np.ndarray:
    """Noise of mean 0 and variance 1."""
    if kind == "gauss":
        return rng.standard_normal(n)
    if kind == "t3":
        return rng.standard_t(3, n) / np.sqrt(3.0)
    if kind == "uniform":
        return rng.uniform(-np.sqrt(3.0), np.sqrt(3.0), n)
    if kind == "laplace":
        return rng.laplace(0.0, 1.0 / np.sqrt(2.0), n)
    if kind == "ar1":
        innovations = rng.standard_normal(n) * np.sqrt(1.0 - rho * rho)
        values = np.empty(n)
        values[0] = rng.standard_normal()
        for t in range(1, n):
            values[t] = rho * values[t - 1] + innovations[t]
        return values
    raise ValueError(f"unknown noise kind {kind!r}")


def _segments(n: int, cps: list[int]) -> list[tuple[int, int]]:
    bounds = [0, *cps, n]
    return list(zip(bounds, bounds[1:]))


def _signed(rng: np.random.Generator, low: float, high: float) -> float:
    return float(rng.uniform(low, high) * rng.choice([-1.0, 1.0]))


def with_changes(family: str, index: int, base_seed: int = 2024) -> SyntheticSeries:
    """One series of a family with changes.

    Args:
        family: One of ``FAMILIES``.
        index: Which series of the family.
        base_seed: Seed of the whole suite.

    Returns:
        The series and its true change points.
    """
    rng = _rng(base_seed, family, index)
    n = _length(rng, *_LENGTHS.get(family, _DEFAULT_LENGTHS))
    cps = _change_points(rng, n, _MIN_SEGMENT[family])
    values = np.empty(n)
    if family in ("mean_gauss", "mean_t3", "mean_ar1"):
        kind = {"mean_gauss": "gauss", "mean_t3": "t3", "mean_ar1": "ar1"}[family]
        rho = float(rng.uniform(0.3, 0.7))
        noise = _unit_noise(rng, kind, n, rho)
        low, high = (1.5, 3.5) if family == "mean_ar1" else (1.0, 3.0)
        level = 0.0
        for i, (a, b) in enumerate(_segments(n, cps)):
            if i:
                level += _signed(rng, low, high)
            values[a:b] = level + noise[a:b]
    elif family == "variance":
        noise = _unit_noise(rng, "gauss", n)
        log_scale = 0.0
        for i, (a, b) in enumerate(_segments(n, cps)):
            if i:
                log_scale += _signed(rng, np.log(1.75), np.log(3.5))
                log_scale = float(np.clip(log_scale, -3.0, 3.0))
            values[a:b] = np.exp(log_scale) * noise[a:b]
    elif family == "shape":
        kinds = ("gauss", "uniform", "laplace")
        current = int(rng.integers(3))
        for i, (a, b) in enumerate(_segments(n, cps)):
            if i:
                current = (current + int(rng.integers(1, 3))) % 3
            values[a:b] = _unit_noise(rng, kinds[current], b - a)
    else:
        raise ValueError(f"unknown family {family!r}")
    return SyntheticSeries(family, index, values, cps)


def change_free(kind: str, index: int, base_seed: int = 2024, lengths=_DEFAULT_LENGTHS) -> SyntheticSeries:
    """One change-free series of a noise kind.

    Args:
        kind: One of ``NULL_KINDS``.
        index: Which series of the kind.
        base_seed: Seed of the whole suite.
        lengths: Smallest and largest length; lengths are log-uniform.

    Returns:
        The series, with no change points.
    """
    rng = _rng(base_seed, "null_" + kind + str(lengths), index)
    n = _length(rng, *lengths)
    rho = float(rng.uniform(0.3, 0.7))
    return SyntheticSeries("null_" + kind, index, _unit_noise(rng, kind, n, rho), [])

"""Synthetic series with structure in time, drawn from fixed seeds.

Families with changes: level shifts on a seasonal cycle (of any period, and
of only 4 to 8 periods in the series), level shifts in
strongly persistent AR(1) noise and in a random walk plus noise, periodic
signals whose waveform, period or amplitude changes, small changes of level
or spread on long stretches, and level shifts next to isolated spikes.
Recordings of repeated patterns whose state changes (random waveforms,
pulses and bursts with jittered cycles, noise and a slow wander) imitate
motion and sensor recordings; harder ones (states that differ only a
little in period, amplitude or waveform, a period that drifts within a
state, dropouts and outliers) imitate their flaws. Change-free kinds: the same structures
without changes. Every series is a
pure function of its family, its index and the suite's base seed.

Periods are drawn from a continuous range (not integers only), and some are
longer than the candidate detector's largest window.
"""

from __future__ import annotations

import numpy as np

from _synthetic import SyntheticSeries, _signed
from _synthetic import _rng as _suite_rng

#: Families with changes, in table order.
FAMILIES = (
    "seasonal_level",
    "seasonal_few_level",
    "ar1_strong_level",
    "walk_level",
    "pattern",
    "recording",
    "recording_hard",
    "long_small",
    "spike_level",
)

#: Change-free kinds, in table order.
NULL_KINDS = ("seasonal", "seasonal_few", "ar1_strong", "walk", "periodic", "recording", "recording_hard", "long", "spike")


#: One structured series and its true change points.
StructuredSeries = SyntheticSeries


def _rng(base_seed: int, group: str, index: int) -> np.random.Generator:
    return _suite_rng(base_seed, group, index, 17)


def _log_uniform(rng: np.random.Generator, low: float, high: float) -> float:
    return float(np.exp(rng.uniform(np.log(low), np.log(high))))


def _cuts(rng: np.random.Generator, n: int, count: int, min_segment: int) -> list[int]:
    count = max(0, min(count, n // min_segment - 1))
    slack = n - (count + 1) * min_segment
    cuts = np.sort(rng.integers(0, slack + 1, size=count))
    return [int(c + (i + 1) * min_segment) for i, c in enumerate(cuts)]


def _steps(rng: np.random.Generator, n: int, cps: list[int], low: float, high: float) -> np.ndarray:
    level = np.zeros(n)
    for c in cps:
        level[c:] += _signed(rng, low, high)
    return level


def _wave(kind: str, phase: np.ndarray) -> np.ndarray:
    """A waveform of period 1 with mean 0 and variance 1."""
    p = phase % 1.0
    if kind == "sine":
        return np.sqrt(2.0) * np.sin(2 * np.pi * p)
    if kind == "square":
        return np.where(p < 0.5, 1.0, -1.0)
    if kind == "sawtooth":
        return np.sqrt(3.0) * (2.0 * p - 1.0)
    if kind == "two-tone":
        return np.sin(2 * np.pi * p) + np.sin(6 * np.pi * p + 1.0)
    if kind == "pulse":
        w = np.exp(-0.5 * ((p - 0.5) / 0.06) ** 2)
        return (w - w.mean()) / w.std()
    raise ValueError(kind)


WAVES = ("sine", "square", "sawtooth", "two-tone", "pulse")


def _seasonal(rng: np.random.Generator, n: int, period: float) -> np.ndarray:
    """A smooth seasonal cycle: one or two harmonics, amplitude 1 to 3 sd."""
    t = np.arange(n)
    shift = rng.uniform()
    cycle = np.sin(2 * np.pi * (t / period + shift))
    if rng.uniform() < 0.5:
        cycle = cycle + rng.uniform(0.2, 0.6) * np.sin(4 * np.pi * (t / period + shift) + rng.uniform(0, 6))
    cycle = cycle / cycle.std()
    return rng.uniform(1.0, 3.0) * cycle


def ar1_noise(rng: np.random.Generator, n: int, phi: float) -> np.ndarray:
    innovations = rng.standard_normal(n) * np.sqrt(1.0 - phi * phi)
    values = np.empty(n)
    values[0] = rng.standard_normal()
    for t in range(1, n):
        values[t] = phi * values[t - 1] + innovations[t]
    return values


def _walk(rng: np.random.Generator, n: int) -> np.ndarray:
    """A random walk with steps of 0.05 to 0.2 noise sd, plus unit noise."""
    return np.cumsum(rng.standard_normal(n) * rng.uniform(0.05, 0.2)) + rng.standard_normal(n)


def _periodic(rng: np.random.Generator, n: int, cps: list[int]) -> np.ndarray:
    """Periodic signal plus noise whose waveform, period or amplitude changes at cps."""
    wave = WAVES[int(rng.integers(len(WAVES)))]
    period = rng.uniform(10.0, 60.0)
    amplitude = 1.0
    noise = rng.uniform(0.2, 0.5)
    values = np.empty(n)
    phase = rng.uniform()
    bounds = [0, *cps, n]
    for i, (a, b) in enumerate(zip(bounds, bounds[1:])):
        if i:
            what = ("waveform", "period", "amplitude")[int(rng.integers(3))]
            if what == "waveform":
                wave = WAVES[(WAVES.index(wave) + int(rng.integers(1, len(WAVES)))) % len(WAVES)]
            elif what == "period":
                factor = rng.uniform(1.5, 3.0)
                period = period * factor if period * factor <= 90.0 or period / factor < 10.0 else period / factor
            else:
                amplitude *= rng.choice([1.0 / rng.uniform(1.5, 3.0), rng.uniform(1.5, 3.0)])
        t = np.arange(b - a)
        values[a:b] = amplitude * _wave(wave, phase + t / period)
        phase = phase + (b - a) / period  # the phase runs on without a jump
    return values + noise * rng.standard_normal(n)


def _random_shape(rng: np.random.Generator) -> np.ndarray:
    """One cycle of a random waveform on a grid of 512 phases, mean 0 and sd 1.

    Smooth shapes from a few harmonics with random sizes and phases, pulse
    trains (one or two bumps of random width), and bursts (a fast
    oscillation under an envelope that covers part of the cycle).
    """
    p = np.arange(512) / 512.0
    style = ("harmonics", "harmonics", "pulses", "burst")[int(rng.integers(4))]
    if style == "harmonics":
        shape = np.zeros_like(p)
        for h in range(1, int(rng.integers(2, 6)) + 1):
            shape += rng.normal() / h * np.sin(2 * np.pi * h * p + rng.uniform(0, 2 * np.pi))
    elif style == "pulses":
        shape = np.zeros_like(p)
        for _ in range(int(rng.integers(1, 3))):
            centre, width = rng.uniform(), rng.uniform(0.03, 0.2)
            gap = (p - centre + 0.5) % 1.0 - 0.5
            shape += _signed(rng, 0.5, 1.5) * np.exp(-0.5 * (gap / width) ** 2)
    else:
        start, length = rng.uniform(), rng.uniform(0.2, 0.6)
        inside = ((p - start) % 1.0) / length
        envelope = np.where(inside < 1.0, np.sin(np.pi * np.minimum(inside, 1.0)), 0.0)
        shape = envelope * np.sin(2 * np.pi * rng.uniform(4.0, 10.0) * p)
    shape = shape - shape.mean()
    sd = shape.std()
    return shape / sd if sd > 0 else np.sin(2 * np.pi * p) * np.sqrt(2.0)


def _recording(rng: np.random.Generator, n: int, states: int) -> tuple[np.ndarray, list[int]]:
    """A recording of repeated patterns whose state changes.

    Each state repeats its own waveform at its own period and amplitude; the
    next state differs by waveform, period (x1.3 to 3), amplitude, or a mix.
    Every cycle's length varies by about 10 % and its size by about 10 %;
    noise and a slow baseline wander come on top.
    """
    base = _log_uniform(rng, 8.0, 120.0)
    shapes, periods, amplitudes = [_random_shape(rng)], [base], [1.0]
    for _ in range(states - 1):
        what = ("waveform", "period", "amplitude", "mix")[int(rng.integers(4))]
        shape, period, amplitude = shapes[-1], periods[-1], amplitudes[-1]
        if what in ("waveform", "mix"):
            shape = _random_shape(rng)
        if what in ("period", "mix"):
            factor = rng.uniform(1.3, 3.0)
            up = period * factor <= 4.0 * base or period / factor < 6.0
            period = period * factor if up else period / factor
        if what in ("amplitude", "mix") and (what == "amplitude" or rng.uniform() < 0.5):
            factor = rng.uniform(1.5, 3.0)
            amplitude = amplitude * factor if rng.uniform() < 0.5 or amplitude < 0.5 else amplitude / factor
        shapes.append(shape)
        periods.append(period)
        amplitudes.append(amplitude)
    cps = _cuts(rng, n, states - 1, max(n // (2 * states), int(6 * max(periods))))
    bounds = [0, *cps, n]
    values = np.empty(n)
    grid = np.arange(512) / 512.0
    phase = rng.uniform()
    for i, (a, b) in enumerate(zip(bounds, bounds[1:])):
        cycle_period = periods[i] * rng.uniform(0.9, 1.1)
        cycle_size = amplitudes[i] * rng.uniform(0.9, 1.1)
        for t in range(a, b):
            values[t] = cycle_size * np.interp(phase % 1.0, grid, shapes[i], period=1.0)
            phase += 1.0 / cycle_period
            if phase >= 1.0:
                phase -= 1.0
                cycle_period = periods[i] * rng.uniform(0.9, 1.1)
                cycle_size = amplitudes[i] * rng.uniform(0.9, 1.1)
    t = np.arange(n) / n
    wander = sum(
        rng.normal() * np.sin(2 * np.pi * rng.uniform(0.5, 3.0) * t + rng.uniform(0, 2 * np.pi))
        for _ in range(3)
    )
    values += rng.uniform(0.1, 0.5) * wander + rng.uniform(0.05, 0.4) * rng.standard_normal(n)
    return values, [bounds[i] for i in range(1, len(bounds) - 1)]


def _hard_recording(rng: np.random.Generator, n: int, states: int) -> tuple[np.ndarray, list[int]]:
    """A recording whose states differ little, with the flaws of real sensors.

    The next state differs by its period alone (x1.1 to 1.3 either way), by
    its amplitude alone (x1.3 to 2), or by its waveform alone at the same
    period. Within a state the period drifts slowly (up to 15 % over the
    state) and every cycle's phase and size jitter; the waveforms are
    non-sinusoidal motifs. The states' lengths are drawn as 2 to 10 of their
    periods, then scaled together to fill the n values. On top: noise, a slow
    wander, a few dropouts (short stretches stuck at one value) and isolated
    outliers. Returns the values and the true change points.
    """
    base = _log_uniform(rng, 10.0, 80.0)
    shape, period, amplitude = _random_shape(rng), base, 1.0
    plan = []
    for i in range(states):
        if i:
            what = ("period", "amplitude", "waveform")[int(rng.integers(3))]
            if what == "period":
                factor = rng.uniform(1.1, 1.3)
                period = period * factor if period * factor <= 3.0 * base or period / factor < 6.0 else period / factor
            elif what == "amplitude":
                factor = rng.uniform(1.3, 2.0)
                amplitude = amplitude * factor if rng.uniform() < 0.5 or amplitude < 0.5 else amplitude / factor
            else:
                shape = _random_shape(rng)
        plan.append((shape, period, amplitude, period * rng.uniform(2.0, 10.0)))
    total = sum(p[3] for p in plan)
    bounds = np.round(np.cumsum([0.0] + [p[3] * n / total for p in plan])).astype(int)
    grid = np.arange(512) / 512.0
    values = np.empty(n)
    phase = rng.uniform()
    for (shape, period, amplitude, _), a, b in zip(plan, bounds, bounds[1:]):
        drift = rng.uniform(-0.15, 0.15)
        cycle_period = period * rng.uniform(0.95, 1.05)
        cycle_size = amplitude * rng.uniform(0.9, 1.1)
        for t in range(a, b):
            values[t] = cycle_size * np.interp(phase % 1.0, grid, shape, period=1.0)
            phase += 1.0 / (cycle_period * (1.0 + drift * (t - a) / (b - a)))
            if phase >= 1.0:
                phase = phase - 1.0 + rng.normal(0.0, 0.02)
                cycle_period = period * rng.uniform(0.95, 1.05)
                cycle_size = amplitude * rng.uniform(0.9, 1.1)
    t = np.arange(n) / n
    wander = sum(
        rng.normal() * np.sin(2 * np.pi * rng.uniform(0.5, 3.0) * t + rng.uniform(0, 2 * np.pi))
        for _ in range(3)
    )
    values += rng.uniform(0.1, 0.4) * wander + rng.uniform(0.05, 0.3) * rng.standard_normal(n)
    for _ in range(int(rng.integers(0, 4))):
        start = int(rng.integers(n))
        values[start : start + int(rng.integers(3, 20))] = values[start]
    for _ in range(int(rng.integers(0, 6))):
        values[int(rng.integers(n))] += _signed(rng, 4.0, 10.0)
    return values, [int(c) for c in bounds[1:-1]]


def with_changes(family: str, index: int, base_seed: int = 2024) -> StructuredSeries:
    """Series `index` of `family` (one of ``FAMILIES``) in the suite of
    `base_seed`, with its true change points."""
    rng = _rng(base_seed, family, index)
    if family == "seasonal_level":
        n = int(_log_uniform(rng, 500, 5000))
        period = _log_uniform(rng, 6.0, min(400.0, n / 4.0))
        cps = _cuts(rng, n, int(rng.integers(1, 4)), max(60, int(period)))
        values = _seasonal(rng, n, period) + rng.standard_normal(n) + _steps(rng, n, cps, 1.5, 3.0)
    elif family == "seasonal_few_level":
        n = int(_log_uniform(rng, 500, 5000))
        period = n / rng.uniform(4.0, 8.0)
        cps = _cuts(rng, n, int(rng.integers(1, 4)), max(60, int(period / 2)))
        values = _seasonal(rng, n, period) + rng.standard_normal(n) + _steps(rng, n, cps, 1.5, 3.0)
    elif family == "ar1_strong_level":
        n = int(_log_uniform(rng, 500, 5000))
        cps = _cuts(rng, n, int(rng.integers(1, 4)), 150)
        values = ar1_noise(rng, n, rng.uniform(0.9, 0.97)) + _steps(rng, n, cps, 3.0, 5.0)
    elif family == "walk_level":
        n = int(_log_uniform(rng, 500, 5000))
        cps = _cuts(rng, n, int(rng.integers(1, 4)), 150)
        values = _walk(rng, n) + _steps(rng, n, cps, 3.0, 5.0)
    elif family == "pattern":
        n = int(_log_uniform(rng, 500, 5000))
        cps = _cuts(rng, n, int(rng.integers(1, 4)), 300)
        values = _periodic(rng, n, cps)
    elif family == "recording":
        n = int(_log_uniform(rng, 1000, 20000))
        values, cps = _recording(rng, n, int(rng.integers(2, 7)))
    elif family == "recording_hard":
        values, cps = _hard_recording(rng, int(_log_uniform(rng, 1000, 20000)), int(rng.integers(2, 9)))
    elif family == "long_small":
        n = int(_log_uniform(rng, 1e4, 1e5))
        cps = _cuts(rng, n, int(rng.integers(1, 4)), n // 6)
        if rng.uniform() < 0.5:
            values = rng.standard_normal(n) + _steps(rng, n, cps, 0.1, 0.3)
        else:
            scale = np.ones(n)
            for c in cps:
                scale[c:] *= rng.uniform(1.1, 1.3) ** rng.choice([-1.0, 1.0])
            values = scale * rng.standard_normal(n)
    elif family == "spike_level":
        n = int(_log_uniform(rng, 300, 5000))
        cps = [int(n * rng.uniform(0.35, 0.65))]
        values = rng.standard_normal(n) + _steps(rng, n, cps, 3.0, 3.0)
        spot = int(n * rng.uniform(0.05, 0.3)) if rng.uniform() < 0.5 else int(n * rng.uniform(0.7, 0.95))
        values[spot] += _signed(rng, 1.0, 1.0) * _log_uniform(rng, 5.0, 1000.0)
    else:
        raise ValueError(f"unknown family {family!r}")
    return StructuredSeries(family, index, values, cps)


def change_free(kind: str, index: int, base_seed: int = 2024) -> StructuredSeries:
    """Change-free series `index` of `kind` (one of ``NULL_KINDS``) in the
    suite of `base_seed`."""
    rng = _rng(base_seed, "null_" + kind, index)
    n = int(_log_uniform(rng, 500, 5000))
    if kind == "seasonal":
        period = _log_uniform(rng, 6.0, min(400.0, n / 4.0))
        values = _seasonal(rng, n, period) + rng.standard_normal(n)
    elif kind == "seasonal_few":
        values = _seasonal(rng, n, n / rng.uniform(4.0, 8.0)) + rng.standard_normal(n)
    elif kind == "ar1_strong":
        values = ar1_noise(rng, n, rng.uniform(0.9, 0.97))
    elif kind == "walk":
        values = _walk(rng, n)
    elif kind == "periodic":
        values = _periodic(rng, n, [])
    elif kind == "recording":
        n = int(_log_uniform(rng, 1000, 20000))
        values, _ = _recording(rng, n, 1)
    elif kind == "recording_hard":
        values, _ = _hard_recording(rng, int(_log_uniform(rng, 1000, 20000)), 1)
    elif kind == "long":
        n = int(_log_uniform(rng, 1e4, 1e5))
        values = rng.standard_normal(n)
    elif kind == "spike":
        n = int(_log_uniform(rng, 300, 5000))
        values = rng.standard_normal(n)
        for _ in range(int(rng.integers(1, 4))):
            values[int(rng.integers(n))] += _signed(rng, 1.0, 1.0) * _log_uniform(rng, 5.0, 1000.0)
    else:
        raise ValueError(f"unknown kind {kind!r}")
    return StructuredSeries("null_" + kind, index, values, [])

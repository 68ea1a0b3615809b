"""Changes of a repeated pattern: found with the kind "pattern", written
and read back, shown by the command line; and none on a pattern that holds."""

import json
import subprocess
import sys

import numpy as np
import pytest

import quarn


def wave(name, phase):
    p = phase % 1.0
    if name == "sine":
        return np.sqrt(2.0) * np.sin(2 * np.pi * p)
    if name == "square":
        return np.where(p < 0.5, 1.0, -1.0)
    # a narrow pulse once a cycle
    return 4.0 * np.exp(-0.5 * ((p - 0.5) / 0.06) ** 2) - 0.6


def recording(states, seed, noise=0.3):
    """States of (waveform, period, length), the phase running on."""
    rng = np.random.default_rng(seed)
    parts, phase = [], 0.0
    for name, period, length in states:
        t = np.arange(length)
        parts.append(wave(name, phase + t / period))
        phase += length / period
    values = np.concatenate(parts)
    return values + noise * rng.normal(size=len(values))


# The same values in the same shares, only in another order; then a
# change of waveform at the same period.
PERIOD = [("square", 20.0, 1500), ("square", 50.0, 1500)]
WAVEFORM = [("sine", 30.0, 1200), ("pulse", 30.0, 1800)]


@pytest.mark.parametrize("states, at", [(PERIOD, 1500), (WAVEFORM, 1200)], ids=["period", "waveform"])
@pytest.mark.parametrize("seed", [1, 2])
def test_a_change_of_pattern_is_found_as_one(states, at, seed):
    result = quarn.detect(recording(states, seed))
    found = result.change_points
    assert [(abs(p.position - at) <= 40, p.kind) for p in found] == [(True, "pattern")]
    assert found[0].p_value <= 0.05
    # Reported like every change: an interval about it, no direction for a
    # pattern, and the segments on either side.
    low, high = found[0].interval
    assert low <= found[0].position <= high and found[0].direction is None
    assert [(s.start, s.stop) for s in result.segments] == [(0, found[0].position),
                                                            (found[0].position, result.n_samples)]


@pytest.mark.parametrize("name, period", [("sine", 17.0), ("square", 33.3), ("pulse", 45.0)])
@pytest.mark.parametrize("seed", [3, 4])
def test_a_pattern_that_holds_gives_no_change(name, period, seed):
    assert not quarn.detect(recording([(name, period, 4000)], seed)).change_points


def wandering(period, n, seed):
    """A cycle whose every length and size varies by up to 10 %, on a
    baseline that wanders slowly (a few random sines over the whole series)."""
    rng = np.random.default_rng(seed)
    values = np.empty(n)
    phase, length, size = 0.0, period, 1.0
    for t in range(n):
        p = phase % 1.0
        values[t] = size * (np.sin(2 * np.pi * p) + 0.8 * np.sin(6 * np.pi * p + 1.0) + (1.5 if p < 0.15 else 0.0))
        phase += 1.0 / length
        if phase >= 1.0:
            phase -= 1.0
            length = period * rng.uniform(0.9, 1.1)
            size = rng.uniform(0.9, 1.1)
    u = np.arange(n) / n
    wander = sum(rng.normal() * np.sin(2 * np.pi * rng.uniform(0.5, 3.0) * u + rng.uniform(0, 2 * np.pi))
                 for _ in range(3))
    return values + 0.4 * wander + 0.2 * rng.normal(size=n)


@pytest.mark.parametrize("period, n, seed", [(10.0, 18000, 2), (10.0, 18000, 4), (8.0, 12000, 3)])
def test_a_slow_wander_of_the_baseline_under_a_cycle_is_no_change(period, n, seed):
    # The jitter blurs the cycle's spectral peak, so the cycle stays in place
    # and the blocks' means (which follow the wander) are compared.
    assert quarn.detect(wandering(period, n, seed)).change_points == ()


def test_the_kind_survives_json_and_the_same_for_any_number_of_workers():
    values = recording(PERIOD, 5)
    results = [quarn.detect(values, workers=w) for w in (1, 2, 4)]
    assert len({tuple((p.position, p.kind, p.p_value) for p in r.change_points) for r in results}) == 1
    read = quarn.DetectionResult.from_json(results[0].to_json())
    assert [p.kind for p in read.change_points] == ["pattern"]
    assert read == results[0]


def test_the_command_line_names_the_kind(tmp_path):
    (tmp_path / "x.txt").write_text("\n".join(f"{v:.6f}" for v in recording(PERIOD, 6)))
    run = [sys.executable, "-m", "quarn", "detect", "x.txt"]
    table = subprocess.run(run, cwd=tmp_path, capture_output=True, text=True, check=True).stdout
    assert "pattern" in table
    document = json.loads(
        subprocess.run([*run, "--json"], cwd=tmp_path, capture_output=True, text=True, check=True).stdout
    )
    assert "pattern" in json.dumps(document)


@pytest.mark.parametrize("seed", range(3))
def test_a_change_of_period_of_a_cycle_of_few_periods_is_found_as_pattern(seed):
    # Six cycles of 250 values, then ten of 150.
    phase = np.r_[np.arange(1500) / 250.0, 6.0 + np.arange(1500) / 150.0]
    values = 2.0 * np.sqrt(2.0) * np.sin(2 * np.pi * phase)
    values += np.random.default_rng(seed).normal(size=3000)
    found = quarn.detect(values).change_points
    assert [(abs(p.position - 1500) <= 40, p.kind) for p in found] == [(True, "pattern")]


def drifting_recording(seed, name, step, n=3000, period=30.0, drift=0.1):
    """A recording whose cycle length drifts by `drift` over the series and
    jumps by the factor `step` half way; every cycle's length, phase and size
    jitter."""
    rng = np.random.default_rng(seed)
    values, phase = np.empty(n), 0.0
    length, size = rng.uniform(0.95, 1.05), rng.uniform(0.9, 1.1)
    for t in range(n):
        values[t] = size * wave(name, phase)
        target = period * (1.0 - drift / 2 + drift * t / n) * (step if t >= n // 2 else 1.0)
        phase += 1.0 / (length * target)
        if phase >= 1.0:
            phase += rng.normal(0.0, 0.02) - 1.0
            length, size = rng.uniform(0.95, 1.05), rng.uniform(0.9, 1.1)
    return values + 0.3 * rng.normal(size=n)


@pytest.mark.parametrize("name", ["sine", "square", "pulse"])
@pytest.mark.parametrize("seed", range(3))
def test_a_step_of_period_on_a_drifting_cycle_is_still_found_as_pattern(name, seed):
    # The cycle's length drifts by 10 % over the series and steps by 20 %:
    # the step is a change however the drift is treated.
    found = quarn.detect(drifting_recording(seed, name, 1.2)).change_points
    assert any(abs(p.position - 1500) <= 60 and p.kind == "pattern" for p in found)

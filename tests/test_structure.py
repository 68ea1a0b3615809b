"""Series with structure in time: the seasonal period the confirm method
reports, and small changes on long stretches."""

import numpy as np
import pytest

import quarn


def seasonal(n, period, seed, shift_at=None):
    rng = np.random.default_rng(seed)
    t = np.arange(n)
    values = 2.0 * np.sin(2 * np.pi * t / period) + rng.normal(size=n)
    if shift_at is not None:
        values[shift_at:] += 3.0
    return values


@pytest.mark.parametrize("period", [12.0, 30.0, 52.5])
def test_a_seasonal_series_reports_its_period(period):
    result = quarn.detect(seasonal(2000, period, 3))
    assert result.seasonal_period == pytest.approx(period, rel=0.01)


@pytest.mark.parametrize(
    "values",
    [
        np.random.default_rng(1).normal(size=2000),
        np.cumsum(np.random.default_rng(2).normal(size=2000)),
        np.r_[np.zeros(700), np.full(500, 3.0), np.ones(800)] + np.random.default_rng(3).normal(size=2000),
    ],
    ids=["noise", "random walk", "level shifts"],
)
def test_series_without_a_cycle_report_none(values):
    assert quarn.detect(values).seasonal_period is None


def test_the_native_method_reports_none():
    assert quarn.detect(seasonal(2000, 30.0, 3), method="native").seasonal_period is None


def test_the_period_survives_json():
    result = quarn.detect(seasonal(1500, 24.0, 5))
    assert result.seasonal_period is not None
    assert quarn.DetectionResult.from_json(result.to_json()).seasonal_period == result.seasonal_period


def test_the_same_period_and_changes_for_any_number_of_workers():
    values = seasonal(3000, 41.3, 7, shift_at=1800)
    results = [quarn.detect(values, workers=w) for w in (1, 2, 4)]
    assert len({r.seasonal_period for r in results}) == 1
    assert len({r.positions for r in results}) == 1


def test_a_cycle_of_few_periods_and_its_shift_are_the_same_for_any_number_of_workers():
    rng = np.random.default_rng(11)
    t = np.arange(2600)
    values = 2.5 * np.sin(2 * np.pi * t / 470.0) + rng.normal(size=2600)
    values[1100:] += 2.0
    results = [quarn.detect(values, workers=w) for w in (1, 2, 4)]
    assert len({r.seasonal_period for r in results}) == 1
    assert len({tuple((p.position, p.kind, p.p_value) for p in r.change_points) for r in results}) == 1


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_a_small_shift_on_a_long_series_is_found(seed):
    values = np.random.default_rng(seed).normal(size=20000)
    values[10000:] += 0.15
    positions = quarn.detect(values).positions
    assert len(positions) == 1 and abs(positions[0] - 10000) <= 500


def ar1(n, phi, seed):
    rng = np.random.default_rng(seed)
    innovations = rng.normal(size=n) * np.sqrt(1.0 - phi * phi)
    values = np.empty(n)
    values[0] = rng.normal()
    for t in range(1, n):
        values[t] = phi * values[t - 1] + innovations[t]
    return values


@pytest.mark.parametrize("seed", [0, 2, 3, 6])
def test_a_level_shift_in_strongly_persistent_noise_is_found(seed):
    values = ar1(1800, 0.96, seed)
    values[1100:] += 3.5
    result = quarn.detect(values)
    assert [(abs(p.position - 1100) <= 10, p.kind) for p in result.change_points] == [(True, "level")]


@pytest.mark.parametrize("seed", [0, 1, 2, 3])
def test_strongly_persistent_noise_without_changes_gives_none(seed):
    assert quarn.detect(ar1(2000, 0.95, seed)).change_points == ()


@pytest.mark.parametrize("seed", [74, 85, 93])
def test_short_wanders_of_strongly_persistent_noise_are_no_change(seed):
    # Each of these series wanders to the edge of its range for 20 to 60
    # values, which the shape test used to take for a stretch of a different
    # shape (its ranks bunch there).
    rng = np.random.default_rng(seed)
    innovations = rng.standard_normal(1500)
    values = np.empty(1500)
    values[0] = innovations[0] / np.sqrt(1.0 - 0.95**2)
    for t in range(1, 1500):
        values[t] = 0.95 * values[t - 1] + innovations[t]
    assert quarn.detect(values).change_points == ()


@pytest.mark.parametrize(("n", "plateau"), [(20000, 500), (100000, 1000)])
def test_alternating_long_plateaus_give_their_level_shifts(n, plateau):
    # A square wave of long plateaus is a sequence of regimes, not a cycle
    # to remove: every shift is found, and nothing else.
    rng = np.random.default_rng(n)
    values = np.where((np.arange(n) // plateau) % 2 == 1, 1.5, 0.0) + rng.normal(size=n)
    result = quarn.detect(values)
    truth = np.arange(plateau, n, plateau)
    found = np.array(result.positions)
    assert len(found) == len(truth)
    assert np.all(np.abs(found - truth) <= 10)
    assert {p.kind for p in result.change_points} == {"level"}


@pytest.mark.parametrize("period", [7.5, 24.0, 60.0])
def test_a_pure_seasonal_series_has_no_change(period):
    for seed in range(3):
        assert quarn.detect(seasonal(2500, period, seed)).change_points == ()


@pytest.mark.parametrize("seed", [0, 1, 2, 3])
@pytest.mark.parametrize(("n", "period"), [(2100, 300.0), (1200, 250.0)])
def test_a_pure_cycle_of_few_periods_has_no_change(n, period, seed):
    # Fewer than eight cycles: left in place, the cycle would be cut into
    # slopes and levels.
    result = quarn.detect(seasonal(n, period, seed))
    assert result.change_points == ()
    assert result.seasonal_period == pytest.approx(period, rel=0.05)


@pytest.mark.parametrize(("n", "period", "amplitude"), [(3000, 500.0, 2.0), (2400, 420.0, 1.5), (3000, 500.0, 3.0), (4000, 700.0, 2.0)])
def test_a_cycle_of_only_five_or_six_periods_gets_its_period_and_no_change(n, period, amplitude):
    # Too few cycles for the plain periodogram's local level; left in
    # place, the cycle's halves would be cut into levels and slopes. What
    # the noise itself shows by chance, at the tests' level, may remain.
    results = []
    for seed in range(8):
        rng = np.random.default_rng(seed)
        t = np.arange(n)
        values = amplitude * np.sqrt(2.0) * np.sin(2 * np.pi * t / period + rng.uniform(0, 6))
        results.append(quarn.detect(values + rng.normal(size=n)))
    assert all(r.seasonal_period == pytest.approx(period, rel=0.02) for r in results)
    assert sum(r.change_points == () for r in results) >= 7


@pytest.mark.parametrize("amplitude", [2.5, 3.0])
def test_a_level_shift_on_a_cycle_of_six_periods_is_found_as_level(amplitude):
    # The shift would pull a cycle of so few periods fitted over it, and
    # what that leaves would be cut into further levels.
    results = []
    for seed in range(10):
        rng = np.random.default_rng(seed)
        t = np.arange(3000)
        values = amplitude * np.sqrt(2.0) * np.sin(2 * np.pi * t / 500.0 + rng.uniform(0, 6))
        values += rng.normal(size=3000)
        values[1650:] += 3.0
        results.append(quarn.detect(values))
    for result in results:
        assert result.seasonal_period == pytest.approx(500.0, rel=0.01)
        assert any(abs(p.position - 1650) <= 5 and p.kind == "level" for p in result.change_points)
    assert sum(len(result.change_points) == 1 for result in results) >= 9


@pytest.mark.parametrize("period", [7.5, 24.0, 60.0])
def test_a_level_shift_on_a_seasonal_series_is_found_as_level(period):
    result = quarn.detect(seasonal(2500, period, 4, shift_at=1300))
    assert [(abs(p.position - 1300) <= 10, p.kind) for p in result.change_points] == [(True, "level")]
    assert result.seasonal_period == pytest.approx(period, rel=0.01)


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_a_cycle_of_few_periods_is_found_whole_and_a_shift_on_it_alone(seed):
    # Seven cycles of 180 values, whose second harmonic may stand out more
    # in the periodogram than the fundamental.
    t = np.arange(1200)
    phase = 2 * np.pi * t / 180.0
    noise = np.random.default_rng(seed).normal(size=1200)
    values = 2.0 * np.sin(phase) + np.sin(2 * phase + 1.0) + noise
    values[700:] += 2.5
    result = quarn.detect(values)
    assert result.seasonal_period == pytest.approx(180.0, rel=0.02)
    assert [(abs(p.position - 700) <= 5, p.kind) for p in result.change_points] == [(True, "level")]


def periodic(n, change, seed, after):
    """A sine of period 25 with little noise whose cycle changes at `change`."""
    rng = np.random.default_rng(seed)
    t = np.arange(n)
    phase = t / 25.0
    values = np.sqrt(2.0) * np.sin(2 * np.pi * phase)
    if after == "amplitude":
        values[change:] *= 2.5
    elif after == "waveform":
        values[change:] = np.where(phase[change:] % 1.0 < 0.5, 1.0, -1.0)
    return values + 0.3 * rng.normal(size=n)


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_a_change_of_amplitude_of_the_cycle_stays_visible(seed):
    # One cycle fitted to the whole series would blur the change; the cycle
    # is left in place when its two sides differ.
    result = quarn.detect(periodic(1200, 600, seed, "amplitude"))
    assert [(abs(p.position - 600) <= 15, p.kind) for p in result.change_points] == [(True, "spread")]


def test_a_change_of_waveform_is_mostly_found_and_nothing_else():
    found = [quarn.detect(periodic(1200, 600, seed, "waveform")).change_points for seed in range(6)]
    assert all(abs(p.position - 600) <= 50 for points in found for p in points)
    assert sum(len(points) == 1 for points in found) >= 3


@pytest.mark.parametrize("size", [50.0, 1000.0])
def test_a_spike_does_not_hide_a_level_shift(size):
    # The candidate detector's thresholds grow with a spike in their
    # windows; the search of whole stretches still proposes the shift.
    for seed in range(10):
        values = np.random.default_rng(seed).normal(size=300)
        values[150:] += 3.0
        values[100] += size
        assert any(abs(p - 150) <= 3 for p in quarn.detect(values).positions)


def stepped_cycle(n, period, amplitude, step, noise=0.0, seed=0):
    t = np.arange(n)
    values = amplitude * np.sin(2 * np.pi * t / period) + np.where(t >= n // 2, step, 0.0)
    return values + noise * np.random.default_rng(seed).normal(size=n)


@pytest.mark.parametrize(
    "values",
    [
        np.array([(1.0 if i >= 60 else 0.0) + (i % 3) * 0.1 for i in range(120)]),
        np.r_[np.zeros(60), np.ones(60)] + np.sin(np.arange(120) * 2 * np.pi / 12),
        np.r_[np.zeros(60), np.ones(60)]
        + np.sin(np.arange(120) * 2 * np.pi / 12)
        + np.random.default_rng(0).normal(0, 0.3, 120),
    ],
    ids=["sawtooth-3", "sine-12", "sine-12-noisy"],
)
def test_a_clean_step_on_a_cycle_is_found_alone(values):
    # A step pulls the measured period off the whole one, and removing the
    # cycle from a noise-free series leaves only rounding residue; neither
    # may hide the step or make a second one.
    result = quarn.detect(values)
    assert [(p.position, p.kind) for p in result.change_points] == [(60, "level")]


@pytest.mark.parametrize("period", [3, 5, 12, 24, 50])
@pytest.mark.parametrize("amplitude", [0.5, 3.0])
@pytest.mark.parametrize("step", [1.0, -2.0])
@pytest.mark.parametrize("noise", [0.0, 0.05])
def test_a_step_on_a_cycle_of_a_whole_period_is_found(period, amplitude, step, noise):
    n = max(120, 16 * period)
    result = quarn.detect(stepped_cycle(n, period, amplitude, step, noise, seed=period))
    assert [(p.position, p.kind) for p in result.change_points] == [(n // 2, "level")]
    assert result.seasonal_period == period


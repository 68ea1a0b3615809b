"""Centring and power-of-two scaling: quarn.detect does not depend on the
offset or the unit of a series, anywhere in the floating-point range. (The
choice of the centre and the power is tested in the core's tests.)"""

import math
import random
from array import array
from fractions import Fraction

import pytest

import quarn
from helpers import same
from quarn._inputs import prepare_series
from quarn._runner import run_detector
from quarn.options import check_options
from quarn.result import build_result

np = pytest.importorskip("numpy")


def step(n=300, seed=0):
    x = np.random.default_rng(seed).normal(size=n)
    x[n // 2 :] += 2.0
    return x


STEP = step()
BASE = quarn.detect(STEP)


@pytest.mark.parametrize("a", [1e-300, 1e-150, 1e-13, 0.37, 3.0, 1e13, 1e150, 1e300])
@pytest.mark.parametrize("c", [0.0, -1e3, 1e8])
def test_offset_and_scale_change_no_change_point(a, c):
    # c is given in units of the spread of a * x.
    moved = quarn.detect(a * STEP + c * a * float(np.std(STEP)))
    assert BASE.change_points and moved.positions == BASE.positions
    assert [p.score for p in moved.change_points] == [p.score for p in BASE.change_points]
    for size, found in moved.window_results.items():
        base = BASE.window_results[size]
        for key in ("statistics", "thresholds"):
            assert np.allclose(getattr(found, key) / a, getattr(base, key), rtol=1e-5, atol=1e-9)


@pytest.mark.parametrize(
    "make",
    [
        lambda x: 1.6e308 + 1e305 * x,
        lambda x: -1.7e308 + 1e306 * x,
        lambda x: np.where(np.arange(x.size) < x.size // 2, -1.7e308, 1.7e308) + 1e306 * x,
        lambda x: 1e-310 * np.round(x * 8),  # subnormal values, few bits each
    ],
    ids=["near-max", "near-min", "across-the-range", "subnormal"],
)
def test_values_anywhere_in_the_float_range(make):
    values = make(step())
    assert np.all(np.isfinite(values))
    found = quarn.detect(values)
    assert any(abs(position - 150) <= 1 for position in found.positions)
    for window in found.window_results.values():
        assert not np.any(np.isnan(window.thresholds))


def test_native_setting_passes_the_values_unchanged():
    options = check_options({"method": "native", "window_sizes": [10, 15]})
    values = STEP + 1e6
    (found,) = run_detector([prepare_series(values)], [values], options, rescale=False)
    result = build_result(found, values.copy(), None, options)
    assert same(result.to_dict(), quarn.quarn_detector(values, window_sizes=[10, 15]))


def sample(kind, n=2000, seed=1):
    rng = random.Random(seed)
    values = [rng.gauss(0.0, 1.0) for _ in range(n)]
    if kind == "ties":
        values = [round(v) * 0.5 for v in values] + [0.0, -0.0] * 10
    elif kind == "mostly-equal":
        values = [5.0] * n + [5.0 + v for v in values[: n // 3]]
    elif kind == "outlier":
        values[7] = 1e300
    elif kind == "huge":
        values = [1e300 * v for v in values]
    elif kind == "long":
        values = values * 100  # more than SAMPLE_SIZE values: a strided sample
    return values


@pytest.mark.parametrize("kind", ["plain", "ties", "mostly-equal", "outlier", "huge", "long"])
def test_lists_arrays_and_numpy_give_the_same_bits(kind):
    values = sample(kind)
    found = quarn.detect(np.array(values), method="native", window_sizes=[10, 25], n_perm=20)
    for other in (values, array("d", values)):
        assert quarn.detect(other, method="native", window_sizes=[10, 25], n_perm=20) == found


@pytest.mark.parametrize("missing", ["skip", "raise"])
@pytest.mark.parametrize("bad", [math.inf, -math.inf])
def test_a_series_with_infinite_values_is_not_scaled(bad, missing):
    # The detector must see such a series as given, to name its first bad
    # value (a scaled copy could overflow elsewhere first).
    values = np.array(sample("huge"))
    values[1500] = bad
    with pytest.raises(ValueError, match="the first at position 1500;"):
        quarn.detect(values, method="native", missing=missing)


@pytest.mark.parametrize("kind", ["huge", "long"])
def test_missing_values_are_left_out_of_the_scaling(kind):
    # The scaling is that of the present values, so that a series with gaps
    # is analysed as the series without them (positions aside).
    values = np.array(sample(kind))
    values[[3, 1500, *range(7, values.size, 13)]] = math.nan
    options = {"method": "native", "window_sizes": [10, 25], "n_perm": 20}
    skipped = quarn.detect(values, missing="skip", **options)
    present = quarn.detect(values[~np.isnan(values)], **options)
    for size, window in skipped.window_results.items():
        assert same(window.statistics.tolist(), present.window_results[size].statistics.tolist())
    with pytest.raises(ValueError, match="NaN or infinite values, the first at position 3;"):
        quarn.detect(values, method="native", missing="raise")


def test_a_constant_series_has_no_change_point():
    assert quarn.detect([1e8] * 50).change_points == ()


@pytest.mark.parametrize("power", [-60, -3, 5, 200])
def test_statistics_come_back_in_the_series_units(power):
    # A series times 2**power maps to the same values, so its statistics
    # and thresholds are those of the series times 2**power, bit for bit.
    options = {"method": "native", "window_sizes": [10, 40], "n_perm": 30}
    base = quarn.detect(STEP, **options)
    found = quarn.detect(STEP * 2.0**power, **options)
    assert found.change_points == base.change_points
    for size, window in found.window_results.items():
        for key in ("statistics", "thresholds"):
            assert same(getattr(window, key).tolist(),
                        (getattr(base.window_results[size], key) * 2.0**power).tolist())
        assert not window.statistics.flags.writeable

"""Failures carry what they are about: bad series raise quarn.SeriesError
(a ValueError; a TypeError as well where the kind of input is wrong), and
the engine's errors name their kind, so that no caller reads the message."""

from __future__ import annotations

import math

import numpy as np
import pytest

import quarn
from helpers import engine as _engine
from helpers import native_run, native_run_many


def _noise(n: int, seed: int = 3) -> np.ndarray:
    return np.random.default_rng(seed).normal(size=n)


@pytest.mark.parametrize(
    ("series", "also_type_error", "start"),
    [
        ([1.0, 2.0], False, "series must contain at least 3 values"),
        ([1.0, None, 3.0, 4.0], True, "series item at position 1 is None"),
        ([1.0, "x", 3.0, 4.0], True, "series item at position 1 is 'x'"),
        ("abc", True, "series must be a list, tuple"),
        (np.zeros((4, 2)), False, "series must be one-dimensional"),
        (np.array(["a", "b", "c"]), True, "series must hold"),
        ([1.0, 2.0, math.nan, 4.0, 5.0, 6.0], False, "series contains 1 NaN"),
        ([1.0, 2.0, 3.0, math.inf, 5.0, 6.0], False, "series contains 1 NaN or infinite"),
    ],
)
def test_bad_series_raise_series_error_with_unchanged_messages(series, also_type_error, start):
    with pytest.raises(quarn.SeriesError) as caught:
        quarn.detect(series, missing="raise")
    assert isinstance(caught.value, ValueError)
    assert isinstance(caught.value, TypeError) == also_type_error
    assert str(caught.value).startswith(start)


def test_an_option_fault_is_no_series_error():
    with pytest.raises(ValueError, match="window size 3 is too small") as caught:
        quarn.detect(_noise(200), method="native", window_sizes=[3])
    assert not isinstance(caught.value, quarn.SeriesError)


def test_detect_many_names_the_bad_series():
    pd = pytest.importorskip("pandas")
    bad = _noise(60)
    bad[7] = math.nan
    frame = pd.DataFrame({"good": _noise(60, 4), "bad": bad})
    with pytest.raises(quarn.SeriesError, match=r"^series 'bad': series contains 1 NaN"):
        quarn.detect_many(frame, missing="raise")


@pytest.mark.parametrize(
    ("change", "kind", "window_size", "non_finite_index"),
    [
        ({"series": np.array([0.0, 1.0, math.nan, 2.0])}, "invalid_series", None, 2),
        ({"window_sizes": [3]}, "window_too_small", 3, None),
        ({"change_type": "median"}, "invalid_argument", None, None),
        ({"window_sizes": []}, "invalid_argument", None, None),
    ],
)
def test_engine_errors_carry_their_kind(change, kind, window_size, non_finite_index):
    arguments = {"series": _noise(100), **change}
    with pytest.raises(_engine.DetectorError) as caught:
        native_run(arguments.pop("series"), **arguments)
    error = caught.value
    assert error.kind == kind
    assert error.window_size == window_size
    assert error.non_finite_index == non_finite_index


def test_the_kind_reaches_detect_many_with_the_series_index():
    series = [_noise(100), _noise(100, 5)]
    with pytest.raises(_engine.DetectorError) as caught:
        native_run_many(series, window_sizes=[10, 3])
    assert (caught.value.kind, caught.value.series_index) == ("window_too_small", 0)

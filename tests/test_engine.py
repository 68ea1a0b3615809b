"""The engine's native method, unscaled, against the native module: the
same bits for every option, the same error messages, and the engine's own
layout of a detection."""

import math

import numpy as np
import pytest

import quarn._quarn_native as native
from quarn import _engine
from helpers import engine, native_run, native_run_many, run_arguments, same
from helpers import detection_as_native, window_as_native


def _shifting(n, seed, level=3.0, scale=2.0):
    """Gaussian noise whose level and spread change every 150 values."""
    rng = np.random.default_rng(seed)
    step = (np.arange(n) // 150) % 3
    return rng.normal(size=n) * np.where(step == 2, scale, 1.0) + np.where(step == 1, level, 0.0)


SERIES = {
    "shifts": _shifting(900, 1),
    "heavy tails": np.random.default_rng(2).standard_t(2, size=700),
    # Far above its spread: the window moments come from the windows' own values.
    "high level": _shifting(600, 3) + 1e9,
    "integers": np.floor(_shifting(500, 4) * 3),
    "constant": np.full(200, 2.5),
    "short": np.array([1.0, 5.0, 2.0, 8.0, 3.0]),
    "three": np.array([0.0, 1.0, 0.0]),
}

OPTIONS = [
    {},
    {"n_perm": 0},
    {"n_perm": 1, "seed": 0},
    {"n_perm": 63, "workers": 1},
    {"n_perm": 64, "workers": 2, "change_type": "var"},
    {"n_perm": 120, "workers": 3, "change_type": "distribution", "alpha_q": 0.05},
    {"window_sizes": [2, 3], "b": 1, "n_perm": 40},
    {"window_sizes": [5, 64, 5, 9], "n_perm": 50, "tol": 0},
    {"window_sizes": [4000], "n_perm": 30},
    {"window_sizes": [8, 13], "b": 4, "taper_ratio": 0.0, "center": False, "n_perm": 70},
    {"window_sizes": [16], "taper_ratio": 1.0, "seed": 2**64 - 1, "tol": 9, "n_perm": 90},
    {"alpha_q": 5.0, "change_type": "MEAN", "backend": "Process", "n_perm": 30},
]


def _native_detect(series, options):
    return native.quarn_detector(series.tolist(), **options)


def _engine_options(options):
    """The options without the native module's backend, which the engine
    does not take (it runs on its own threads)."""
    return {name: value for name, value in options.items() if name != "backend"}


@pytest.mark.parametrize("options", OPTIONS, ids=[str(o) for o in OPTIONS])
@pytest.mark.parametrize("name", list(SERIES))
def test_detect_matches_native_bit_for_bit(name, options):
    series = SERIES[name]
    try:
        expected = _native_detect(series, options)
    except ValueError as error:
        with pytest.raises(ValueError) as raised:
            native_run(series, **_engine_options(options))
        assert str(raised.value) == str(error)
        return
    assert same(detection_as_native(native_run(series, **_engine_options(options))), expected)


@pytest.mark.parametrize("window_size", [2, 3, 5, 10, 21, 64, 450, 1000])
@pytest.mark.parametrize(
    "options",
    [{"b": 2}, {"n_perm": 64, "change_type": "distribution", "b": 3},
     {"n_perm": 300, "change_type": "var", "center": False, "taper_ratio": 0.25, "b": 2}],
    ids=["b2", "distribution", "var"],
)
def test_one_window_size_matches_the_native_single_window_bit_for_bit(window_size, options):
    series = SERIES["shifts"]
    expected = native.quarn_single_window(series.tolist(), window_size, **options)
    (window,) = native_run(series, window_sizes=[window_size], **options)["windows"]
    assert same(window_as_native(window), expected)


def _with(values, index, value):
    values = np.array(values, dtype=float)
    values[index] = value
    return values


ERROR_CASES = [
    (np.array([1.0, math.nan]), {"window_sizes": []}, None),
    (_with(np.arange(50.0), 17, math.nan), {"n_perm": 5}, 17),
    (_with(_with(np.arange(50.0), 30, -math.inf), 40, math.nan), {}, 30),
    (np.arange(50.0), {"window_sizes": []}, None),
    (np.arange(50.0), {"window_sizes": [10, 0, 20]}, None),
    (np.arange(50.0), {"change_type": "Median "}, None),
    (np.arange(50.0), {"change_type": 'a"b\\\t\u00e9\u200b'}, None),
]


@pytest.mark.parametrize("series, options, index", ERROR_CASES)
def test_errors_match_native_with_the_bad_value(series, options, index):
    with pytest.raises(ValueError) as expected:
        native.quarn_detector(series.tolist(), **options)
    for batch, series_index in (([series], None), ([series, series[:3]], 0)):
        with pytest.raises(engine.DetectorError) as raised:
            native_run_many(batch, **options)
        assert type(raised.value).__mro__[1] is ValueError
        assert str(raised.value) == str(expected.value)
        assert raised.value.non_finite_index == index
        assert raised.value.window_size is None
        assert raised.value.series_index == series_index


def test_window_errors_name_the_window_size():
    # Window size 3 cannot hold a block of the automatic length.
    series = SERIES["shifts"]
    with pytest.raises(ValueError) as expected:
        native.quarn_detector(series.tolist(), window_sizes=[10, 3, 2])
    with pytest.raises(engine.DetectorError) as raised:
        native_run(series, window_sizes=[10, 3, 2])
    assert str(raised.value) == str(expected.value)
    assert (raised.value.window_size, raised.value.non_finite_index) == (3, None)


def test_result_layout():
    found = native_run(SERIES["shifts"], window_sizes=[20, 10, 20, 15], n_perm=50)
    assert list(found) == ["n", "windows", "table", "segments", "seasonal_period", "n_missing"]
    assert found["n"] == 900
    assert [w["window_size"] for w in found["windows"]] == [10, 15, 20]
    for window in found["windows"]:
        assert list(window) == ["window_size", "statistics", "thresholds", "threshold_runs",
                                "change_points", "localized_regions"]
        positions = 900 // window["window_size"] - 1
        assert window["statistics"].shape == (positions,)
        assert window["statistics"].dtype == np.float64
        assert window["change_points"].dtype == np.int64
        assert window["localized_regions"].shape == (len(window["change_points"]), 2)
        assert window["localized_regions"].dtype == np.int64
    table = found["table"]
    assert len({len(column) for column in table.values()}) == 1 and len(table["position"]) > 0
    assert table["cdf"][-1] == pytest.approx(1.0)


def test_result_arrays_are_read_only_and_survive_the_call():
    found = native_run(SERIES["shifts"], n_perm=20)
    statistics = found["windows"][0]["statistics"]
    copy = statistics.copy()
    with pytest.raises(ValueError):
        statistics[0] = 1.0
    del found
    assert np.array_equal(statistics, copy)


def test_empty_results_are_empty_arrays():
    found = native_run(SERIES["short"], window_sizes=[50])
    (window,) = found["windows"]
    assert window["statistics"].shape == (0,)
    assert window["localized_regions"].shape == (0, 2)
    assert all(len(column) == 0 for column in found["table"].values())


def _read_only(values):
    values.flags.writeable = False
    return values


@pytest.mark.parametrize(
    "make",
    [lambda x: x.copy(order="C"), lambda x: np.repeat(x, 2)[::2],
     lambda x: _read_only(x),
     lambda x: x.astype(np.float32).astype(np.float64),
     lambda x: np.round(x * 100).astype(np.int64)],
    ids=["contiguous", "strided", "read-only", "float32 values", "int64"],
)
def test_any_float64_array_view_gives_the_native_result(make):
    series = make(SERIES["shifts"].copy())
    expected = native.quarn_detector([float(v) for v in series], window_sizes=[12], n_perm=30)
    assert same(detection_as_native(native_run(series, window_sizes=[12], n_perm=30)), expected)


def _all_but_method():
    return {k: v for k, v in run_arguments("native").items() if k != "method"}


@pytest.mark.parametrize(
    "call",
    [lambda: native_run([1.0, 2.0, 3.0]),
     lambda: native_run(np.zeros((4, 4))),
     lambda: native_run(np.arange(20.0).astype(">f8")),
     lambda: native_run(np.arange(20.0), center=1),
     lambda: native_run(np.arange(20.0), window_sizes=[-1]),
     lambda: native_run(np.arange(20.0), progress=3),
     lambda: _engine.run([np.arange(20.0)], "native", **_all_but_method())],
    ids=["list", "2-D", "foreign byte order", "int flag", "negative size", "progress not callable",
         "positional"],
)
def test_unsuitable_arguments_raise_type_error(call):
    with pytest.raises(TypeError):
        call()


def test_numpy_scalars_are_accepted():
    series = SERIES["shifts"]
    options = {"window_sizes": np.array([10, 12]), "n_perm": np.int64(40),
               "alpha_q": np.float32(0.5)}
    expected = native.quarn_detector(series.tolist(), window_sizes=[10, 12], n_perm=40,
                                     alpha_q=float(np.float32(0.5)))
    assert same(detection_as_native(native_run(series, **options)), expected)


@pytest.mark.parametrize("options", OPTIONS[:8], ids=[str(o) for o in OPTIONS[:8]])
def test_thresholds_by_runs_give_the_native_result(options):
    series = SERIES["shifts"]
    try:
        expected = _native_detect(series, options)
    except ValueError:
        return
    for found in native_run_many([series, series[:300]], **options)[:1]:
        assert same(detection_as_native(found), expected)
        for window in found["windows"]:
            runs = window["threshold_runs"]
            # Either form, never both; runs only where they are the smaller.
            assert (window["thresholds"] is None) != (runs is None)
            if runs is not None:
                starts, values = runs
                assert starts[0] == 0 and np.all(np.diff(starts) > 0)
                assert 2 * len(starts) <= len(window["statistics"])
                assert starts.dtype == np.int64 and values.dtype == np.float64

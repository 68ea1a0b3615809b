"""The package under careless or hostile use: huge settings, odd dtypes,
repeated names, results that must stay immutable."""

import os
import subprocess
import sys
import warnings

import numpy as np
import pytest

import quarn
from quarn._checks import format_sizes

pd = pytest.importorskip("pandas")


@pytest.mark.parametrize(
    "sizes, text",
    [
        ([10, 11, 12], "10-12"),
        ([5, 6, 10**18], "5,6,1000000000000000000"),
        ([1, 2, 10**18, 10**18 + 1], "1,2,1000000000000000000,1000000000000000001"),
        ([10**18, 10**18 + 1, 10**18 + 2], "1000000000000000000-1000000000000000002"),
        ([3, 2, 1], "3,2,1"),
    ],
)
def test_sizes_are_described_at_the_cost_of_their_number(sizes, text):
    assert format_sizes(sizes) == text


def test_a_huge_native_window_size_only_warns():
    x = np.arange(300.0)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = quarn.detect(x, method="native", n_perm=20, window_sizes=[1000, 1001, 10**12])
    assert "1000,1001,1000000000000" in str(caught[0].message)
    assert "1000,1001,1000000000000" in result._repr_html_()


@pytest.mark.parametrize("h", [1e-300, 1e-160, 1e173, 1e180, 1e208, 1e298, 8e307, 1.7976931348623157e308])
@pytest.mark.parametrize("form", ["from zero", "doubling", "across zero"])
def test_an_exact_step_is_found_at_every_magnitude(h, form):
    low = {"from zero": 0.0, "doubling": h / 2, "across zero": -h}[form]
    x = np.r_[np.full(100, low), np.full(100, h)]
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no overflow in bringing figures back either
        result = quarn.detect(x)
    assert result.positions == (100,)
    assert result == quarn.detect(x, method="confirm")
    assert quarn.detect(x, method="native", n_perm=50).positions == (100,)


def test_noise_gives_the_same_changes_scaled_by_any_power_of_two():
    rng = np.random.default_rng(3)
    x = np.r_[rng.normal(size=150), rng.normal(size=150) + 2, rng.normal(size=150) * 3 + 2]
    expected = quarn.detect(x).positions
    for exponent in (-1000, -500, -200, 200, 500, 1000, 1020):
        assert quarn.detect(np.ldexp(x, exponent)).positions == expected


TIMES = pd.date_range("2020-01-01", periods=60, freq="D")
STEPS = np.r_[np.zeros(30), np.full(30, 4.0)] + np.arange(60) % 3


@pytest.mark.parametrize(
    "series, what",
    [
        (pd.Series(TIMES), "times"),
        (pd.Series(TIMES.tz_localize("UTC")), "times"),
        (pd.Series(TIMES.insert(3, pd.NaT)), "times"),
        (pd.Series(TIMES - TIMES[0]), "times"),
        (pd.Series(TIMES.to_period("D")), "times"),
        (pd.Series([str(i) for i in range(60)], dtype="string"), "text"),
        (pd.Series([str(i) for i in range(60)], dtype=object), "text"),
        (pd.Series(pd.Categorical([str(i % 3) for i in range(60)])), "text"),
        (np.arange(60).astype("datetime64[D]"), "times"),
        (np.arange(60).astype("timedelta64[s]"), "times"),
    ],
    ids=["datetime", "datetime tz", "datetime NaT", "timedelta", "period", "string", "object text",
         "categorical text", "numpy datetime64", "numpy timedelta64"],
)
def test_times_and_text_are_refused_saying_what_to_pass(series, what):
    with pytest.raises(TypeError, match=f"{what}\\b.*not .*pass the column of values, with the times"):
        quarn.detect(series)


@pytest.mark.parametrize(
    "series",
    [pd.Series(STEPS.astype(int)), pd.Series(pd.Categorical(STEPS)),
     pd.Series(STEPS, dtype="Float64"), pd.Series(list(STEPS), dtype=object)],
    ids=["int", "categorical numbers", "nullable float", "object numbers"],
)
def test_numbers_in_pandas_columns_are_still_read(series):
    expected = quarn.detect(STEPS, method="native", n_perm=20)
    assert expected.positions
    assert quarn.detect(series, method="native", n_perm=20).positions == expected.positions


def test_detect_many_refuses_a_time_column_naming_it():
    frame = pd.DataFrame({"when": TIMES, "a": np.arange(60.0) % 5, "b": np.arange(60.0) % 3})
    with pytest.raises(TypeError, match="series 'when': the column holds .*times.*time='when'"):
        quarn.detect_many(frame)
    table = quarn.detect_many(frame, time="when", method="native", n_perm=20)
    assert set(table["series"]) <= {"a", "b"}
    text = frame.assign(a=frame["a"].astype(str))
    with pytest.raises(TypeError, match="series 'a': the column holds .*text"):
        quarn.detect_many(text, time="when")
    long = pd.DataFrame({"id": ["x"] * 60, "value": TIMES})
    with pytest.raises(TypeError, match="value: the column 'value' must hold numbers, got .*times"):
        quarn.detect_many(long, by="id")


@pytest.mark.parametrize(
    "call, outcome",
    [
        ("engine.run([np.array([])])", "DetectorError"),
        ("engine.run([np.array([])], 'native')", "DetectorError"),
        ("engine.run([np.arange(50.0), np.array([])])", "DetectorError"),
        ("engine.run([np.arange(50.0), np.array([])], 'native', skip_missing=True)",
         "DetectorError"),
        ("engine.method_window_sizes(0)", "[]"),
        ("engine.run([np.array([])], 'native', window_sizes=[3])", "DetectorError"),
    ],
)
def test_no_input_kills_the_interpreter(call, outcome):
    # In a child interpreter, so that a crash fails the test only.
    code = (
        "import numpy as np\nfrom helpers import engine\n"
        f"try:\n    print(repr({call}))\n"
        "except engine.DetectorError as error:\n    print('DetectorError', error)\n"
    )
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    child = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=300, env=environment
    )
    assert child.returncode == 0, child.stderr[-2000:]
    assert child.stdout.startswith(outcome)


def _arrays(result):
    yield result.values
    yield result._cdf
    for window in result.window_results.values():
        yield from (window.statistics, window.thresholds, window.change_points,
                    window.localized_regions, window.starts)


@pytest.mark.parametrize("method", ["confirm", "native"])
@pytest.mark.parametrize("copied", ["made", "pickled", "deep-copied", "read from JSON"])
def test_result_arrays_cannot_be_made_writeable(method, copied):
    import copy
    import pickle

    x = np.r_[np.zeros(100), np.full(100, 2.0)] + np.arange(200) % 3 * 0.1
    result = quarn.detect(x, method=method, n_perm=20 if method == "native" else None)
    result = {
        "made": lambda r: r,
        "pickled": lambda r: pickle.loads(pickle.dumps(r)),
        "deep-copied": copy.deepcopy,
        "read from JSON": lambda r: quarn.DetectionResult.from_json(r.to_json()),
    }[copied](result)
    arrays = list(_arrays(result))
    assert len(arrays) > 5
    for array in arrays:
        with pytest.raises(ValueError):
            array.flags.writeable = True
        with pytest.raises(ValueError):
            array[...] = 0


def test_results_that_differ_only_in_workers_are_equal():
    x = np.r_[np.zeros(100), np.full(100, 2.0)] + np.arange(200) % 3 * 0.1
    for method in ("confirm", "native"):
        one = quarn.detect(x, method=method, workers=1)
        two = quarn.detect(x, method=method, workers=2)
        assert one.options["workers"] == 1 and two.options["workers"] == 2
        assert one == two
    assert quarn.detect(x, seed=1, method="native") != quarn.detect(x, seed=2, method="native")


def test_detect_many_takes_series_with_a_multiindex_as_detect_does():
    index = pd.MultiIndex.from_product([["a", "b"], range(50)])
    series = pd.Series(np.r_[np.zeros(50), np.full(50, 3.0)] + np.arange(100) % 3 * 0.1, index=index)
    plain = pd.Series(np.r_[np.zeros(30), np.full(70, 3.0)] + np.arange(100) % 3 * 0.1)
    table = quarn.detect_many({"a": series, "b": series, "c": plain}, method="native", n_perm=20)
    alone = quarn.detect(series, method="native", n_perm=20).to_frame()
    assert table[table["series"] == "a"]["label"].tolist() == alone["label"].tolist() == [("b", 0)]
    assert table[table["series"] == "c"]["label"].tolist() == [30]


@pytest.mark.parametrize("role", ["by", "time", "value"])
def test_detect_many_says_that_a_column_name_is_one_name(role):
    frame = pd.DataFrame({"id": ["x"] * 30 + ["y"] * 30, "t": range(60), "v": np.arange(60.0) % 7})
    names = {"by": "id", "time": "t", "value": "v"}
    names[role] = [names[role]]
    with pytest.raises(TypeError, match=f"{role} names one column .*, got list"):
        quarn.detect_many(frame, **names)


def test_detect_many_refuses_repeated_series_names():
    frame = pd.DataFrame(np.arange(240.0).reshape(60, 4) % 7, columns=["a", "b", "a", "c"])
    with pytest.raises(ValueError, match="series names must be unique: the column 'a' appears 2 times"):
        quarn.detect_many(frame)


NATIVE_SERIES = list(np.r_[np.zeros(60), np.full(60, 3.0)] + np.arange(120) % 3 * 0.1)


@pytest.mark.parametrize(
    "setting, message",
    [
        ({"alpha_q": float("nan")}, "alpha_q must be finite and not negative, got nan"),
        ({"alpha_q": -1.0}, "alpha_q must be finite and not negative, got -1"),
        ({"alpha_q": float("inf")}, "alpha_q must be finite and not negative, got inf"),
        ({"taper_ratio": float("nan")}, "taper_ratio must be finite and not negative, got nan"),
        ({"taper_ratio": -5.0}, "taper_ratio must be finite and not negative, got -5"),
    ],
)
def test_native_functions_refuse_meaningless_settings(setting, message):
    with pytest.raises(ValueError) as raised:
        quarn.quarn_detector(NATIVE_SERIES, n_perm=20, **setting)
    assert str(raised.value) == message
    with pytest.raises(ValueError) as raised:
        quarn.quarn_single_window(NATIVE_SERIES, 10, n_perm=20, **setting)
    assert str(raised.value) == message
    # Earlier checks keep their messages.
    with pytest.raises(ValueError, match="^backend must be"):
        quarn.quarn_detector(NATIVE_SERIES, n_perm=20, backend="fork", **setting)
    with pytest.raises(ValueError, match="^series must contain at least 3 values$"):
        quarn.quarn_single_window([1.0], 10, **setting)


BIG, LARGEST = 1.7e308, np.finfo(np.float64).max


@pytest.mark.parametrize(
    "left, right, expected",
    [
        ([-BIG, BIG], [-BIG, BIG], 0.0),
        ([-LARGEST, LARGEST, 0.0], [LARGEST, 0.0, -LARGEST], 0.0),
        ([-BIG, BIG], [0.0, BIG], BIG / 2),
        ([-1e308], [1e308], float("inf")),
        ([0.0, 1.0], [0.5], 0.5),
    ],
)
def test_wasserstein_near_the_largest_doubles(left, right, expected):
    for function in (quarn.wasserstein_statistic, quarn.ipm_statistic):
        assert function(left, right) == expected
        assert function(right, left) == expected

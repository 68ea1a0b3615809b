"""quarn.detect, its result object, the JSON form and the bundled data."""

import array
import dataclasses
import json
import math
import operator
import statistics
import subprocess
import sys

import pytest

import quarn
from helpers import consensus_of, same, same_detection
from sample_series import gauss_step
from quarn.serialize import from_jsonable, to_jsonable

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")

SERIES = gauss_step()


@pytest.fixture(scope="module")
def result():
    return quarn.detect(SERIES, method="native", window_sizes=[10, 12, 15, 20])


@pytest.mark.parametrize(
    "make",
    [
        list,
        tuple,
        np.array,
        lambda v: np.array(v, dtype=np.float32).astype(np.float64),
        lambda v: np.array(v)[::-1][::-1],  # a strided view
        lambda v: np.array(v).astype(">f8"),  # big-endian
        lambda v: pd.Series(v),
        lambda v: pd.Series(v, dtype="Float64"),
        lambda v: array.array("d", v),
        lambda v: np.array(v, dtype=object),
    ],
    ids=["list", "tuple", "ndarray", "float32-origin", "view", "big-endian", "series",
         "nullable", "array", "object-array"],
)
def test_every_input_kind_gives_the_same_bits(make):
    values = make(SERIES)
    found = quarn.detect(values, method="native", window_sizes=[10, 15])
    expected = quarn.detect([float(v) for v in values], method="native", window_sizes=[10, 15])
    assert same(found.to_dict(), expected.to_dict())
    assert found.n_samples == len(SERIES)


def test_integer_arrays_are_read_as_floats():
    values = [0] * 60 + [5] * 60
    assert same(
        quarn.detect(np.array(values, dtype=np.int64)).to_dict(),
        quarn.detect([float(v) for v in values]).to_dict(),
    )


@pytest.mark.parametrize(
    "options, native",
    [
        ({}, {}),
        (
            {"window_sizes": [20, 10, 20], "n_perm": 50, "alpha": 0.05, "seed": 7, "tol": 0},
            {"window_sizes": [20, 10, 20], "n_perm": 50, "alpha_q": 0.05, "seed": 7, "tol": 0},
        ),
        (
            {"change_type": "VAR", "block_length": 5, "taper_ratio": 0.0, "center": False},
            {"change_type": "var", "b": 5, "taper_ratio": 0.0, "center": False},
        ),
        ({"window_sizes": 12, "workers": 1}, {"window_sizes": [12], "workers": 1}),
        ({"center": np.bool_(False)}, {"center": False}),
    ],
)
def test_to_dict_is_the_native_result_of_the_centred_series(options, native):
    # The detector sees the series minus its median times a power of two.
    # Every step of the detector commutes exactly with a power of two, so
    # once statistics and thresholds are back in the series' units the
    # result is that of the centred series, bit for bit.
    centred = [v - statistics.median_low(SERIES) for v in SERIES]
    found = quarn.detect(SERIES, method="native", **options)
    assert same(found.to_dict(), quarn.quarn_detector(centred, **native))


def test_centring_moves_nothing_on_a_series_near_zero():
    assert same_detection(
        quarn.detect(SERIES, method="native").to_dict(), quarn.quarn_detector(SERIES)
    )


def test_change_points_are_the_consensus_of_the_window_results(result):
    # Against the consensus computed here from each window size's change
    # points (votes, chained segments, leaders, scores, probabilities,
    # running cdf), bit for bit.
    expected = consensus_of(
        {size: window.change_points.tolist() for size, window in result.window_results.items()},
        tol=2,
    )
    assert result.positions == tuple(expected) and len(expected) > 0
    assert list(result.positions) == sorted(set(result.positions))
    for point in result.change_points:
        votes, score, probability, _ = expected[point.position]
        assert (point.votes, point.score, point.probability) == (votes, score, probability)
        assert point.label is None
    assert result.to_dict()["out"]["cdf"] == [(p, v[3]) for p, v in expected.items()]
    best = max(result.change_points, key=lambda p: p.score)
    assert abs(best.position - 120) <= 2


def test_the_consensus_of_a_hand_worked_example():
    # Three window sizes report [100], [101] and [100, 250]; tol 2 chains
    # 100 and 101: 3 votes, score 1; 250 alone: 1 vote of 3; probabilities
    # 3/4 and 1/4.
    values = {3: [100], 4: [101], 5: [100, 250]}
    assert consensus_of(values, tol=2) == {100: (3, 1.0, 0.75, 0.75),
                                           250: (1, 1 / 3, 0.25, 1.0)}


def test_window_results_mirror_the_native_ones(result):
    # The native module run on the centred series is another path to the
    # same numbers.
    centred = [v - statistics.median_low(SERIES) for v in SERIES]
    native = quarn.quarn_detector(centred, window_sizes=[10, 12, 15, 20])["window_results"]
    assert list(result.window_results) == [10, 12, 15, 20]
    for size, found in result.window_results.items():
        assert same(found.to_dict(), native[size])
        assert found.window_size == size
        assert list(found.starts) == list(range(0, len(SERIES) - 2 * size + 1, size))
        assert found.statistics.dtype == found.thresholds.dtype == np.float64
        assert found.change_points.dtype == found.localized_regions.dtype == np.int64


def test_options_reproduce_the_result(result):
    assert result.options["window_sizes"] == (10, 12, 15, 20)
    assert quarn.detect(SERIES, **result.options) == result


def test_pandas_datetime_index_gives_timestamp_labels():
    index = pd.date_range("2021-03-01", periods=len(SERIES), freq="h", name="time")
    found = quarn.detect(pd.Series(SERIES, index=index))
    assert found.change_points
    for point in found.change_points:
        assert isinstance(point.label, pd.Timestamp)
        assert point.label == index[point.position]


def test_pandas_labels_follow_positions_not_index_values():
    index = [f"row{i}" for i in range(len(SERIES))][::-1]
    found = quarn.detect(pd.Series(SERIES, index=index))
    assert [p.label for p in found.change_points] == [index[p] for p in found.positions]


@pytest.mark.parametrize(
    "mutate, error",
    [
        (lambda r: setattr(r, "n_samples", 1), dataclasses.FrozenInstanceError),
        (lambda r: setattr(r, "change_points", ()), dataclasses.FrozenInstanceError),
        (lambda r: setattr(r.change_points[0], "position", 0), dataclasses.FrozenInstanceError),
        (lambda r: operator.setitem(r.window_results, 10, {}), TypeError),
        (lambda r: setattr(r.window_results[10], "statistics", None), dataclasses.FrozenInstanceError),
        (lambda r: operator.setitem(r.window_results[10].statistics, 0, 1.0), ValueError),
        (lambda r: operator.setitem(r.window_results[10].thresholds, 0, 1.0), ValueError),
        (lambda r: operator.setitem(r.window_results[12].change_points, 0, 1), ValueError),
        (lambda r: operator.setitem(r.window_results[12].starts, 0, 1), ValueError),
        (lambda r: operator.setitem(r.options, "seed", 1), TypeError),
        (lambda r: operator.setitem(r.values, 0, 1.0), ValueError),
    ],
)
def test_result_is_immutable(result, mutate, error):
    with pytest.raises(error):
        mutate(result)


def test_result_keeps_its_own_copies():
    values = np.array(SERIES)
    found = quarn.detect(values)
    before = found.to_dict()
    values[:] = 0.0
    changed = found.to_dict()
    changed["out"]["leaders_scores"].clear()
    assert same(found.to_dict(), before)
    assert list(found.values) == SERIES
    with pytest.raises(ValueError):
        found.values[0] = 1.0


@pytest.mark.parametrize(
    "series, error, message",
    [
        (np.zeros((10, 2)), ValueError, "one-dimensional"),
        (np.array(1.0), ValueError, "one-dimensional"),
        (pd.DataFrame({"a": SERIES, "b": SERIES}), ValueError, "single column"),
        ("1,2,3", TypeError, "got str"),
        ({1.0, 2.0, 3.0}, TypeError, "got set"),
        ({"a": 1.0}, TypeError, "got dict"),
        (iter(SERIES), TypeError, "list, tuple"),
        ([1.0, 2.0, "x", 4.0], TypeError, "position 2 is 'x'"),
        ([1.0, None, 3.0, 4.0], TypeError, "position 1 is None"),
        (np.array([1 + 2j, 3j, 4]), TypeError, "complex"),
        (pd.Series(["a", "b", "c"]), TypeError, "numbers"),
        ([1.0, 2.0], ValueError, "at least 3 values"),
        ([1.0, 2.0, math.nan, math.inf, 5.0], ValueError, "2 NaN or infinite values, the first at position 2"),
        (np.ma.masked_array([1.0, 2.0, 3.0, 4.0], mask=[0, 0, 1, 1]), ValueError,
         "series has 2 missing (masked) values, the first at position 2"),
        ([1.0, 2.0, 10**400, 4.0], ValueError,
         "series item at position 2 is an integer too large for a float (an integer of about 401 digits)"),
        ([1.0, 2.0, 3.0, list(range(100_000))], TypeError, "(688890 characters), not a number"),
        (array.array("w" if sys.version_info >= (3, 13) else "u", "abc"), TypeError,
         "array of characters"),
        (
            pd.Series([1.0, 2.0, None, 4.0], index=pd.date_range("2020-01-01", periods=4)),
            ValueError,
            "position 2 (label 2020-01-03",
        ),
    ],
)
def test_bad_series_are_rejected_clearly(series, error, message):
    # missing="raise": missing values are refused as the other faults are.
    with pytest.raises(error) as info:
        quarn.detect(series, missing="raise")
    assert message in str(info.value)


@pytest.mark.parametrize(
    "options, error, message",
    [
        ({"alpha": 5}, ValueError, "alpha must be a fraction from 0 to 1 (0.05 means 5%), got 5.0"),
        ({"alpha": math.nan}, ValueError, "from 0 to 1"),
        ({"alpha": "0.05"}, TypeError, "alpha must be a number, got '0.05'"),
        ({"window_sizes": []}, ValueError, "must not be empty"),
        ({"window_sizes": [10, 0]}, ValueError,
         "window_sizes[1] must be an integer from 1 to 18446744073709551615, got 0"),
        ({"window_sizes": 2**64}, ValueError,
         "window_sizes must be an integer from 1 to 18446744073709551615, got 18446744073709551616"),
        ({"window_sizes": [10.0]}, TypeError, "window_sizes[0] must be an integer, got 10.0"),
        ({"window_sizes": "10"}, TypeError, "window_sizes"),
        ({"window_sizes": iter(range(1, 10**9))}, ValueError, "at most 10000 window sizes"),
        ({"window_sizes": [10, 3, 2]}, ValueError,
         "window size 3 is too small for the bootstrap: window sizes below 4 need an explicit "
         "block_length"),
        ({"window_sizes": [1], "block_length": 4}, ValueError, "window size 1"),
        ({"n_perm": 0}, ValueError, "n_perm must be an integer from 1 to 1000000, got 0"),
        ({"n_perm": 10**6 + 1}, ValueError, "from 1 to 1000000, got 1000001"),
        ({"n_perm": 2**64}, ValueError, "from 1 to 1000000, got 18446744073709551616"),
        ({"n_perm": 2.5}, TypeError, "n_perm must be an integer, got 2.5"),
        ({"seed": -1}, ValueError, "seed must be an integer from 0 to 18446744073709551615, got -1"),
        ({"seed": 2**64}, ValueError,
         "seed must be an integer from 0 to 18446744073709551615, got 18446744073709551616"),
        ({"seed": 10**4000 * 10**1000}, ValueError, "got an integer of about 5001 digits"),
        ({"tol": -1}, ValueError, "tol must be an integer from 0 to"),
        ({"workers": -1}, ValueError, "workers must be an integer from 0 to"),
        ({"workers": True}, TypeError, "workers must be an integer, got True"),
        ({"change_type": "median"}, ValueError, "'median'"),
        ({"change_type": "x" * 10_000}, ValueError, "(10002 characters)"),
        ({"change_type": 3}, TypeError, "change_type"),
        ({"block_length": 0}, ValueError, "block_length must be an integer from 1 to"),
        ({"taper_ratio": 1.5}, ValueError, "taper_ratio"),
        ({"center": 1}, TypeError, "center"),
        ({"alpha_q": 0.05}, TypeError, "alpha_q"),
    ],
)
def test_bad_options_are_rejected_clearly(options, error, message):
    with pytest.raises(error) as info:
        quarn.detect(SERIES, method="native", **options)
    assert message in str(info.value)
    assert len(str(info.value)) < 300


def test_plot_draws_series_and_change_points(result):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    from matplotlib.figure import Figure

    ax = Figure().add_subplot()
    assert result.plot(ax=ax) is ax
    (line, *_) = ax.get_lines()
    assert list(line.get_ydata()) == SERIES
    marked = [l.get_xdata()[0] for l in ax.get_lines()[1:] if len(l.get_xdata()) == 2]
    assert marked == list(result.positions)
    (top,) = ax.child_axes  # the probabilities are the tick labels of a top axis
    shown = [t.get_text() for t in top.xaxis.get_ticklabels()]
    assert shown == [f"{p.probability:.2f}" for p in result.change_points]


def test_plot_of_a_pandas_series_uses_its_dates():
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    index = pd.date_range("2021-03-01", periods=len(SERIES), freq="D")
    ax = quarn.detect(pd.Series(SERIES, index=index)).plot()
    low, high = ax.get_xlim()
    assert matplotlib.dates.num2date(low).year == 2021
    plt.close(ax.figure)


@pytest.mark.parametrize(
    "index, kind",
    [
        (pd.period_range("2021-01", periods=len(SERIES), freq="M"), "dates"),
        (pd.timedelta_range("0s", periods=len(SERIES), freq="s"), "labels"),
        (pd.Index([f"row {i}" for i in range(len(SERIES))]), "labels"),
        (pd.CategoricalIndex([f"c{i}" for i in range(len(SERIES))]), "labels"),
    ],
    ids=["period", "timedelta", "strings", "categorical"],
)
def test_plot_of_any_flat_index(index, kind):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    ax = quarn.detect(pd.Series(SERIES, index=index)).plot()
    ax.figure.canvas.draw()
    if kind == "dates":
        assert matplotlib.dates.num2date(ax.get_xlim()[0]).year in (2020, 2021)
    else:
        assert [t.get_text() for t in ax.get_xticklabels()][0] == str(index[0])
    plt.close(ax.figure)


def test_plot_refuses_a_multiindex_before_drawing(monkeypatch):
    index = pd.MultiIndex.from_product([["a", "b"], range(len(SERIES) // 2)])
    result = quarn.detect(pd.Series(SERIES, index=index), method="native")
    assert result.change_points[0].label[0] == "a"
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # nothing may be drawn first
    with pytest.raises(ValueError, match=r"cannot plot a series with a MultiIndex \(2 levels\)"):
        result.plot()


@pytest.mark.parametrize(
    "sizes, message",
    [
        ([1000], "window size 1000 needs at least 2000 values; the series has 240, so it "
                 "analysed nothing and no change point can be found"),
        ([10, 120, 121, 200], "window sizes 121,200 need at least 242 to 400 values; the "
                              "series has 240, so they analysed nothing"),
    ],
)
def test_window_sizes_that_cannot_analyse_the_series_warn(sizes, message):
    with pytest.warns(quarn.QuarnWarning) as caught:
        quarn.detect(SERIES, method="native", window_sizes=sizes)
    assert [str(w.message) for w in caught] == [message]
    assert issubclass(quarn.QuarnWarning, UserWarning)


def test_plot_without_matplotlib_names_the_extra(result, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    with pytest.raises(ImportError, match=r"pip install 'quarn\[plot\]'"):
        result.plot()


def test_pandas_is_not_needed():
    code = (
        "import sys\n"
        "sys.modules['pandas'] = None\n"
        "import quarn\n"
        "r = quarn.detect([0.0] * 50 + [5.0] * 50)\n"
        "print(r.positions)\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "(50,)"


def test_json_form_round_trips_nan_and_infinity():
    native = quarn.quarn_detector(SERIES, window_sizes=[10, 20], n_perm=0)
    native["window_results"][10]["statistics"][:2] = [math.inf, -math.inf]
    text = json.dumps(to_jsonable(native), allow_nan=False)
    back = from_jsonable(json.loads(text))
    assert same(back, native)
    assert math.isnan(back["window_results"][20]["tapered_block_bootstrap_threshold"][0])


def _jsonable_changed(change):
    data = json.loads(json.dumps(to_jsonable(quarn.quarn_detector(SERIES, window_sizes=[10, 20]))))
    change(data)
    return data


@pytest.mark.parametrize(
    "change, message",
    [
        (lambda d: d["cp_dict"]["10"].append(7), "cp_dict 10 differs"),
        (lambda d: d["cp_dict"].update({"30": []}), "name different window sizes"),
        (lambda d: d["out"]["leaders_scores"].update({"3": 0.5}), "different leaders"),
        (lambda d: d["out"]["cdf"].pop(), "out cdf and leaders_segment_votes"),
        (lambda d: d["window_results"]["20"]["change_points"].append(2**70), "out of range"),
        (lambda d: d["out"]["cdf"][0].__setitem__(1, "one"), "expected a number"),
    ],
    ids=["cp_dict", "sizes", "leaders", "cdf", "huge", "not a number"],
)
def test_json_form_that_contradicts_itself_is_refused(change, message):
    with pytest.raises(ValueError, match=message):
        from_jsonable(_jsonable_changed(change))


def test_bundled_dataset_is_the_annotated_well_log():
    data = quarn.load_dataset()
    assert (data.name, len(data.values), len(data.annotations)) == ("well_log", 675, 5)
    assert 179 in data.annotated_positions()
    with pytest.raises(ValueError, match="no bundled dataset 'nile'"):
        quarn.load_dataset("nile")

"""quarn.detect_many: every input shape gives what a loop of quarn.detect
gives, failures name their series, and the run reports progress."""

import math

import pytest

import quarn
from helpers import sweep_positions
from sample_series import gauss_step, piecewise

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")

COLUMNS = ["series", "position", "label", "votes", "score", "probability", "kind", "p_value",
           "interval_low", "interval_high", "direction", "effect"]
OPTIONS = {"method": "native", "n_perm": 60, "window_sizes": [8, 12, 20]}

VALUES = {
    "up": gauss_step(300, at=100, shift=3.0, seed=1),
    "down": gauss_step(260, at=200, shift=-4.0, seed=2),
    "spread": piecewise(420, scales=(1.0, 4.0), seed=3),
    "flat": [2.5] * 80,
    "short": gauss_step(30, at=15, seed=4),
}
DAYS = pd.date_range("2024-01-01", periods=500, freq="D", name="day")


def loop(named, **options):
    """The reference: one quarn.detect per series, its frame after a
    column with the series' name."""
    frames = [quarn.detect(series, **options).to_frame().assign(series=name)
              for name, series in named]
    return pd.concat(frames, ignore_index=True)[COLUMNS]


def long_frame(shuffled=True):
    rows = pd.concat(
        [pd.DataFrame({"sensor": name, "day": DAYS[: len(v)], "reading": v})
         for name, v in VALUES.items()],
        ignore_index=True,
    )
    return rows.sample(frac=1.0, random_state=7) if shuffled else rows


WIDE = pd.DataFrame({name: pd.Series(v[:250], index=DAYS[:250]) for name, v in VALUES.items()
                     if len(v) >= 250})


def _long_reference(frame, time="day"):
    return loop(
        ((name, group.sort_values(time, kind="stable").set_index(time)["reading"])
         for name, group in frame.groupby("sensor", sort=False)),
        **OPTIONS,
    )


SHAPES = {
    "mapping of lists": (lambda: VALUES, {}, lambda: loop(VALUES.items(), **OPTIONS)),
    "mapping of dated Series": (
        lambda: {k: pd.Series(v, index=DAYS[: len(v)]) for k, v in VALUES.items()},
        {},
        lambda: loop(((k, pd.Series(v, index=DAYS[: len(v)])) for k, v in VALUES.items()),
                     **OPTIONS),
    ),
    "list of arrays": (lambda: [np.array(v) for v in VALUES.values()], {},
                       lambda: loop(enumerate(np.array(v) for v in VALUES.values()), **OPTIONS)),
    "tuple of mixed kinds": (
        lambda: (VALUES["up"], np.array(VALUES["down"], dtype=np.float32), tuple(VALUES["flat"])),
        {},
        lambda: loop(enumerate((VALUES["up"], np.array(VALUES["down"], dtype=np.float32),
                                tuple(VALUES["flat"]))), **OPTIONS),
    ),
    "wide frame": (lambda: WIDE, {}, lambda: loop(((c, WIDE[c]) for c in WIDE.columns), **OPTIONS)),
    "wide frame with a time column": (
        lambda: WIDE.reset_index().iloc[::-1],
        {"time": "day"},
        lambda: loop(((c, WIDE[c]) for c in WIDE.columns), **OPTIONS),
    ),
    "long frame": (lambda: long_frame(), {"by": "sensor", "time": "day", "value": "reading"},
                   lambda: _long_reference(long_frame())),
    "long frame, value implied": (lambda: long_frame(), {"by": "sensor", "time": "day"},
                                  lambda: _long_reference(long_frame())),
    "long frame indexed by series": (
        lambda: long_frame().set_index("sensor"), {"by": "sensor", "time": "day"},
        lambda: _long_reference(long_frame()),
    ),
    "long frame without time": (
        lambda: long_frame(shuffled=False).drop(columns="day"), {"by": "sensor"},
        lambda: loop(((n, g["reading"].to_numpy()) for n, g in
                      long_frame(shuffled=False).groupby("sensor", sort=False)), **OPTIONS),
    ),
}


@pytest.mark.filterwarnings("ignore::quarn.QuarnWarning")
@pytest.mark.parametrize("shape", list(SHAPES))
def test_every_shape_equals_a_loop_of_detect(shape):
    make, columns, reference = SHAPES[shape]
    found = quarn.detect_many(make(), **columns, **OPTIONS)
    pd.testing.assert_frame_equal(found, reference())
    assert list(found.columns) == COLUMNS
    assert len(found) > 10


def test_default_options_and_the_empty_cases():
    found = quarn.detect_many({"a": VALUES["up"], "b": VALUES["down"]})
    pd.testing.assert_frame_equal(found, loop([("a", VALUES["up"]), ("b", VALUES["down"])]))
    for empty in ([], {}, pd.DataFrame({"x": []}).iloc[:, :0]):
        nothing = quarn.detect_many(empty)
        assert list(nothing.columns) == COLUMNS and len(nothing) == 0
    assert nothing["position"].dtype == np.int64 and nothing["score"].dtype == np.float64


def _with_nan(values, at):
    values = list(values)
    values[at] = math.nan
    return values


@pytest.mark.filterwarnings("ignore::quarn.QuarnWarning")
@pytest.mark.parametrize(
    "data, columns, error, message",
    [
        ({"a": VALUES["up"], "b": _with_nan(VALUES["down"], 7)}, {"missing": "raise"}, ValueError,
         "series 'b': series contains 1 NaN or infinite value, the first at position 7;"),
        ([VALUES["up"], [1.0, "x", 2.0]], {}, TypeError,
         "series 1: series item at position 1 is 'x', not a number"),
        ({"a": VALUES["up"], "b": [1.0, 2.0]}, {}, ValueError,
         "series 'b': series must contain at least 3 values"),
        ({"a": np.zeros((3, 3))}, {}, ValueError, "series 'a': series must be one-dimensional"),
        (long_frame().assign(reading=lambda f: f["reading"].where(f.index != 333)),
         {"by": "sensor", "time": "day", "missing": "raise"}, ValueError,
         "series 'down': series contains 1 NaN or infinite value, the first at position 33 "
         "(label 2024-02-03"),
        (long_frame().assign(sensor=lambda f: f["sensor"].where(f.index != 5)),
         {"by": "sensor", "time": "day"}, ValueError,
         "by: the column 'sensor' has 1 missing value"),
        (long_frame(), {"by": "sensor", "value": "reading"}, ValueError, None),
        (long_frame(), {"by": "sensor"}, ValueError, "value: name the column of values"),
        (long_frame(), {"by": "station"}, ValueError, "no column 'station'"),
        (long_frame(), {"by": "sensor", "value": "level"}, ValueError, "value: no column 'level'"),
        (long_frame().assign(reading="high"), {"by": "sensor", "value": "reading"}, TypeError,
         "must hold numbers"),
        (WIDE, {"value": "up"}, TypeError, "give by as well"),
        (VALUES, {"by": "sensor"}, TypeError, "apply to a pandas DataFrame"),
        (np.zeros((4, 50)), {}, TypeError, "list(array) for the rows"),
        (pd.Series(VALUES["up"]), {}, TypeError, "use quarn.detect for one series"),
        (VALUES["up"], {}, TypeError, "got a list of numbers"),
        ("abc", {}, TypeError, "got str"),
        (42, {}, TypeError, "got int"),
    ],
)
def test_failures_name_the_series_or_the_column(data, columns, error, message):
    if message is None:  # a long frame whose time column is left out works
        assert len(quarn.detect_many(data, **columns, **OPTIONS)) > 0
        return
    with pytest.raises(error) as raised:
        quarn.detect_many(data, **columns, **OPTIONS)
    assert message in str(raised.value)


def test_option_errors_are_those_of_detect():
    with pytest.raises(ValueError, match="alpha must be a fraction"):
        quarn.detect_many(VALUES, alpha=2.0)
    with pytest.raises(ValueError, match="window sizes below 4 need an explicit block_length"):
        quarn.detect_many(VALUES, method="native", window_sizes=[3])
    with pytest.raises(TypeError, match="progress must be a function"):
        quarn.detect_many(VALUES, progress="bar")


def test_short_series_give_one_warning_naming_them():
    data = {f"s{i}": VALUES["short"] for i in range(5)} | {"long": VALUES["up"]}
    with pytest.warns(quarn.QuarnWarning) as caught:
        quarn.detect_many(data, method="native", window_sizes=[20], n_perm=20)
    (warning,) = caught
    text = str(warning.message)
    assert text.startswith("window size 20 needs at least 40 values; series 's0' has 30")
    assert "'s2'" in text and "'s3'" not in text
    assert text.endswith("and 2 more series are too short")


def test_a_series_too_short_for_the_confirm_method_is_named():
    data = {"tiny": VALUES["short"][:8], "long": VALUES["up"]}
    with pytest.warns(quarn.QuarnWarning) as caught:
        quarn.detect_many(data, method="confirm")
    assert [str(w.message) for w in caught] == [
        "window size 5 needs at least 10 values; series 'tiny' has 8, so it analysed "
        "nothing and no change point can be found"]


@pytest.mark.filterwarnings("ignore::quarn.QuarnWarning")
def test_progress_counts_the_positions_of_all_series():
    calls = []
    quarn.detect_many(VALUES, progress=lambda done, total: calls.append((done, total)), **OPTIONS)
    total = sum(sweep_positions(len(v), OPTIONS["window_sizes"]) for v in VALUES.values())
    assert calls[-1] == (total, total)
    assert all(t == total for _, t in calls)
    assert [d for d, _ in calls] == sorted(d for d, _ in calls)

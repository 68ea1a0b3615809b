"""Change tables become change points and segments exactly as the classes'
own constructors would make them, and checked options are the same whether
they are the defaults (known in advance) or checked one by one."""

import copy
import pickle

import pytest

import quarn
from quarn.options import OPTIONS, _checked, check_options
from quarn.result import ChangePoint, Segment, build_result

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")

NAN = float("nan")


def _detection(kinds, *, intervals=True, n=100):
    """An engine-like detection with one row per kind (None: untested)."""
    rows = len(kinds)
    positions = np.array([10 + 20 * i for i in range(rows)], dtype=np.int64)
    table = {
        "position": positions,
        "kind": tuple(kinds),
        "p_value": np.array([0.001 * (i + 1) for i in range(rows)]),
        "votes": np.arange(rows, dtype=np.int64) + 2,
        "score": np.linspace(0.25, 1.0, rows) if rows else np.empty(0),
        "probability": np.full(rows, 1.0 / max(rows, 1)),
        "cdf": np.linspace(0.1, 0.9, rows) if rows else np.empty(0),
        "direction": tuple("up" if k == "level" else None for k in kinds),
        # NaN where a figure does not apply (a change of shape has no size).
        "effect": np.array([NAN if k == "shape" else 1.5 + i for i, k in enumerate(kinds)]),
    }
    if intervals:
        table["interval_low"] = positions - 2
        table["interval_high"] = positions + 3
    cuts = [0, *positions.tolist(), n]
    segments = {
        "starts": np.array(cuts[:-1], dtype=np.int64),
        "stops": np.array(cuts[1:], dtype=np.int64),
        "counts": np.diff(np.array(cuts, dtype=np.int64)),
        "levels": np.arange(rows + 1, dtype=np.float64),
        "spreads": np.full(rows + 1, 0.5),
        "slopes": np.array([NAN if i % 2 else 0.25 for i in range(rows + 1)]),
    }
    return {"n": n, "windows": (), "table": table, "segments": segments,
            "seasonal_period": None, "n_missing": 0}


def _expected_points(detection, index):
    """The change points by the documented rules, made by ChangePoint()."""
    table = detection["table"]
    points = []
    for i, position in enumerate(table["position"].tolist()):
        kind = table["kind"][i]
        tested = kind is not None
        interval = None
        if tested and "interval_low" in table:
            interval = (int(table["interval_low"][i]), int(table["interval_high"][i]))
        effect = float(table["effect"][i]) if tested else None
        points.append(ChangePoint(
            position=position,
            votes=int(table["votes"][i]),
            score=float(table["score"][i]),
            probability=float(table["probability"][i]),
            label=None if index is None else index[position],
            kind=kind,
            p_value=float(table["p_value"][i]) if tested else None,
            interval=interval,
            direction=table["direction"][i],
            effect=None if effect is not None and effect != effect else effect,
            interval_labels=(
                None if index is None or interval is None
                else (index[interval[0]], index[interval[1]])
            ),
        ))
    return tuple(points)


def _same_instance(a, b):
    """Equal, of the same class, with the same attributes in the same order
    and the same pickle."""
    return (
        type(a) is type(b)
        and a == b
        and list(vars(a).items()) == list(vars(b).items())
        and pickle.dumps(a) == pickle.dumps(b)
    )


@pytest.mark.parametrize(
    "kinds",
    [
        pytest.param((), id="none"),
        pytest.param(("level",), id="one"),
        pytest.param(("level", "shape", "spread", "slope", "pattern"), id="every-kind"),
        pytest.param((None, None, None), id="untested"),
        pytest.param(("level", None, "shape"), id="mixed"),
    ],
)
@pytest.mark.parametrize("intervals", [True, False], ids=["intervals", "no-intervals"])
@pytest.mark.parametrize("indexed", [False, True], ids=["plain", "dated"])
def test_rows_become_the_points_the_constructor_makes(kinds, intervals, indexed):
    detection = _detection(kinds, intervals=intervals)
    index = pd.date_range("2024-01-01", periods=100, freq="h") if indexed else None
    values = np.linspace(0.0, 1.0, 100)
    result = build_result(detection, values, index, check_options({}))
    expected = _expected_points(detection, index)
    assert len(result.change_points) == len(expected)
    for got, want in zip(result.change_points, expected):
        assert _same_instance(got, want)
        assert hash(got) == hash(want)
    moved = pickle.loads(pickle.dumps(result))
    assert moved == result and moved.change_points == expected
    assert copy.deepcopy(result) == result


@pytest.mark.parametrize("kinds", [(), ("level", "shape"), ("slope",) * 4])
def test_segments_are_the_constructor_s(kinds):
    detection = _detection(kinds)
    result = build_result(detection, np.zeros(100), None, check_options({}))
    arrays = detection["segments"]
    expected = tuple(
        Segment(start=int(arrays["starts"][i]), stop=int(arrays["stops"][i]),
                level=float(arrays["levels"][i]), spread=float(arrays["spreads"][i]),
                slope=None if arrays["slopes"][i] != arrays["slopes"][i]
                else float(arrays["slopes"][i]),
                count=int(arrays["counts"][i]))
        for i in range(len(kinds) + 1)
    )
    assert len(result.segments) == len(expected)
    for got, want in zip(result.segments, expected):
        assert _same_instance(got, want)


@pytest.mark.parametrize("method", ["confirm", "native"])
def test_detections_travel_whole(method):
    x = np.r_[np.zeros(150), np.full(150, 4.0), np.zeros(150)]
    x = x + np.random.default_rng(3).standard_normal(450)
    options = {} if method == "confirm" else {"window_sizes": [20, 40], "n_perm": 50}
    result = quarn.detect(pd.Series(x, index=pd.date_range("2024", periods=450, freq="D")),
                          method=method, **options)
    assert result.change_points
    for travelled in (pickle.loads(pickle.dumps(result)), copy.deepcopy(result),
                      quarn.DetectionResult.from_json(result.to_json())):
        assert travelled == result
        for got, want in zip(travelled.change_points, result.change_points):
            assert _same_instance(got, want)


DEFAULTS = {option.name: option.default for option in OPTIONS}


@pytest.mark.parametrize(
    "given",
    [
        pytest.param({}, id="nothing"),
        pytest.param(dict(DEFAULTS), id="every-default"),
        pytest.param({"seed": 123, "method": "confirm"}, id="some-defaults"),
        pytest.param({"method": "CONFIRM"}, id="method-in-capitals"),
        pytest.param({"seed": np.int64(123)}, id="numpy-seed"),
        pytest.param({"seed": 7}, id="other-seed"),
        pytest.param({"alpha": 0.05}, id="alpha"),
        pytest.param({"missing": "raise"}, id="missing"),
        pytest.param({"method": "native"}, id="native"),
        pytest.param({"workers": 1}, id="workers"),
    ],
)
def test_defaults_are_checked_as_any_options(given):
    assert check_options(given) == _checked(given, False)
    assert check_options(given, cli=True) == _checked(given, True)


@pytest.mark.parametrize(
    "given, error",
    [
        pytest.param({**DEFAULTS, "colour": None}, TypeError, id="unknown-beside-defaults"),
        pytest.param({"seed": True}, TypeError, id="seed-true"),
        pytest.param({"seed": 123.0}, TypeError, id="seed-float"),
        pytest.param({"method": "other"}, ValueError, id="method"),
    ],
)
def test_values_equal_to_a_default_are_still_checked(given, error):
    with pytest.raises(error):
        _checked(given, False)
    with pytest.raises(error):
        check_options(given)


def test_the_checked_defaults_are_not_shared():
    first = check_options({})
    first["seed"] = 5
    first["alpha"] = 0.5
    assert check_options({})["seed"] == 123
    assert check_options({}) == _checked({}, False)

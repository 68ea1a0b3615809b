"""quarn._engine.run: both methods on one series or many, one change table
per series, the native method's scaling done in the engine."""

import numpy as np
import pytest

from helpers import consensus_of
from quarn import _engine
from quarn.options import check_options
from quarn.result import WindowResult

_ENGINE_OPTIONS = ("method", "window_sizes", "n_perm", "alpha", "confidence", "seed", "tol",
                   "workers", "change_type", "block_length", "taper_ratio", "center")


def arguments(**given):
    """run()'s options from the options table's defaults of the method."""
    options = check_options({"method": given.pop("method", "confirm"), **given})
    found = {name: options[name] for name in _ENGINE_OPTIONS}
    if found["window_sizes"] is not None:
        found["window_sizes"] = list(found["window_sizes"])
    return found


def _series():
    rng = np.random.default_rng(18)
    lengths = [400, 60, 1200, 250]
    batch = [rng.normal(size=n) + np.where(np.arange(n) >= n // 2, 3.0, 0.0) for n in lengths]
    batch[3][[0, 17, 18, 200]] = np.nan
    return batch


BATCH = _series()


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and np.array_equal(
        a.view(np.uint8), b.view(np.uint8))


def same_detection(a, b):
    assert a.keys() == b.keys()
    for name, column in a["table"].items():
        other = b["table"][name]
        assert (column == other) if isinstance(column, tuple) else same_bits(column, other), name
    assert [WindowResult.from_engine(w) for w in a["windows"]] == [
        WindowResult.from_engine(w) for w in b["windows"]]
    for name, column in a["segments"].items():
        assert same_bits(column, b["segments"][name]), name
    for key in ("n", "seasonal_period", "n_missing"):
        assert a[key] == b[key]


@pytest.mark.parametrize("method", ["confirm", "native"])
def test_many_series_equal_one_call_per_series(method):
    options = arguments(method=method, **({"n_perm": 40} if method == "native" else {}))
    many = _engine.run(BATCH, **options, skip_missing=True)
    assert len(many) == len(BATCH)
    for series, found in zip(BATCH, many):
        (alone,) = _engine.run([series], **options, skip_missing=True)
        same_detection(found, alone)
        assert found["n"] == series.size and found["n_missing"] == np.isnan(series).sum()
    assert _engine.run([], **options, skip_missing=False) == []


def test_the_native_table_is_the_detectors_consensus():
    # The native method's table is the consensus of its windows' change
    # points (as computed here apart from the core): leaders, votes, scores,
    # probabilities and cdf, and no test.
    options = arguments(method="native", n_perm=40)
    (found,) = _engine.run([BATCH[0]], **options, skip_missing=False, scale=False)
    expected = consensus_of({w["window_size"]: w["change_points"].tolist()
                             for w in found["windows"]}, tol=options["tol"])
    table = found["table"]
    assert table["position"].tolist() == list(expected) and len(expected) > 0
    for i, column in enumerate(["votes", "score", "probability", "cdf"]):
        assert table[column].tolist() == [figures[i] for figures in expected.values()], column
    count = len(table["position"])
    assert table["kind"] == (None,) * count and table["direction"] == (None,) * count
    assert np.isnan(table["p_value"]).all() and np.isnan(table["effect"]).all()
    assert found["seasonal_period"] is None


def test_the_confirm_table_holds_each_changes_test():
    (found,) = _engine.run([BATCH[2]], **arguments(), skip_missing=False)
    table = found["table"]
    assert table["position"].tolist() == [600]
    assert table["kind"] == ("level",) and table["direction"] == ("up",)
    assert 0.0 <= table["p_value"][0] <= 0.05
    assert table["interval_low"][0] <= 600 <= table["interval_high"][0]
    assert table["probability"].tolist() == [1.0] and table["cdf"].tolist() == [1.0]
    assert found["segments"]["starts"].tolist() == [0, 600]
    for column in table.values():
        assert not isinstance(column, np.ndarray) or not column.flags.writeable


@pytest.mark.parametrize("power", [-40, 7])
def test_native_figures_come_back_in_the_series_units(power):
    options = arguments(method="native", n_perm=30, window_sizes=[10, 25])
    (base,) = _engine.run([BATCH[0]], **options, skip_missing=False)
    # A power of two maps to the very same scaled series: the figures are
    # those of the series times 2**power, bit for bit.
    (moved,) = _engine.run([BATCH[0] * 2.0**power], **options, skip_missing=False)
    assert same_bits(moved["table"]["position"], base["table"]["position"])
    for a, b in zip(moved["windows"], base["windows"]):
        assert same_bits(a["statistics"], b["statistics"] * 2.0**power)
        assert not a["statistics"].flags.writeable


def test_the_first_failing_series_in_input_order_is_named():
    bad = BATCH[0].copy()
    bad[123] = np.inf
    for method in ("confirm", "native"):
        with pytest.raises(_engine.DetectorError) as raised:
            _engine.run([BATCH[1], bad, BATCH[0][:2]], **arguments(method=method),
                        skip_missing=True)
        assert raised.value.series_index == 1 and raised.value.non_finite_index == 123


@pytest.mark.parametrize(
    "change, message",
    [({"method": "both"}, "method must be"),
     ({"method": "native", "n_perm": None}, "n_perm is needed"),
     ({"confidence": None}, "confidence is needed")],
)
def test_missing_or_wrong_options_are_refused(change, message):
    method = change.get("method", "confirm")
    given = {**arguments(method="confirm" if method == "both" else method), **change}
    with pytest.raises(ValueError, match=message):
        _engine.run([BATCH[0]], **given, skip_missing=False)

"""The result object travels: pickle, deep copies and JSON give equal
results; its table, text and notebook views."""

import copy
import json
import math
import pickle
import statistics

import pytest

import quarn
from helpers import same
from sample_series import gauss_step, piecewise

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")

SERIES = piecewise(600, levels=(0.0, 2.0, -1.0), scales=(1.0, 3.0), seed=5)

INDEXES = {
    "none": None,
    "range": pd.RangeIndex(10, 10 + 3 * 600, 3, name="step"),
    "integers": pd.Index(np.arange(600) * 7 - 50, name=0),
    "floats": pd.Index(np.linspace(-1.0, 1.0, 600).tolist()[:-1] + [math.inf], name="x"),
    "text": pd.Index([f"row {i}" for i in range(600)]),
    "dates": pd.date_range("2023-03-01", periods=600, freq="h", name="when"),
    "zoned dates": pd.date_range("2023-03-20", periods=600, freq="30min", tz="Europe/Berlin"),
    "time differences": pd.timedelta_range("1s", periods=600, freq="250ms"),
    "periods": pd.period_range("1990-01", periods=600, freq="M", name="month"),
}


def _series(index):
    return SERIES if index is None else pd.Series(SERIES, index=index)


@pytest.fixture(scope="module", params=list(INDEXES))
def result(request):
    return quarn.detect(_series(INDEXES[request.param]), method="native", window_sizes=[10, 25, 50], n_perm=80)


def _same_result(a, b):
    assert a == b
    assert same(a.to_dict(), b.to_dict())
    assert [p.label for p in a.change_points] == [p.label for p in b.change_points]
    for window in b.window_results.values():
        for array in (window.statistics, window.thresholds, window.change_points):
            assert not array.flags.writeable
    assert not b.values.flags.writeable


def test_pickle_round_trip(result):
    for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1):
        _same_result(result, pickle.loads(pickle.dumps(result, protocol)))


def test_deep_and_shallow_copies(result):
    _same_result(result, copy.deepcopy(result))
    assert copy.copy(result) == result


def test_json_round_trip(result):
    text = result.to_json()
    json.loads(text)  # standard JSON: no NaN or Infinity literals
    assert "NaN" not in text and "Infinity" not in text.replace('"Infinity"', "")
    back = quarn.DetectionResult.from_json(text)
    _same_result(result, back)
    assert type(back.index) is type(result.index)
    assert quarn.DetectionResult.from_json(result.to_json(indent=2).encode()) == result


def test_results_differing_anywhere_are_unequal():
    base = quarn.detect(SERIES, method="native", n_perm=50)
    assert base != quarn.detect(SERIES, method="native", n_perm=51)
    assert base != quarn.detect(pd.Series(SERIES, index=INDEXES["text"]), method="native", n_perm=50)
    moved = list(SERIES)
    moved[599] += 1e-12  # no change point moves, the values differ
    assert base != quarn.detect(moved, method="native", n_perm=50)
    assert base != "a result"


def test_json_keeps_infinite_statistics():
    # Distances between windows of values near +-1.7e308 exceed the
    # largest float in the series' units.
    huge = [1.7e308 * (-1) ** (i // 40) + 1e306 * v for i, v in enumerate(SERIES[:200])]
    found = quarn.detect(huge, method="native", window_sizes=[20], n_perm=20)
    assert math.isinf(found.window_results[20].statistics.max())
    assert quarn.DetectionResult.from_json(found.to_json()) == found


@pytest.mark.parametrize(
    "index, message",
    [
        (pd.MultiIndex.from_product([["a", "b"], range(300)]), "MultiIndex"),
        (pd.CategoricalIndex([f"c{i % 7}" for i in range(600)]), "CategoricalIndex"),
        (pd.Index([1, "a"] * 300, dtype=object), "holding ['int', 'str']"),
        (pd.RangeIndex(600, name=("a", "b")), "names must be text or numbers"),
    ],
)
def test_json_refuses_an_index_it_cannot_keep(index, message):
    found = quarn.detect(pd.Series(SERIES, index=index), method="native", window_sizes=[25], n_perm=20)
    with pytest.raises(ValueError, match="to_json cannot write") as raised:
        found.to_json()
    assert message in str(raised.value)


@pytest.mark.parametrize(
    "text, message",
    [
        ("{", "not a JSON document"),
        ("[1, 2]", "not a quarn.DetectionResult document"),
        ('{"format": "quarn.DetectionResult", "version": 7}', "unsupported"),
        ('{"format": "quarn.DetectionResult", "version": 1}', "damaged"),
    ],
)
def test_from_json_refuses_other_documents(text, message):
    with pytest.raises(ValueError, match=message):
        quarn.DetectionResult.from_json(text)


def test_from_json_checks_the_lengths():
    document = json.loads(quarn.detect(SERIES, method="native", n_perm=20).to_json())
    document["values"] = document["values"][:-1]
    with pytest.raises(ValueError, match="n_samples = 600"):
        quarn.DetectionResult.from_json(json.dumps(document))


def test_to_frame_columns_and_dtypes():
    index = INDEXES["zoned dates"]
    found = quarn.detect(pd.Series(SERIES, index=index), method="native", n_perm=80)
    frame = found.to_frame()
    assert list(frame.columns) == [
        "position", "label", "votes", "score", "probability", "kind", "p_value",
        "interval_low", "interval_high", "direction", "effect",
    ]
    assert frame["kind"].isna().all() and frame["p_value"].isna().all()
    # the native method has no intervals, directions or effects
    assert frame["interval_low"].dtype == "Int64" and frame["interval_low"].isna().all()
    assert frame["direction"].isna().all() and frame["effect"].isna().all()
    assert frame["position"].tolist() == list(found.positions)
    assert frame["label"].dtype == index.dtype
    assert frame["label"].tolist() == [p.label for p in found.change_points]
    assert frame["votes"].dtype == np.int64 and frame["probability"].dtype == np.float64
    assert frame["score"].tolist() == [p.score for p in found.change_points]
    plain = quarn.detect(SERIES, method="native", n_perm=80).to_frame()
    assert plain["label"].isna().all() and plain["label"].dtype == object


def test_repr_is_short_and_the_notebook_view_escapes_labels():
    noisy = quarn.detect(gauss_step(3000, at=1500, seed=8), method="native")
    text = repr(noisy)
    assert len(noisy.change_points) > 20 and len(text) < 200
    assert text.startswith("DetectionResult(n_samples=3000, change_points=[")
    assert text.endswith(f"... {len(noisy.change_points) - 6} more])")
    labels = pd.Index([f"<b>{i}</b>" for i in range(3000)])
    page = quarn.detect(
        pd.Series(gauss_step(3000, at=1500, seed=8), index=labels), method="native"
    )._repr_html_()
    assert "&lt;b&gt;" in page and "<b>1" not in page
    changes, segments = page.split("Segments")
    assert changes.count("<tr>") == 1 + 20 + 1 and "more</td>" in changes
    assert segments.count("<tr>") == 1 + 20 + 1 and "more</td>" in segments
    assert "3000 values" in page


def test_window_results_expand_their_thresholds_from_runs():
    found = quarn.detect(SERIES, method="native", window_sizes=[10], n_perm=80)
    window = found.window_results[10]
    assert window._threshold_runs is not None  # a handful of runs, not 59 values
    # The native module on the centred series: the same thresholds, every
    # one of the 59 positions written out.
    centred = [v - statistics.median_low(SERIES) for v in SERIES]
    native = quarn.quarn_detector(centred, window_sizes=[10], n_perm=80)["window_results"][10]
    assert len(native["tapered_block_bootstrap_threshold"]) == 59
    assert window.thresholds.tolist() == native["tapered_block_bootstrap_threshold"]
    assert window.starts.tolist() == list(range(0, 590, 10))

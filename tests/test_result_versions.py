"""DetectionResult documents of every format version: those written by
earlier releases read back to the result a detection gives today, and the
current version's round trip loses nothing."""

import copy
import json
from pathlib import Path

import numpy as np
import pytest

import quarn

DATA = Path(__file__).parent / "data"

# Version 1, as to_json wrote it: 200 values with one shift of the level
# (at 110), and the same series with six values missing.
VERSION_1 = [
    "result_v1_native.json",
    "result_v1_confirm.json",
    "result_v1_native_missing.json",
    "result_v1_confirm_missing.json",
]


def _recomputed(document):
    """The result of detecting the document's series with its options."""
    values = np.array([np.nan if v is None else v for v in document["values"]], dtype=float)
    options = {name: value for name, value in document["options"].items() if value is not None}
    return quarn.detect(values, **options)


@pytest.mark.parametrize("name", VERSION_1)
def test_version_1_documents_read_back_to_todays_result(name):
    text = (DATA / name).read_text()
    document = json.loads(text)
    read = quarn.DetectionResult.from_json(text)
    today = _recomputed(document)
    if read.method == "native":
        assert read == today
    else:
        # The candidate detector's windows may change between releases (its
        # replicates did); the changes found, the series and its segments
        # must come back as detected today, and the windows as written.
        assert read.change_points == today.change_points
        assert read.segments == today.segments
        assert np.array_equal(read.values, today.values, equal_nan=True)
        assert sorted(read.window_results) == sorted(
            int(size) for size in document["result"]["window_results"]
        )
    assert read.n_missing == document["n_missing"]
    assert read.method == document["options"]["method"]
    if read.method == "confirm":
        assert read.positions == (110,) and read.change_points[0].kind == "level"


@pytest.mark.parametrize("name", VERSION_1)
def test_round_trip_of_the_current_version_is_lossless(name):
    result = _recomputed(json.loads((DATA / name).read_text()))
    text = result.to_json()
    again = quarn.DetectionResult.from_json(text)
    assert again == result
    assert again.to_json() == text
    assert again.to_dict() == result.to_dict()
    assert [p.__dict__ for p in again.change_points] == [p.__dict__ for p in result.change_points]


def _document(name):
    """A current-version document of a version 1 fixture's series."""
    return json.loads(_recomputed(json.loads((DATA / name).read_text())).to_json())


NATIVE = _document("result_v1_native.json")
CONFIRM = _document("result_v1_confirm.json")
GAPS = _document("result_v1_native_missing.json")


def test_the_current_version_holds_the_results_own_table():
    assert NATIVE["version"] == 2 and "result" not in NATIVE
    table = NATIVE["change_points"]
    assert set(table) == {"position", "kind", "p_value", "votes", "score", "probability",
                          "interval_low", "interval_high", "direction", "effect", "cdf"}
    assert table["kind"] == [None] * len(table["position"])
    assert CONFIRM["change_points"]["kind"] == ["level"]
    # Thresholds by runs, as the result keeps them.
    assert any(window["threshold_runs"] is not None for window in NATIVE["windows"])
    assert all("starts" in window for window in GAPS["windows"])


def _with(document, path, value):
    changed = copy.deepcopy(document)
    target = changed
    for key in path[:-1]:
        target = target[key]
    if value is _DROP:
        del target[path[-1]]
    else:
        target[path[-1]] = value
    return json.dumps(changed)


_DROP = object()
_RUNS = next(i for i, w in enumerate(NATIVE["windows"]) if w["threshold_runs"] is not None)

MALFORMED = [
    ("version 3", NATIVE, ["version"], 3, "unsupported .* version 3"),
    ("no method", NATIVE, ["options", "method"], _DROP, "options has no 'method'"),
    ("no table", NATIVE, ["change_points"], _DROP, "has no 'change_points'"),
    ("table list", NATIVE, ["change_points"], [], "change_points must be an object"),
    ("position 0", NATIVE, ["change_points", "position", 0], 0,
     r"position\[0\] must be an integer from 1 to 199"),
    ("position past the end", NATIVE, ["change_points", "position", -1], 200,
     "must be an integer from 1 to 199"),
    ("positions unordered", NATIVE, ["change_points", "position", 1], 1, "position must ascend"),
    ("column short", NATIVE, ["change_points", "score"], [], "score must hold"),
    ("probability 2", NATIVE, ["change_points", "probability", 0], 2.0, "out of range"),
    ("native votes 0", NATIVE, ["change_points", "votes", 0], 0, r"votes\[0\] must be"),
    ("kind on native", NATIVE, ["change_points", "kind", 0], "level",
     "kind belongs to results of the confirm method"),
    ("period on native", NATIVE, ["seasonal_period"], 12.0, "seasonal_period belongs"),
    ("kind unknown", CONFIRM, ["change_points", "kind", 0], "jump", r"kinds\[0\] must be one of"),
    ("p-value 2", CONFIRM, ["change_points", "p_value", 0], 2.0, r"must lie in \[0, 1\]"),
    ("interval past its point", CONFIRM, ["change_points", "interval_high", 0], 100,
     "must hold its change point 110"),
    ("direction sideways", CONFIRM, ["change_points", "direction", 0], "left",
     r"directions\[0\] must be"),
    ("period 1", CONFIRM, ["seasonal_period"], 1.0, r"seasonal_period must lie in \[2"),
    ("windows object", NATIVE, ["windows"], {}, "windows must be a list"),
    ("window missing", NATIVE, ["windows"], NATIVE["windows"][1:], "not those of the options"),
    ("statistic negative", NATIVE, ["windows", 0, "statistics", 0], -1.0, "must not be negative"),
    ("statistics short", NATIVE, ["windows", 0, "statistics"], [0.5], "statistics must hold"),
    ("no thresholds", NATIVE, ["windows", _RUNS, "threshold_runs"], None,
     "either thresholds or threshold_runs"),
    ("runs not from 0", NATIVE, ["windows", _RUNS, "threshold_runs", "starts", 0], 1,
     "starts must ascend from 0"),
    ("region reversed", NATIVE, ["windows", 0, "localized_regions"], [[50, 40]],
     "empty or reversed"),
    ("change point past the end", NATIVE, ["windows", 0, "change_points"], [200],
     "must be an integer from 1 to 199"),
    ("starts without gaps", NATIVE, ["windows", 0, "starts"], [0], "no value is missing"),
    ("starts too close", GAPS, ["windows", 0, "starts", 1], 1, "must rise by at least"),
    ("segments between other points", NATIVE, ["segments", "starts", 1], 3,
     "segments must lie between the change points"),
    ("no segments", NATIVE, ["segments"], _DROP, "has no 'segments'"),
]


@pytest.mark.parametrize("document, path, value, message", [m[1:] for m in MALFORMED],
                         ids=[m[0] for m in MALFORMED])
def test_malformed_documents_raise_value_error_naming_the_fault(document, path, value, message):
    with pytest.raises(ValueError, match=message):
        quarn.DetectionResult.from_json(_with(document, path, value))


def test_labels_round_trip_and_positions_stay_inside_the_index():
    pd = pytest.importorskip("pandas")
    series = pd.Series(
        np.r_[np.zeros(40), np.full(40, 3.0)] + np.arange(80) % 3 * 0.1,
        index=pd.date_range("2021-01-01", periods=80, freq="h"),
    )
    result = quarn.detect(series)
    again = quarn.DetectionResult.from_json(result.to_json())
    assert again == result and again.change_points[0].interval_labels is not None
    document = json.loads(result.to_json())
    with pytest.raises(ValueError, match="must be an integer from 1 to 79"):
        quarn.DetectionResult.from_json(_with(document, ["change_points", "position", 0], 80))

"""Series with missing values: left out of the detection, every position
reported in the original series."""

import json
import pickle
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import quarn
from quarn.serialize import from_jsonable

DATA = Path(__file__).parent / "data"
METHODS = ["confirm", "native"]


def step(n=400, at=200, shift=4.0, seed=3):
    rng = np.random.default_rng(seed)
    x = rng.normal(0.0, 1.0, n)
    x[at:] += shift
    return x


def with_gaps(x, gaps):
    y = np.array(x, dtype=np.float64)
    y[list(gaps)] = np.nan
    return y


def restored_positions(found, present):
    """Positions found on the present values alone, in the original series."""
    where = np.flatnonzero(present)
    return tuple(int(where[p]) for p in found)


def assert_same_as_compact(result, x, present, **options):
    """The result on the series with gaps is the result on the present values
    with every position moved back to the original series, bit for bit."""
    compact = quarn.detect(x[present], **options)
    assert result.n_missing == int((~present).sum())
    assert result.positions == restored_positions(compact.positions, present)
    for mine, theirs in zip(result.change_points, compact.change_points):
        assert (mine.votes, mine.score, mine.probability, mine.kind, mine.p_value) == (
            theirs.votes, theirs.score, theirs.probability, theirs.kind, theirs.p_value
        )
    where = np.append(np.flatnonzero(present), len(x))
    for mine, theirs in zip(result.change_points, compact.change_points):
        assert (mine.direction, mine.effect) == (theirs.direction, theirs.effect)
        expected = None if theirs.interval is None else tuple(int(where[p]) for p in theirs.interval)
        assert mine.interval == expected
    # The segments tile the whole series; their figures are those of the
    # present values.
    bounds = [0, *result.positions, len(x)]
    assert [(s.start, s.stop) for s in result.segments] == list(zip(bounds[:-1], bounds[1:]))
    for mine, theirs in zip(result.segments, compact.segments, strict=True):
        assert (mine.count, mine.level, mine.spread, mine.slope) == (
            theirs.count, theirs.level, theirs.spread, theirs.slope
        )
    assert list(result.window_results) == list(compact.window_results)
    for size, window in result.window_results.items():
        other = compact.window_results[size]
        assert np.array_equal(window.statistics.view(np.uint64), other.statistics.view(np.uint64))
        assert np.array_equal(window.thresholds.view(np.uint64), other.thresholds.view(np.uint64))
        assert np.array_equal(window.change_points, where[other.change_points])
        assert np.array_equal(window.localized_regions, where[other.localized_regions])
        assert np.array_equal(window.starts, where[other.starts])


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize(
    "gaps",
    [
        [0, 1, 2],  # leading
        [397, 398, 399],  # trailing
        list(range(190, 200)),  # a run just before the change
        [199, 200, 201],  # at the change
        list(range(200, 215)),  # a run just after it
        [5, 77, 150, 200, 260, 333, 399],  # scattered
    ],
    ids=["leading", "trailing", "before", "at", "after", "scattered"],
)
def test_positions_are_those_of_the_present_values_moved_back(method, gaps):
    x = with_gaps(step(), gaps)
    result = quarn.detect(x, method=method)
    assert_same_as_compact(result, x, ~np.isnan(x), method=method)
    assert result.n_samples == 400
    assert np.array_equal(np.isnan(result.values), np.isnan(x))


def test_a_change_is_placed_on_the_first_present_value_after_it():
    x = np.r_[np.zeros(100), np.full(100, 10.0)] + np.tile([0.0, 0.1, -0.1, 0.05], 50)
    y = with_gaps(x, range(98, 104))  # the step at 100 falls into the gap
    (point,) = quarn.detect(y).change_points
    assert point.position == 104


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("seed", range(4))
def test_random_masks_give_the_change_points_of_the_present_values(method, seed):
    rng = np.random.default_rng(100 + seed)
    x = step(n=300, at=int(rng.integers(80, 220)), shift=3.0, seed=seed)
    present = rng.random(300) > rng.uniform(0.02, 0.3)
    y = np.where(present, x, np.nan)
    assert_same_as_compact(quarn.detect(y, method=method), y, present, method=method)


GAPS = [3, 150, 151, 320]


def expected_missing_input():
    x = step()
    return x, with_gaps(x, GAPS)


@pytest.mark.parametrize(
    "make",
    [
        lambda y: np.ma.masked_array(np.where(np.isnan(y), 1e300, y), mask=np.isnan(y)),
        lambda y: [None if np.isnan(v) else float(v) for v in y],
        lambda y: tuple(pd.NA if np.isnan(v) else float(v) for v in y),
        lambda y: pd.Series(pd.array([None if np.isnan(v) else v for v in y], dtype="Float64")),
        lambda y: np.array([None if np.isnan(v) else v for v in y], dtype=object),
    ],
    ids=["masked", "none-in-list", "pandas-na-in-tuple", "nullable-Float64", "object-array"],
)
def test_every_kind_of_missing_value_is_left_out(make):
    x, y = expected_missing_input()
    series = make(y)
    result = quarn.detect(series)
    assert result.n_missing == len(GAPS)
    assert result == quarn.detect(pd.Series(y) if isinstance(series, pd.Series) else y)
    assert np.array_equal(np.isnan(result.values), np.isnan(y))


@pytest.mark.parametrize(
    "series, message",
    [
        (with_gaps(step(), [10, 20]), "series contains 2 NaN or infinite values, the first at position 10"),
        ([1.0, None, 3.0, 4.0], "series item at position 1 is None, not a number"),
        (np.ma.masked_array([1.0, 2.0, 3.0, 4.0], mask=[0, 0, 1, 1]), "series has 2 missing (masked) values"),
    ],
    ids=["nan", "none", "masked"],
)
def test_raise_keeps_the_error(series, message):
    with pytest.raises((ValueError, TypeError), match=None) as info:
        quarn.detect(series, missing="raise")
    assert message in str(info.value)


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("missing", ["skip", "raise"])
def test_infinite_values_stay_errors(method, missing):
    x = with_gaps(step(), [2, 3])
    x[50] = -np.inf
    if missing == "raise":
        x[2:4] = 0.0
    with pytest.raises(ValueError) as info:
        quarn.detect(x, method=method, missing=missing)
    assert "position 50" in str(info.value)
    if missing == "skip":
        assert "1 infinite value" in str(info.value)


@pytest.mark.parametrize(
    "series, message",
    [
        ([np.nan] * 10, "at least 3 values that are not missing, got 0 (10 of 10 missing)"),
        ([1.0, np.nan, 2.0, np.nan], "got 2 (2 of 4 missing)"),
        ([None, None, None], "got 0 (3 of 3 missing)"),
        ([1.0, 2.0], "series must contain at least 3 values"),
    ],
)
def test_too_few_present_values_is_a_clear_error(series, message):
    with pytest.raises(ValueError, match=None) as info:
        quarn.detect(series)
    assert message in str(info.value)


def test_a_short_series_warns_by_its_present_values():
    x = with_gaps(np.arange(30.0), range(5, 15))
    with pytest.warns(quarn.QuarnWarning, match="the series has 20"):
        quarn.detect(x, method="native", window_sizes=[12])


def test_option_is_checked():
    with pytest.raises(ValueError, match="missing must be 'skip' or 'raise', got 'drop'"):
        quarn.detect([1.0, 2.0, 3.0], missing="drop")
    with pytest.raises(TypeError, match="missing must be a string"):
        quarn.detect([1.0, 2.0, 3.0], missing=None)


def test_labels_come_from_the_original_irregular_index():
    x = step(n=300, at=150)
    times = pd.DatetimeIndex(
        np.datetime64("2024-01-01") + np.cumsum(np.random.default_rng(4).integers(1, 90, 300)).astype("timedelta64[m]")
    )
    y = pd.Series(with_gaps(x, [148, 149, 150]), index=times)
    result = quarn.detect(y)
    assert result.n_missing == 3
    assert [p.label for p in result.change_points] == [times[p.position] for p in result.change_points]
    assert result.positions[0] >= 151
    frame = result.to_frame()
    assert list(frame["label"]) == [times[p] for p in result.positions]


@pytest.mark.parametrize("workers", [1, 2, 3])
def test_the_same_result_for_any_number_of_workers(workers):
    x = with_gaps(step(), [10, 11, 250])
    assert quarn.detect(x, workers=workers) == quarn.detect(x, workers=0)


@pytest.mark.parametrize("method", METHODS)
def test_json_pickle_and_equality_keep_the_missing_values(method):
    x = with_gaps(step(), [0, 120, 121, 399])
    result = quarn.detect(x, method=method)
    document = json.loads(result.to_json())
    assert document["n_missing"] == 4
    assert document["values"][120] is None
    back = quarn.DetectionResult.from_json(result.to_json())
    assert back == result and back.n_missing == 4
    assert np.array_equal(back.window_results[min(back.window_results)].starts,
                          result.window_results[min(result.window_results)].starts)
    assert pickle.loads(pickle.dumps(result)) == result
    assert result != quarn.detect(np.nan_to_num(x), method=method)
    assert "n_missing=4" in repr(result)
    assert "(4 missing)" in result._repr_html_()


def test_documents_lying_about_missing_values_are_refused():
    document = json.loads(quarn.detect(with_gaps(step(), [7])).to_json())
    document["n_missing"] = 2
    with pytest.raises(ValueError, match="n_missing = 2 nulls"):
        quarn.DetectionResult.from_json(json.dumps(document))


@pytest.mark.parametrize("name", ["result_before_methods.json", "result_confirm.json", "result_native.json"])
def test_documents_written_before_read_with_no_missing_values(name):
    result = quarn.DetectionResult.from_json((DATA / name).read_text())
    assert result.n_missing == 0
    assert "n_missing" not in repr(result)


@pytest.mark.parametrize("method", METHODS)
def test_detect_many_counts_each_series_own_missing_values(method):
    a = with_gaps(step(seed=1), [5, 6, 7])
    b = step(n=300, at=100, seed=2)
    c = with_gaps(step(n=350, at=120, seed=3), [119, 120])
    frame = quarn.detect_many({"a": a, "b": b, "c": c}, method=method)
    assert frame.attrs["n_missing"] == {"a": 3, "b": 0, "c": 2}
    for name, series in (("a", a), ("b", b), ("c", c)):
        alone = quarn.detect(series, method=method)
        rows = frame[frame["series"] == name]
        assert tuple(rows["position"]) == alone.positions
        assert rows["score"].tolist() == [p.score for p in alone.change_points]


def test_detect_many_long_frame_with_missing_values():
    a = with_gaps(step(seed=1), [5, 6, 7])
    long = pd.DataFrame({"id": ["a"] * 400, "t": np.arange(400), "v": a})
    frame = quarn.detect_many(long, by="id", time="t", value="v")
    assert frame.attrs["n_missing"] == {"a": 3}
    assert tuple(frame["position"]) == quarn.detect(a).positions


def test_detect_many_raise_names_the_series():
    with pytest.raises(ValueError, match="series 'b': series contains 1 NaN"):
        quarn.detect_many({"a": step(), "b": with_gaps(step(), [9])}, missing="raise")


def test_dask_skips_missing_values():
    dd = pytest.importorskip("dask.dataframe")
    a = with_gaps(step(seed=1), [5, 6, 7, 300])
    b = step(n=300, at=100, seed=2)
    long = pd.DataFrame(
        {"id": ["a"] * 400 + ["b"] * 300, "t": np.r_[np.arange(400), np.arange(300)], "v": np.r_[a, b]}
    )
    ddf = dd.from_pandas(long.set_index("id"), npartitions=2, sort=True)
    found = quarn.dask.detect_many(ddf, by="id", time="t", value="v")
    frame = found.compute()
    assert tuple(frame[frame["series"] == "a"]["position"]) == quarn.detect(a).positions


def run_cli(*args, cwd):
    return subprocess.run(
        [sys.executable, "-m", "quarn", *map(str, args)],
        capture_output=True, text=True, cwd=cwd,
    )


def csv_text(values, empty):
    lines = ["time,value"]
    for i, v in enumerate(values):
        cell = {"": "", "NA": "NA"}.get(empty, "") if np.isnan(v) else f"{v:.6f}"
        lines.append(f"2024-01-{1 + i // 24:02d}T{i % 24:02d}:00,{cell}")
    return "\n".join(lines) + "\n"


@pytest.mark.parametrize("empty", ["", "NA"])
def test_cli_reads_missing_cells_as_missing(tmp_path, empty):
    x = np.round(with_gaps(step(n=240, at=120), [3, 60, 61, 200]), 6)
    (tmp_path / "data.csv").write_text(csv_text(x, empty))
    done = run_cli("detect", "data.csv", "--time-column", "time", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "240 values (4 missing)" in done.stdout
    result = quarn.detect(np.round(x, 6))
    table = [line.split() for line in done.stdout.splitlines()[1:] if line.startswith("  ")]
    rows = [row for row in table if row[0].isdigit()]
    assert [int(row[0]) for row in rows] == list(result.positions)
    # The time column's label of the position is printed beside it.
    assert all(row[1].startswith("2024-01-") for row in rows)
    done = run_cli("detect", "data.csv", "--time-column", "time", "--json", cwd=tmp_path)
    (entry,) = json.loads(done.stdout)
    assert entry["n_missing"] == 4 and entry["n_values"] == 240


def test_cli_raise_names_line_and_column(tmp_path):
    x = with_gaps(step(n=240, at=120), [60])
    (tmp_path / "data.csv").write_text(csv_text(x, ""))
    done = run_cli("detect", "data.csv", "--time-column", "time", "--missing", "raise", cwd=tmp_path)
    assert done.returncode != 0
    assert "line 62, column 2 ('value'): missing value (an empty cell)" in done.stderr


def test_cli_blank_lines_of_a_single_column_are_missing(tmp_path):
    x = step(n=200, at=100)
    lines = [f"{v:.6f}" for v in x]
    lines[50] = ""
    (tmp_path / "data.txt").write_text("\n".join(lines) + "\n\n")
    done = run_cli("detect", "data.txt", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "200 values (1 missing)" in done.stdout


def test_cli_too_few_present_values(tmp_path):
    (tmp_path / "data.txt").write_text("1\nNA\n2\nNA\n")
    done = run_cli("detect", "data.txt", cwd=tmp_path)
    assert done.returncode != 0
    assert "2 values that are not missing (2 missing), but at least 3 are needed" in done.stderr


@pytest.mark.parametrize("method", METHODS)
def test_progress_reaches_its_total_over_the_present_values(method):
    calls = []
    x = with_gaps(step(), range(100, 180))
    quarn.detect(x, method=method, progress=lambda done, total: calls.append((done, total)))
    done, total = calls[-1]
    assert done == total
    assert all(t == total and d <= total for d, t in calls)

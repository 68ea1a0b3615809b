"""quarn.dask.detect_many on a local cluster of two worker processes gives
what quarn.detect_many gives on the whole frame."""

import os
import warnings

import pytest

import quarn
from sample_series import gauss_step

pd = pytest.importorskip("pandas")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
import quarn.dask  # noqa: E402

if "asan" in os.environ.get("LD_PRELOAD", ""):
    pytest.skip("worker processes of an instrumented build are too slow", allow_module_level=True)

OPTIONS = {"method": "native", "n_perm": 60, "window_sizes": [10, 15, 20]}
DAYS = pd.date_range("2024-01-01", periods=400, freq="D")

# Twelve series of different lengths, row after row, in order of series.
ROWS = pd.concat(
    [pd.DataFrame({"sensor": f"s{k:02d}", "day": DAYS[: 250 + 10 * k],
                   "reading": gauss_step(250 + 10 * k, at=60 + 12 * k, seed=k)})
     for k in range(12)],
    ignore_index=True,
)
BOUNDS = ROWS.index[ROWS["sensor"] != ROWS["sensor"].shift()].tolist()


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as connected:
            yield connected


def _local(ddf, by="sensor"):
    """detect_many of the whole frame, read with the dtypes Dask gives it."""
    return quarn.detect_many(ddf.compute(), by=by, time="day", value="reading", **OPTIONS)


def _by_series(frame):
    return frame.sort_values(["series", "position"], kind="stable").reset_index(drop=True)


LAYOUTS = {
    # Partitions end where series end: mapped as they are, in order.
    "whole series per partition": lambda: dd.from_pandas(ROWS, npartitions=1).repartition(
        divisions=BOUNDS[::4] + [len(ROWS) - 1]),
    # Indexed by series with known divisions: mapped as they are.
    "indexed by series": lambda: dd.from_pandas(ROWS.set_index("sensor"), npartitions=3),
    # Series split over partitions: shuffled first.
    "split series": lambda: dd.from_pandas(ROWS.sample(frac=1.0, random_state=3), npartitions=4),
}


@pytest.mark.parametrize("layout", list(LAYOUTS))
def test_the_cluster_finds_what_detect_many_finds(client, layout):
    ddf = LAYOUTS[layout]()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        found = quarn.dask.detect_many(ddf, by="sensor", time="day", value="reading", **OPTIONS)
    shuffled = [w for w in caught if "shuffling" in str(w.message)]
    assert len(shuffled) == (layout == "split series")
    table = found.compute()
    expected = _local(ddf)
    assert list(table.columns) == list(expected.columns)
    assert dict(table.dtypes) == dict(found.dtypes)  # the promised meta
    if layout == "whole series per partition":
        pd.testing.assert_frame_equal(table.reset_index(drop=True), expected)
    else:
        pd.testing.assert_frame_equal(_by_series(table), _by_series(expected))
    assert set(table["series"]) == set(ROWS["sensor"])


def test_errors_are_raised_before_anything_runs(client):
    ddf = LAYOUTS["whole series per partition"]()
    with pytest.raises(ValueError, match="by: no column or index 'station'"):
        quarn.dask.detect_many(ddf, by="station")
    with pytest.raises(ValueError, match="value: no column 'level'"):
        quarn.dask.detect_many(ddf, by="sensor", value="level")
    with pytest.raises(ValueError, match="n_perm must be an integer from 1"):
        quarn.dask.detect_many(ddf, by="sensor", method="native", n_perm=0)
    with pytest.raises(TypeError, match="must be a Dask DataFrame"):
        quarn.dask.detect_many(ROWS, by="sensor")


def test_partitions_are_computed_without_warnings():
    # In this process (the synchronous scheduler), where a warning that
    # each partition raises can be seen; the workers of a cluster hide it.
    import dask

    ddf = LAYOUTS["whole series per partition"]()
    found = quarn.dask.detect_many(ddf, by="sensor", time="day", value="reading", **OPTIONS)
    with dask.config.set(scheduler="synchronous"), warnings.catch_warnings():
        warnings.simplefilter("error")
        table = found.compute()
    pd.testing.assert_frame_equal(table.reset_index(drop=True), _local(ddf))

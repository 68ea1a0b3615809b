"""The engine's run on many series at once: equal to one call per series."""

import numpy as np
import pytest

from helpers import engine, native_run, native_run_many, same
from helpers import detection_as_native


def _batch():
    rng = np.random.default_rng(11)
    lengths = [900, 3, 25, 41, 1300, 333, 90, 2000, 7, 600]
    return [rng.normal(size=n) + np.where(np.arange(n) > n // 2, 2.0, 0.0) for n in lengths]


BATCH = _batch()

OPTIONS = [
    {"n_perm": 64},
    {"n_perm": 100, "workers": 1, "change_type": "var"},
    {"n_perm": 63, "workers": 3, "window_sizes": [12, 5, 12], "b": 2},
    {"n_perm": 0, "workers": 2, "change_type": "distribution", "tol": 0},
]


@pytest.mark.parametrize("options", OPTIONS, ids=[str(o) for o in OPTIONS])
def test_many_series_equal_one_call_per_series(options):
    many = native_run_many(BATCH, **options)
    assert len(many) == len(BATCH)
    for series, result in zip(BATCH, many):
        alone = native_run(series, **options)
        assert result["n"] == series.size
        assert same(detection_as_native(result), detection_as_native(alone))


@pytest.mark.parametrize(
    "make",
    [list, tuple, lambda b: [s.astype(np.float32) for s in b],
     lambda b: np.stack([s[:100] for s in b if s.size >= 100])],
    ids=["list", "tuple", "float32 arrays", "2-D rows"],
)
def test_sequences_of_arrays_are_accepted(make):
    batch = make(BATCH)
    many = native_run_many(batch, n_perm=20, window_sizes=[10])
    for series, result in zip(batch, many):
        assert same(detection_as_native(result),
                    detection_as_native(native_run(np.asarray(series, dtype=float),
                                                   n_perm=20, window_sizes=[10])))


def test_no_series_gives_no_results():
    assert native_run_many([]) == []


def test_the_first_failing_series_in_input_order_is_reported():
    bad = BATCH[0].copy()
    bad[123] = np.inf
    batch = [BATCH[0], BATCH[5], bad, BATCH[1][:2], bad]
    with pytest.raises(engine.DetectorError) as raised:
        native_run_many(batch, n_perm=20)
    assert str(raised.value).startswith("series contains NaN or infinite values")
    assert (raised.value.series_index, raised.value.non_finite_index) == (2, 123)

    with pytest.raises(engine.DetectorError) as raised:
        native_run_many([BATCH[0], BATCH[7]], window_sizes=[10, 3])
    assert (raised.value.series_index, raised.value.window_size) == (0, 3)


def test_results_do_not_share_buffers_between_series():
    first, second = native_run_many([BATCH[0], BATCH[0]], n_perm=20)
    a = first["windows"][0]["statistics"]
    b = second["windows"][0]["statistics"]
    assert np.array_equal(a, b) and not np.shares_memory(a, b)

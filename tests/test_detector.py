"""The multi-window detector: checks, pools, assembly and determinism."""

import math

import pytest

import quarn._quarn_native as native
from helpers import same
from sample_series import noisy_series

OUT_KEYS = ["leaders_segment_votes", "leaders_scores", "leaders_probs", "cdf"]


@pytest.fixture(scope="module")
def series():
    return noisy_series(600, seed=11)


@pytest.fixture(scope="module")
def default_result(series):
    return native.quarn_detector(series, n_perm=100)


def test_result_layout(default_result):
    assert list(default_result) == ["cp_dict", "window_results", "out"]
    assert list(default_result["cp_dict"]) == list(range(10, 21))
    assert list(default_result["window_results"]) == list(range(10, 21))
    out = default_result["out"]
    assert list(out) == OUT_KEYS
    leaders = list(out["leaders_segment_votes"])
    assert leaders == sorted(leaders) and leaders
    assert list(out["leaders_scores"]) == leaders == list(out["leaders_probs"])
    assert [pair[0] for pair in out["cdf"]] == leaders
    assert all(type(pair) is tuple and len(pair) == 2 for pair in out["cdf"])
    assert math.fsum(out["leaders_probs"].values()) == pytest.approx(1.0, abs=1e-12)
    assert out["cdf"][-1][1] == pytest.approx(1.0, abs=1e-12)
    assert all(0.0 < score <= 1.0 for score in out["leaders_scores"].values())


def test_windows_equal_single_window_calls(series, default_result):
    for window_size, window in default_result["window_results"].items():
        expected = native.quarn_single_window(series, window_size, n_perm=100)
        assert same(window, expected)
        assert default_result["cp_dict"][window_size] == window["change_points"]


@pytest.mark.parametrize("sizes, keys", [([20, 10, 15], [10, 15, 20]), ([20, 10, 20], [10, 20])])
def test_window_keys_are_ascending_and_distinct(series, sizes, keys):
    result = native.quarn_detector(series, window_sizes=sizes, n_perm=50)
    assert list(result["cp_dict"]) == keys
    assert list(result["window_results"]) == keys


def test_votes_count_distinct_window_sizes(series):
    once = native.quarn_detector(series, window_sizes=[10, 20], n_perm=50)
    twice = native.quarn_detector(series, window_sizes=[20, 10, 20], n_perm=50)
    assert same(once, twice)


def test_window_larger_than_series_gives_empty_consensus():
    result = native.quarn_detector([float(i % 5) for i in range(60)], window_sizes=[50])
    assert same(result, {
        "cp_dict": {50: []},
        "window_results": {50: {"change_points": [], "starts": [], "statistics": [],
                                "tapered_block_bootstrap_threshold": [],
                                "localized_regions": []}},
        "out": {"leaders_segment_votes": {}, "leaders_scores": {}, "leaders_probs": {},
                "cdf": []},
    })


BACKEND_MESSAGE = ("backend must be 'thread' or 'process'. Both options run the window sizes on "
                   "the module's own worker threads.")


@pytest.mark.parametrize(
    "series_, kwargs, message",
    [
        ([1.0, 2.0], {"window_sizes": []}, "series must contain at least 3 values"),
        ([1.0, math.nan, 2.0], {"backend": "bad"},
         "series contains NaN or infinite values; clean/impute before calling quarn"),
        ([1.0, 2.0, 3.0], {"window_sizes": [], "backend": "bad"}, "window_sizes must not be empty"),
        ([1.0, 2.0, 3.0], {"window_sizes": [10, 0, 20], "backend": "bad"},
         "window_sizes must be positive, got 0"),
        ([1.0, 2.0, 3.0], {"backend": "threads", "change_type": "x"}, BACKEND_MESSAGE),
        ([1.0, 2.0, 3.0], {"backend": ""}, BACKEND_MESSAGE),
        ([1.0, 2.0, 3.0], {"change_type": "x"},
         "change_type must be one of {'mean', 'var', 'distribution'}, got \"x\""),
        ([float(i) for i in range(100)], {"window_sizes": [3, 10]},
         "reference series is shorter than block length"),
        ([float(i) for i in range(100)], {"window_sizes": [10, 1, 3]},
         "reference series is shorter than block length"),
        ([float(i) for i in range(100)], {"window_sizes": [10], "taper_ratio": 5.0},
         "taper_ratio too large: taper ramp of 20 exceeds block length 8"),
    ],
)
def test_failure_order(series_, kwargs, message):
    with pytest.raises(ValueError) as info:
        native.quarn_detector(series_, **kwargs)
    assert type(info.value) is ValueError
    assert info.value.args == (message,)


def test_small_series_skips_windows_without_positions():
    result = native.quarn_detector([1.0, 2.0, 3.0, 4.0, 5.0], window_sizes=[3, 10])
    assert list(result["window_results"]) == [3, 10]


@pytest.mark.parametrize("backend", ["THREAD", "Process", "process"])
def test_backends_are_equivalent(series, backend):
    base = native.quarn_detector(series, window_sizes=[10, 14], n_perm=64)
    assert same(native.quarn_detector(series, window_sizes=[10, 14], n_perm=64, backend=backend),
                base)


def test_alpha_and_batch_size(series):
    base = native.quarn_detector(series, window_sizes=[12, 16], alpha_q=0.05, n_perm=64)
    assert same(native.quarn_detector(series, window_sizes=[12, 16], alpha_q=5.0, n_perm=64), base)
    for batch_size in (0, 1, 10**6):
        assert same(native.quarn_detector(series, window_sizes=[12, 16], alpha_q=0.05, n_perm=64,
                                          batch_size=batch_size), base)


def test_same_result_on_every_pool(series):
    base = native.quarn_detector(series, n_perm=128)
    for workers in (None, 0, 1, 2, 3, 16, 100000, 2**64 - 1):
        for backend in ("thread", "PROCESS"):
            result = native.quarn_detector(series, n_perm=128, workers=workers, backend=backend)
            assert same(result, base), (workers, backend)


def test_tolerance_merges_nearby_points(series):
    tight = native.quarn_detector(series, n_perm=100, tol=0)
    loose = native.quarn_detector(series, n_perm=100, tol=2**64 - 1)
    assert len(loose["out"]["cdf"]) == 1
    assert loose["out"]["leaders_scores"] == {next(iter(loose["out"]["cdf"]))[0]: 1.0}
    all_points = {p for points in tight["cp_dict"].values() for p in points}
    assert set(tight["out"]["leaders_segment_votes"]) == all_points

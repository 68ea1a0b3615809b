"""The single-window detector through Python."""

import math
import os
import subprocess
import sys
import textwrap

import pytest

import quarn._quarn_native as native
from helpers import same
from sample_series import noisy_series

STEP20 = [0.0] * 10 + [10.0] * 10
CHANGE_TYPES = ["mean", "var", "distribution"]
KEYS = ["change_points", "starts", "statistics", "tapered_block_bootstrap_threshold",
        "localized_regions"]


@pytest.mark.parametrize("change_type", CHANGE_TYPES + ["MEAN", "Var"])
@pytest.mark.parametrize("seed", [0, 123, 2**64 - 1])
def test_step_example(change_type, seed):
    result = native.quarn_single_window(STEP20, 5, seed=seed, change_type=change_type)
    assert list(result) == KEYS
    assert same(result, {
        "change_points": [10],
        "starts": [0, 5, 10],
        "statistics": [0.0, 10.0, 0.0],
        "tapered_block_bootstrap_threshold": [0.0, 0.0, 0.0],
        "localized_regions": [(5, 15)],
    })


def test_no_replicates_gives_nan_thresholds_and_no_detection():
    result = native.quarn_single_window(noisy_series(), 10, n_perm=0)
    assert result["change_points"] == [] and result["localized_regions"] == []
    assert len(result["statistics"]) == 39
    assert all(math.isnan(t) for t in result["tapered_block_bootstrap_threshold"])


@pytest.mark.parametrize("n, window_size, positions", [(10, 6, 0), (10, 11, 0), (10, 5, 1),
                                                        (11, 5, 1), (9, 5, 0), (12, 3, 3)])
def test_position_grid(n, window_size, positions):
    result = native.quarn_single_window([float(i) for i in range(n)], window_size, b=2)
    assert result["starts"] == [v * window_size for v in range(positions)]
    assert len(result["statistics"]) == len(result["tapered_block_bootstrap_threshold"]) == positions


def test_window_size_three_needs_a_block_length():
    with pytest.raises(ValueError, match="^reference series is shorter than block length$"):
        native.quarn_single_window([float(i) for i in range(6)], 3)
    empty = native.quarn_single_window([float(i) for i in range(5)], 3)
    assert empty == {key: [] for key in KEYS}
    assert native.quarn_single_window([float(i) for i in range(6)], 3, b=2)["starts"] == [0]


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (([1.0, math.nan], 0), {"change_type": "bad"}, "series must contain at least 3 values"),
        (([1.0, math.nan, 2.0], 0), {"change_type": "bad"},
         "series contains NaN or infinite values; clean/impute before calling quarn"),
        ((STEP20, 0), {"change_type": "bad"}, "window_size must be positive"),
        ((STEP20, 5), {"change_type": "bad"},
         "change_type must be one of {'mean', 'var', 'distribution'}, got \"bad\""),
        ((STEP20, 1), {}, "reference series is shorter than block length"),
    ],
)
def test_single_window_check_order(args, kwargs, message):
    with pytest.raises(ValueError) as info:
        native.quarn_single_window(*args, **kwargs)
    assert info.value.args == (message,)


def test_change_type_only_moves_change_points():
    series = noisy_series()
    results = [native.quarn_single_window(series, 10, change_type=c) for c in CHANGE_TYPES]
    for result in results[1:]:
        for key in KEYS[1:]:
            assert same(result[key], results[0][key])
    for result in results:
        for point, (start, end) in zip(result["change_points"], result["localized_regions"]):
            assert start < point < end


def test_results_are_repeatable_and_batch_size_has_no_effect():
    series = noisy_series()
    first = native.quarn_single_window(series, 10, n_perm=128)
    for batch_size in (0, 1, 1000, 2**64 - 1):
        assert same(native.quarn_single_window(series, 10, n_perm=128, batch_size=batch_size),
                    first)
    with pytest.raises(OverflowError):
        native.quarn_single_window(series, 10, batch_size=-1)


def test_alpha_fraction_and_percentage_agree():
    series = noisy_series()
    assert same(native.quarn_single_window(series, 12, alpha_q=0.05),
                native.quarn_single_window(series, 12, alpha_q=5.0))


@pytest.mark.parametrize(
    "series",
    [[1e308] * 20, [1e308, -1e308] * 10, [1e308, 1.0, -1e308, 0.5] * 10, [-1e308] * 5 + [1e308] * 15],
)
def test_overflowing_input_returns(series):
    # Sums overflow to infinity and the bootstrap yields NaN; nothing may hang
    # and nothing is detected against a NaN threshold.
    result = native.quarn_single_window(series, 5)
    assert len(result["starts"]) == len(series) // 5 - 1
    thresholds = result["tapered_block_bootstrap_threshold"]
    assert len(thresholds) == len(result["starts"])
    assert all(math.isnan(threshold) for threshold in thresholds)
    assert result["change_points"] == [] and result["localized_regions"] == []


def test_taper_ratio_too_large_is_rejected():
    with pytest.raises(ValueError, match="^taper_ratio too large: taper ramp of 9 exceeds block length 8$"):
        native.quarn_single_window(noisy_series(), 10, taper_ratio=2.3)
    with pytest.raises(ValueError, match="taper_ratio too large"):
        native.quarn_single_window(noisy_series(), 10, taper_ratio=math.inf)
    native.quarn_single_window(noisy_series(), 10, taper_ratio=2.0)  # ramps meet: accepted


@pytest.mark.skipif(not hasattr(os, "sched_setaffinity"), reason="needs CPU affinity control")
def test_one_processor_pool_gives_the_same_result():
    script = textwrap.dedent(
        """
        import os, sys, json, struct
        if sys.argv[1] == "one":
            os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})
        import quarn._quarn_native as native
        sys.path.insert(0, sys.argv[2])
        from helpers import bits
        from sample_series import noisy_series
        out = [native.quarn_single_window(noisy_series(seed=s), w, n_perm=200)
               for s in (1, 2) for w in (8, 10)]
        out.append(native.quarn_detector(noisy_series(seed=3), n_perm=100))
        print(json.dumps(bits(out)))
        """
    )
    here = os.path.dirname(os.path.abspath(__file__))
    outputs = []
    for mode in ("one", "all"):
        run = subprocess.run([sys.executable, "-c", script, mode, here], capture_output=True,
                             text=True, timeout=300)
        assert run.returncode == 0, run.stderr
        outputs.append(run.stdout)
    assert outputs[0] == outputs[1]


@pytest.mark.parametrize("offset", [1e6, 1e8, -1e9, 1e11])
def test_a_large_level_keeps_the_thresholds(offset):
    # Far above the noise, the running sums of squares cancel; the window
    # moments then come from the windows themselves, so the thresholds stay
    # those of the noise and the change is still found.
    numpy = pytest.importorskip("numpy")
    x = numpy.random.default_rng(0).normal(size=300)
    x[150:] += 2
    base = native.quarn_single_window(x, 15, alpha_q=0.05)
    moved = native.quarn_single_window(x + offset, 15, alpha_q=0.05)
    assert base["change_points"] == [149]
    assert moved["change_points"] == base["change_points"]
    for a, b in zip(moved["tapered_block_bootstrap_threshold"],
                    base["tapered_block_bootstrap_threshold"]):
        assert a == pytest.approx(b, abs=1e-3)

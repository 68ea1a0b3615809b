"""Peak memory of quarn.detect with its defaults on long series, in a fresh
interpreter: the growth of the resident-set high-water mark over the call,
per value of the series.

Besides the series the call holds its private copy (8 bytes per value, kept
as ``result.values``), the ranks (about 3.2) and the tests' running sums
(about 1.4); the candidate detector's statistics (about 2), which the
result keeps, are computed again once the ranks are gone. Long series are
standardised without copies and the candidate detector reads them
standardised as it goes; a change between two long stretches is reported
without copies of its sides. Series of 3·10^6 values (past the length from
which the medians are found without copies), built in place; no timing.
"""

import json
import subprocess
import sys
import textwrap

import pytest

np = pytest.importorskip("numpy")

HANG_GUARD = 300  # seconds; a guard against hangs, not a speed limit

PEAK_SCRIPT = """
    import json, resource, sys
    import numpy as np
    import quarn
    n, shape = int(sys.argv[1]), sys.argv[2]
    series = np.empty(n)
    np.random.default_rng(3).standard_normal(out=series)
    if shape == "one change":
        series[n // 2:] += 1.0
    elif shape == "shifts":
        for start in range(0, n, 100_000):
            series[start:start + 100_000] += (start // 100_000) % 3 - 1.0
    quarn.detect(np.array([0.0, 1.0, 0.0, 2.0] * 3000))  # imports and pool
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    result = quarn.detect(series)
    grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 - before
    print(json.dumps({"per_value": grown / n, "changes": len(result.change_points)}))
"""

LENGTH = 3_000_000


@pytest.mark.skipif(sys.platform != "linux", reason="ru_maxrss in kilobytes, Linux only")
@pytest.mark.parametrize(
    "shape, changes, bound",
    [
        # Measured about 12.8 bytes per value; a standardised copy of the
        # series or a copy of a segment for its median (8 more each) breaks
        # the bound, and so do the candidate detector's statistics kept
        # beside the ranks (2 more, 14.9 measured).
        ("noise", 0, 14.5),
        ("shifts", None, 14.5),
        # The residuals of both sides of the change (8 more; measured about
        # 21.2); copies of them for the pooled variance and the sieve's
        # innovations (16 to 24 more) break the bound.
        ("one change", 1, 28.0),
    ],
)
def test_long_series_peak_within_the_bytes_per_value_it_needs(shape, changes, bound):
    completed = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(PEAK_SCRIPT), str(LENGTH), shape],
        capture_output=True, text=True, timeout=HANG_GUARD, check=True,
    )
    outcome = json.loads(completed.stdout)
    if changes is not None:
        assert outcome["changes"] == changes
    assert outcome["per_value"] < bound


# Past the length from which the candidate detector's statistics are freed as
# each sweep ends and computed again once the tests are done (odd, so that
# every window size leaves a partial window at the end).
LONG = (1 << 20) + 3001


def _long_series(shape):
    rng = np.random.default_rng(5)
    series = rng.standard_normal(LONG)
    if shape == "shifts":
        series += np.repeat(rng.choice([-2.0, 0.0, 2.0], LONG // 50_000 + 1), 50_000)[:LONG]
    elif shape == "cycle":
        # A cycle the method removes: the detector then reads the series
        # less its cycle, and so must the statistics computed again.
        series += 3.0 * np.sin(2 * np.pi * np.arange(LONG) / 24.0)
        series[LONG // 3:] += 1.5
    return series


def _significant_from_regions(window):
    # A region runs from its first significant position's window to the end
    # of the right window of its last one (the first or the next position).
    w = window.window_size
    regions = np.asarray(window.localized_regions).reshape(-1, 2)
    return np.union1d(regions[:, 0] // w, regions[:, 1] // w - 2)


@pytest.mark.parametrize("shape", ["shifts", "cycle"])
def test_long_series_statistics_are_the_sweeps_own(shape):
    import quarn

    series = _long_series(shape)
    one = quarn.detect(series, workers=1)
    two = quarn.detect(series, workers=2)
    assert one.change_points == two.change_points
    assert list(one.window_results) == list(two.window_results)
    for w, window in one.window_results.items():
        statistics = window.statistics
        assert len(statistics) == LONG // w - 1
        assert np.array_equal(statistics, two.window_results[w].statistics)
        # The positions the sweep found significant, where its regions
        # start, are exactly those whose statistic exceeds its threshold.
        above = np.flatnonzero(statistics > window.thresholds)
        assert np.array_equal(above, _significant_from_regions(window))
        if shape == "shifts":
            # Wasserstein distances of neighbouring windows of the series.
            m = LONG // w
            ordered = np.sort(series[: m * w].reshape(m, w), axis=1)
            expected = np.abs(ordered[1:] - ordered[:-1]).mean(axis=1)
            assert np.allclose(statistics, expected, rtol=1e-9, atol=1e-12)

"""Determinism under load: while other processes keep every processor busy,
quarn_detector gives bit-for-bit the same result for every number of
workers, on series with several changes and with the replicates running in
parallel (n_perm of 64 and more)."""

import contextlib
import faulthandler
import math
import os
import subprocess
import sys

import pytest

import quarn._quarn_native as native
from helpers import same
from sample_series import piecewise, shape_changes

HANG_GUARD = 600  # seconds for the whole test; a guard against hangs only


@contextlib.contextmanager
def hang_guard(seconds):
    """Ends the test run with every thread's traceback if the block hangs.
    The watchdog is a native thread, so it fires even while a call holds
    the interpreter lock."""
    faulthandler.dump_traceback_later(seconds, exit=True)
    try:
        yield
    finally:
        faulthandler.cancel_dump_traceback_later()


def level_changes(n=3000, seed=1):
    return piecewise(n, levels=(0.0, 2.5, -1.0, 1.5, 4.0, 0.0), seed=seed)


def spread_changes(n=2400, seed=2):
    return piecewise(n, scales=(1.0, 5.0, 0.5, 3.0), seed=seed)


SERIES = {
    "level": (level_changes(), dict(n_perm=128)),
    "spread": (spread_changes(), dict(n_perm=200, change_type="var")),
    "shape": (shape_changes(), dict(n_perm=256, change_type="distribution", alpha_q=0.2)),
    "mixed windows": (level_changes(3000, seed=7),
                      dict(n_perm=72, window_sizes=[6, 25, 9, 40, 9, 13], b=4, taper_ratio=1.0)),
}

WORKERS = [None, 0, 1, 2, 4, 16]


@pytest.fixture(scope="module")
def references():
    # Computed before the load starts.
    with hang_guard(HANG_GUARD):
        return {name: native.quarn_detector(series, **kwargs)
                for name, (series, kwargs) in SERIES.items()}


@pytest.fixture(scope="module")
def busy_processors():
    """One busy loop per processor, in other processes, for the duration."""
    count = max(2, len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity")
                else (os.cpu_count() or 2))
    loops = [subprocess.Popen([sys.executable, "-c", "while True: pass"])
             for _ in range(count)]
    try:
        yield loops
    finally:
        for loop in loops:
            loop.kill()
        for loop in loops:
            loop.wait()


def test_references_find_changes(references):
    for name, result in references.items():
        assert result["out"]["cdf"], name
        assert math.isclose(result["out"]["cdf"][-1][1], 1.0, abs_tol=1e-12)


@pytest.mark.parametrize("name", list(SERIES))
def test_same_bits_for_every_worker_count_under_load(name, references, busy_processors):
    series, kwargs = SERIES[name]
    assert all(loop.poll() is None for loop in busy_processors)  # the load is on
    with hang_guard(HANG_GUARD):
        for _ in range(3):
            for workers in WORKERS:
                result = native.quarn_detector(series, workers=workers, **kwargs)
                assert same(result, references[name]), f"workers={workers}"
    assert all(loop.poll() is None for loop in busy_processors)


def test_single_window_agrees_under_load(references, busy_processors):
    series, kwargs = SERIES["mixed windows"]
    windows = references["mixed windows"]["window_results"]
    with hang_guard(HANG_GUARD):
        for window_size, expected in windows.items():
            got = native.quarn_single_window(series, window_size, n_perm=kwargs["n_perm"],
                                             b=kwargs["b"], taper_ratio=kwargs["taper_ratio"])
            assert same(got, expected), window_size

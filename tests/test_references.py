"""Reference hygiene: no argument reference leaks and flat memory over
thousands of calls, on success and on every kind of failure."""

import gc
import sys
import tracemalloc

import pytest

import quarn._quarn_native as native

SERIES = [float(i % 7) for i in range(60)]

CALLS = [
    ("wasserstein ok", lambda a: native.wasserstein_statistic(a, a)),
    ("wasserstein empty", lambda a: native.wasserstein_statistic([], a)),
    ("wasserstein str", lambda a: native.wasserstein_statistic("abc", a)),
    ("ipm bad item", lambda a: native.ipm_statistic(a, [1.0, "x"])),
    ("cusum ok", lambda a: native.refine_cusum(a)),
    ("cusum short", lambda a: native.refine_cusum(a[:2])),
    ("refine_wasserstein ok", lambda a: native.refine_wasserstein(a)),
    ("swal bad type", lambda a: native.swal_statistic(a, "median")),
    ("swal keyword", lambda a: native.swal_statistic(a, bogus=1)),
    ("single ok", lambda a: native.quarn_single_window(a, 5, n_perm=20)),
    ("single zero", lambda a: native.quarn_single_window(a, 0)),
    ("single overflow", lambda a: native.quarn_single_window(a, -1)),
    ("detector ok", lambda a: native.quarn_detector(a, window_sizes=[5, 6], n_perm=10)),
    ("detector backend", lambda a: native.quarn_detector(a, backend="fork")),
    ("detector center", lambda a: native.quarn_detector(a, center=1)),
    ("detector missing", lambda a: native.quarn_detector(window_sizes=a)),
]


def call(function, argument):
    try:
        function(argument)
    except (TypeError, ValueError, OverflowError):
        pass


@pytest.mark.parametrize("name, function", CALLS, ids=[c[0] for c in CALLS])
def test_argument_refcounts_unchanged(name, function):
    argument = list(SERIES)
    items = [sys.getrefcount(x) for x in argument[:3]]
    before = sys.getrefcount(argument)
    for _ in range(50):
        call(function, argument)
    assert sys.getrefcount(argument) == before
    assert [sys.getrefcount(x) for x in argument[:3]] == items


@pytest.mark.parametrize("name, function", CALLS, ids=[c[0] for c in CALLS])
def test_memory_flat_over_repeated_calls(name, function):
    argument = list(SERIES)
    for _ in range(200):  # warm up caches and free lists
        call(function, argument)
    gc.collect()
    tracemalloc.start()
    try:
        start, _ = tracemalloc.get_traced_memory()
        for _ in range(2000):
            call(function, argument)
        gc.collect()
        end, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert end - start < 64 * 1024

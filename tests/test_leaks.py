"""Memory stays flat over many calls of every entry point, on success and on
every kind of failure: the resident set size of the process does not grow,
the argument objects keep their reference counts, buffer exports are
released, and a result holds no reference beyond its own containers.

The case table is shared with bench/leak_check.py, which runs every case
10,000 times and prints the figures."""

import array
import gc
import os
import sys

import pytest

import quarn._quarn_native as native
from helpers import resident_bytes as rss_bytes
from sample_series import piecewise

numpy = pytest.importorskip("numpy")

MAX = 2**64 - 1


def _series(n, seed=1):
    """Noise with a shift in level at n/2 and in spread at 3n/4; distinct
    float objects, so their reference counts belong to this list alone."""
    return piecewise(n, levels=(0.0, 0.0, 3.0, 3.0), scales=(1.0, 1.0, 1.0, 4.0), seed=seed)


# Large enough that losing the converted copy of an argument on any path
# (8 bytes per value per call) shows plainly in the resident set size;
# SHORT for the searches whose cost grows with the square of the length.
LONG = _series(4096)
MEDIUM = _series(1024)
SHORT = _series(256)
DETECT = _series(240)


class FloatFails:
    """An item whose own conversion raises (not a TypeError: no prefix)."""

    def __float__(self):
        raise ArithmeticError("no float for you")


class IndexFails:
    def __index__(self):
        raise LookupError("no index for you")


class BrokenSequence:
    """A sequence whose iterator fails after a few items."""

    def __init__(self, values):
        self.values = values

    def __len__(self):
        return len(self.values)

    def __getitem__(self, index):
        return self.values[index]

    def __iter__(self):
        yield from self.values[:100]
        raise RuntimeError("iterator broke")


class Case:
    def __init__(self, name, function, args, kwargs=None, error=None, cost=1):
        self.name = name
        self.cost = cost  # relative cost of one call: heavier cases run fewer times
        self.function = getattr(native, function)
        self.args = args
        self.kwargs = kwargs or {}
        self.error = error

    def __repr__(self):
        return self.name

    def call(self):
        if self.error is None:
            return self.function(*self.args, **self.kwargs)
        try:
            self.function(*self.args, **self.kwargs)
        except self.error:
            return None
        raise AssertionError(f"{self.name}: no {self.error.__name__} raised")

    def tracked(self):
        """The argument objects and the items of list arguments whose
        reference counts must be unchanged by the calls."""
        objects = list(self.args) + list(self.kwargs.values())
        tracked = []
        for obj in objects:
            if _own(obj):
                tracked.append(obj)
            if isinstance(obj, list):
                tracked.extend(x for x in obj[:3] + obj[-3:] if _own(x))
        return tracked


def _own(obj):
    """Objects whose reference count only this test moves: not the cached
    small integers, single characters, None and the booleans."""
    if obj is None or isinstance(obj, bool):
        return False
    if isinstance(obj, int) and -5 <= obj <= 256:
        return False
    return not (isinstance(obj, str) and len(obj) <= 1)


def _cases():
    cases = []
    nan_long = LONG[:-1] + [float("nan")]
    late_bad = LONG[:-1] + ["x"]
    late_float_fails = LONG[:-1] + [FloatFails()]
    for function in ("wasserstein_statistic", "ipm_statistic"):
        short = function.split("_")[0]
        cases += [
            Case(f"{short} ok", function, (LONG, MEDIUM)),
            Case(f"{short} ok numpy", function, (numpy.asarray(LONG), numpy.asarray(MEDIUM))),
            Case(f"{short} ok memoryview", function,
                 (memoryview(array.array("d", LONG)), memoryview(array.array("d", MEDIUM)))),
            Case(f"{short} too many positional", function, (LONG, LONG, LONG), error=TypeError),
            Case(f"{short} missing right", function, (LONG,), error=TypeError),
            Case(f"{short} unexpected keyword", function, (LONG, LONG), {"bogus": LONG},
                 error=TypeError),
            Case(f"{short} multiple values", function, (LONG, LONG), {"left": LONG},
                 error=TypeError),
            Case(f"{short} str", function, ("abc", LONG), error=TypeError),
            Case(f"{short} right not a sequence", function, (LONG, {1.0, 2.0}), error=TypeError),
            Case(f"{short} right late bad item", function, (LONG, late_bad), error=TypeError),
            Case(f"{short} right item raises", function, (LONG, late_float_fails),
                 error=ArithmeticError),
            Case(f"{short} iterator raises", function, (LONG, BrokenSequence(LONG)),
                 error=RuntimeError),
            Case(f"{short} empty", function, (LONG, []), error=ValueError),
            Case(f"{short} nan", function, (LONG, nan_long), error=ValueError),
        ]
    for function in ("refine_cusum", "refine_wasserstein"):
        short = function
        series = LONG if function == "refine_cusum" else SHORT
        cases += [
            Case(f"{short} ok", function, (series,)),
            Case(f"{short} ok numpy", function, (numpy.asarray(series),)),
            Case(f"{short} too many positional", function, (series, series), error=TypeError),
            Case(f"{short} multiple values", function, (series,), {"series": series},
                 error=TypeError),
            Case(f"{short} str", function, ("abc",), error=TypeError),
            Case(f"{short} late bad item", function, (late_bad,), error=TypeError),
            Case(f"{short} short", function, (series[:2],), error=ValueError),
            Case(f"{short} nan", function, (nan_long,), error=ValueError),
        ]
    cases += [
        Case("swal ok", "swal_statistic", (SHORT,)),
        Case("swal ok mean", "swal_statistic", (LONG, "mean")),
        Case("swal bad change_type", "swal_statistic", (LONG, "median"), error=ValueError),
        Case("swal change_type not str", "swal_statistic", (LONG, 3), error=TypeError),
        Case("swal change_type surrogate", "swal_statistic", (LONG, "me\udc80an"),
             error=UnicodeEncodeError),
        Case("swal unexpected keyword", "swal_statistic", (LONG,), {"Change_type": "var"},
             error=TypeError),
        Case("swal short", "swal_statistic", (LONG[:2],), error=ValueError),
    ]
    single = dict(n_perm=64)
    cases += [
        Case("single ok", "quarn_single_window", (DETECT, 10), single),
        Case("single ok numpy", "quarn_single_window", (numpy.asarray(DETECT), 12), single),
        Case("single ok window larger than series", "quarn_single_window", (DETECT, 2**63)),
        Case("single window_size 0", "quarn_single_window", (DETECT, 0), error=ValueError),
        Case("single window_size negative", "quarn_single_window", (DETECT, -1),
             error=OverflowError),
        Case("single window_size float", "quarn_single_window", (DETECT, 5.0), error=TypeError),
        Case("single window_size index raises", "quarn_single_window", (DETECT, IndexFails()),
             error=LookupError),
        Case("single n_perm None", "quarn_single_window", (DETECT, 10), {"n_perm": None},
             error=TypeError),
        Case("single center int", "quarn_single_window", (DETECT, 10), {"center": 1},
             error=TypeError),
        Case("single b negative", "quarn_single_window", (DETECT, 10), {"b": -1},
             error=OverflowError),
        Case("single bad change_type", "quarn_single_window", (DETECT, 10),
             {"change_type": "median"}, error=ValueError),
        Case("single window too small", "quarn_single_window", (DETECT, 3), single,
             error=ValueError),
        Case("single taper too large", "quarn_single_window", (DETECT, 10),
             {"taper_ratio": 3.0, **single}, error=ValueError),
        Case("single n_perm huge", "quarn_single_window", (DETECT, 10), {"n_perm": MAX},
             error=MemoryError),
        Case("single nan", "quarn_single_window", (DETECT[:-1] + [float("inf")], 10),
             error=ValueError),
    ]
    detector = dict(window_sizes=[10, 12, 1000], n_perm=64)
    cases += [
        Case("detector ok", "quarn_detector", (DETECT,), detector),
        Case("detector ok workers 2", "quarn_detector", (DETECT,), {"workers": 2, **detector}),
        # A dedicated pool of 65535 slots is built and dropped by every call.
        Case("detector ok workers huge", "quarn_detector", (DETECT,), {"workers": MAX, **detector},
             cost=20),
        Case("detector ok numpy", "quarn_detector", (numpy.asarray(DETECT),),
             {"window_sizes": numpy.array([10, 12, 1000]), "n_perm": 64}),
        Case("detector ok default sizes", "quarn_detector", (DETECT,), {"n_perm": 8}),
        Case("detector missing series", "quarn_detector", (), {"n_perm": 64}, error=TypeError),
        Case("detector too many positional", "quarn_detector", (DETECT,) * 14, error=TypeError),
        Case("detector window_sizes empty", "quarn_detector", (DETECT,), {"window_sizes": []},
             error=ValueError),
        Case("detector window_sizes zero", "quarn_detector", (DETECT,),
             {"window_sizes": [10, 0, 1000]}, error=ValueError),
        Case("detector window_sizes negative", "quarn_detector", (DETECT,),
             {"window_sizes": [10, 1000, -1]}, error=OverflowError),
        Case("detector window_sizes str", "quarn_detector", (DETECT,), {"window_sizes": "10"},
             error=TypeError),
        Case("detector bad backend", "quarn_detector", (DETECT,), {"backend": "fork"},
             error=ValueError),
        Case("detector backend surrogate", "quarn_detector", (DETECT,), {"backend": "\udc80"},
             error=UnicodeEncodeError),
        Case("detector bad change_type", "quarn_detector", (DETECT,), {"change_type": "Median"},
             error=ValueError),
        Case("detector center int", "quarn_detector", (DETECT,), {"center": 1}, error=TypeError),
        Case("detector one window fails", "quarn_detector", (DETECT,),
             {"window_sizes": [10, 3, 12], "n_perm": 64}, error=ValueError),
        Case("detector every window fails", "quarn_detector", (DETECT,),
             {"taper_ratio": 3.0, **detector}, error=ValueError),
        Case("detector n_perm huge", "quarn_detector", (DETECT,),
             {"window_sizes": [10, 12], "n_perm": MAX}, error=MemoryError),
        Case("detector n_perm huge workers 2", "quarn_detector", (DETECT,),
             {"window_sizes": [10, 12], "n_perm": MAX, "workers": 2}, error=MemoryError),
        Case("detector short", "quarn_detector", (DETECT[:2],), error=ValueError),
    ]
    return cases


CASES = _cases()
IDS = [case.name for case in CASES]

def refcounts(objects):
    return [sys.getrefcount(obj) for obj in objects]


def run(case, calls):
    for _ in range(calls):
        case.call()


has_statm = pytest.mark.skipif(not os.path.exists("/proc/self/statm"),
                               reason="needs /proc/self/statm")

CALLS = 1000
WARM_UP = 200
RSS_LIMIT = 1 << 20


@has_statm
@pytest.mark.parametrize("case", CASES, ids=IDS)
def test_rss_and_references_flat(case):
    tracked = case.tracked()
    calls = CALLS // case.cost
    run(case, WARM_UP // case.cost)  # caches, free lists, the worker pool
    gc.collect()
    counts = refcounts(tracked)
    before = rss_bytes()
    run(case, calls)
    gc.collect()
    growth = rss_bytes() - before
    assert refcounts(tracked) == counts
    assert growth < RSS_LIMIT, f"resident set grew by {growth} bytes over {calls} calls"


def test_memoryview_exports_released():
    # A buffer export that is never released keeps the memoryview from
    # being released, and the bytearray under it from being resized.
    raw = bytearray(array.array("d", LONG).tobytes())
    view = memoryview(raw).cast("d")
    native.wasserstein_statistic(view, view)
    native.quarn_single_window(view, 10, n_perm=4)
    native.quarn_detector(view, window_sizes=memoryview(array.array("q", [10, 12])), n_perm=4)
    with pytest.raises(ValueError):
        native.quarn_single_window(view, 0)
    view.release()
    raw.extend(b"\0" * 8)  # fails with BufferError while an export is held


def _owned_exactly_once(obj, path="result"):
    """Every container, float and large int of a result is referenced by
    its parent alone (here: the parent, the local name and the argument of
    getrefcount)."""
    if isinstance(obj, dict):
        for key in list(obj):
            value = obj[key]
            if _own(key) and not isinstance(key, str):
                assert sys.getrefcount(key) == 4, f"{path} key {key!r}"
            if _own(value) and not isinstance(value, str):
                assert sys.getrefcount(value) == 3, f"{path}[{key!r}]"
            _owned_exactly_once(value, f"{path}[{key!r}]")
    elif isinstance(obj, (list, tuple)):
        for i in range(len(obj)):
            value = obj[i]
            if _own(value):
                assert sys.getrefcount(value) == 3, f"{path}[{i}]"
            _owned_exactly_once(value, f"{path}[{i}]")


@pytest.mark.parametrize("case", [c for c in CASES if c.error is None and " ok" in c.name],
                         ids=[c.name for c in CASES if c.error is None and " ok" in c.name])
def test_result_holds_no_extra_reference(case):
    result = case.call()
    if _own(result):
        assert sys.getrefcount(result) == 2
    _owned_exactly_once(result)

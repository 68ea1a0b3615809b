"""numpy arrays, array.array and memoryview objects read from their buffers
convert exactly as iterating them does: same values, same errors."""

import array
import ctypes
import subprocess
import sys

import pytest

import quarn._quarn_native as native
from helpers import same

numpy = pytest.importorskip("numpy")

INTEGERS = ["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64"]
# Next to and at the ties of the rounding to double.
ROUNDING = [2**53 + 1, 2**53 + 3, -(2**53 + 1), 2**63 - 1, 2**63 + 1024, 2**63 + 1025,
            2**63 + 3072, 2**64 - 1025, 2**64 - 1024, 2**64 - 1]


class Opaque:
    """Iterates the wrapped object; its own type has no buffer route."""

    def __init__(self, inner):
        self.inner = inner

    def __len__(self):
        return len(self.inner)

    def __getitem__(self, index):
        return self.inner[index]

    def __iter__(self):
        return iter(self.inner)


def outcome(call, *args, **kwargs):
    try:
        return ("value", call(*args, **kwargs))
    except Exception as error:  # noqa: BLE001 - the error is the outcome
        return ("raised", type(error), str(error))


def images(series):
    """Results depending on every converted value and on their order."""
    return [outcome(f, series) for f in (native.refine_wasserstein, native.refine_cusum)] + [
        outcome(native.wasserstein_statistic, series, [0.0])]


def sample(dtype):
    dtype, rng = numpy.dtype(dtype), numpy.random.default_rng(7)
    if dtype.kind == "f":
        info = numpy.finfo(dtype)
        edges = [info.max, info.min, info.tiny, info.smallest_subnormal, -0.0]
        return numpy.array(edges + list(rng.normal(size=20) * 1e3), dtype)
    info = numpy.iinfo(dtype)
    edges = [v for v in [info.min, info.max, 0, 1, *ROUNDING] if info.min <= v <= info.max]
    random = rng.integers(info.min, info.max, size=20, dtype=dtype, endpoint=True)
    return numpy.concatenate([numpy.array(edges, dtype), random])


def unaligned(values):
    copy = numpy.frombuffer(bytearray(values.nbytes + 1), values.dtype, len(values), offset=1)
    copy[...] = values
    return copy


def typecode_sample(typecode):
    kind = "f" if typecode in "fd" else "i" if typecode.islower() else "u"
    return array.array(typecode, sample(f"{kind}{array.array(typecode).itemsize}").tolist())


VIEWS = {
    "whole": lambda a: a, "step 2": lambda a: a[::2], "reversed": lambda a: a[::-1],
    "step -3": lambda a: a[-2::-3], "column": lambda a: numpy.stack([a, a[::-1]], 1)[:, 1],
    "unaligned": unaligned, "memoryview": memoryview,
    "memoryview reversed": lambda a: memoryview(a)[::-1], "empty": lambda a: a[:0],
}


@pytest.mark.parametrize("view", VIEWS.values(), ids=VIEWS.keys())
@pytest.mark.parametrize("dtype", ["float64", "float32", *INTEGERS])
def test_numpy_views_convert_like_iteration(dtype, view):
    series = view(sample(dtype))
    assert same(images(series), images(Opaque(series)))


@pytest.mark.parametrize("series", [*(sample(d) for d in ["float64", "float32", *INTEGERS]),
                                    *(typecode_sample(t) for t in "bBhHiIlLqQfd")])
def test_each_value_is_that_of_its_item(series):
    # |x| of a one-value sample is x's magnitude bit for bit; Python's own
    # int -> float is the correctly rounded reference.
    for source in (series, memoryview(series)):
        assert same([native.wasserstein_statistic(source[i:i + 1], [0.0]) for i in range(len(source))],
                    [abs(float(v)) for v in series.tolist()])
    for source in (series, memoryview(series)[::-2]):
        assert same(images(source), images(Opaque(source)))


EDGES = {
    "2-D": numpy.arange(6.0).reshape(2, 3), "column": numpy.ones((3, 1)),
    "2-D empty": numpy.zeros((0, 3)), "0-D": numpy.array(2.5), "bool": numpy.array([True, False]),
    "float16": numpy.arange(4, dtype="e"), ">f8": numpy.arange(4, dtype=">f8"),
    ">i4": numpy.arange(4, dtype=">i4"), "object": numpy.array([1, 2.5, 3], dtype=object),
    "2-D memoryview": memoryview(numpy.ones((2, 2))), "0-D memoryview": memoryview(numpy.array(1.0)),
    "float16 memoryview": memoryview(numpy.ones(3, "e")),
    "<d memoryview": memoryview((ctypes.c_double * 3)(1.0, 2.0, 3.0)),
    "=d memoryview": memoryview(unaligned(numpy.arange(3.0))),
    "cast memoryview": memoryview(sample("int64").tobytes()).cast("Q")[1::2],
    "nan": numpy.array([1.0, numpy.nan, 2.0]), "-inf float32": numpy.array([1, -numpy.inf, 2], "f"),
}


@pytest.mark.parametrize("series", EDGES.values(), ids=EDGES.keys())
def test_other_buffers_and_non_finite_values_behave_like_iteration(series):
    assert same(images(series), images(Opaque(series)))


def test_non_finite_values_reach_the_statistic():
    assert outcome(native.wasserstein_statistic, numpy.array([1.0, numpy.inf], "f"), [0.0]) == (
        "raised", ValueError, "samples contain NaN or infinite values")


SERIES = list(numpy.random.default_rng(3).normal(size=40))
WINDOW_SIZES = {
    **{dtype: numpy.array([5, 12, 5], dtype) for dtype in INTEGERS},
    "uint64 max": numpy.array([2**64 - 1, 6], "u8"), "strided": numpy.arange(5, 30, 5)[::-2],
    "negative": numpy.array([10, -1]), "negative int8": numpy.array([-3], "i1"),
    "float64": numpy.array([10.0]), "float32": numpy.array([10.0], "f"), "bool": numpy.array([True]),
    "2-D": numpy.array([[10]]), "zero": numpy.array([0, 5]), "empty": numpy.array([], "i8"),
    "array q": array.array("q", [10, -3]), "array d": array.array("d", [10.0]),
    "memoryview Q": memoryview(array.array("Q", [2**64 - 1, 7])),
}


@pytest.mark.parametrize("sizes", WINDOW_SIZES.values(), ids=WINDOW_SIZES.keys())
def test_unsigned_sequences_convert_like_iteration(sizes):
    def windows(value):  # the converted window sizes are the keys
        return sorted(native.quarn_detector(SERIES, window_sizes=value, n_perm=0)["window_results"])

    assert same(outcome(windows, sizes), outcome(windows, Opaque(sizes)))
    if sizes is WINDOW_SIZES["uint64 max"]:
        assert windows(sizes) == [6, 2**64 - 1]


def test_buffers_are_released_on_every_path():
    # An array.array cannot grow, nor a memoryview be released, while its
    # buffer is still exported.
    for values in (array.array("d", [1.0, 2.0, 3.0]), array.array("q", [5, -1]),
                   array.array("Q", [5, 7])):
        outcome(native.refine_cusum, values)
        outcome(native.quarn_detector, SERIES, window_sizes=values, n_perm=0)
        values.extend(values)
    for view in (memoryview(bytearray(4)).cast("B", (2, 2)), memoryview((ctypes.c_double * 3)())):
        outcome(native.refine_cusum, view)
        outcome(native.quarn_detector, SERIES, window_sizes=view, n_perm=0)
        view.release()


IMPOSSIBLE_LENGTHS = """
import resource, numpy, quarn._quarn_native as native
with open("/proc/self/status") as status:
    size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize"))
resource.setrlimit(resource.RLIMIT_AS, (size + 2**28, size + 2**28))
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
huge = lambda value, length: numpy.broadcast_to(value, (length,))  # stride 0
for call in (lambda: native.refine_cusum(huge(numpy.int8(1), 2**62)),
             lambda: native.refine_cusum(huge(numpy.float64(1), 2**59)),
             lambda: native.quarn_detector([0.0] * 9, huge(numpy.uint8(5), 2**62))):
    try:
        print(call())
    except MemoryError:
        print("MemoryError")
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc, sets RLIMIT_AS")
def test_impossible_lengths_fail_before_any_value_is_read():
    # Reserving the claimed length fails at once; iterating would first fill
    # memory up to the limit.
    child = subprocess.run([sys.executable, "-c", IMPOSSIBLE_LENGTHS], capture_output=True,
                           text=True, timeout=300, check=True)
    *raised, grown_kib = child.stdout.split()
    assert raised == ["MemoryError"] * 3
    assert int(grown_kib) < 32 * 1024

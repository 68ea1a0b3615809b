"""Argument parsing and conversion at the native boundary."""

import array
import sys

import pytest

import quarn._quarn_native as native
from helpers import same

numpy = pytest.importorskip("numpy")

SERIES = [0.0, 1.0, 2.0, 3.0, 4.0, 5.0]


def raises(exc_type, message, call, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        call(*args, **kwargs)
    assert type(info.value) is exc_type
    assert str(info.value) == message
    return info.value


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: native.ipm_statistic([1.0], [2.0], [3.0]),
         "ipm_statistic() takes 2 positional arguments but 3 were given"),
        (lambda: native.refine_cusum(1, 2),
         "refine_cusum() takes 1 positional arguments but 2 were given"),
        (lambda: native.swal_statistic(1, 2, 3),
         "swal_statistic() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: native.quarn_single_window(*range(11)),
         "quarn_single_window() takes from 2 to 10 positional arguments but 11 were given"),
        (lambda: native.quarn_detector(),
         "quarn_detector() missing 1 required positional argument: 'series'"),
        (lambda: native.wasserstein_statistic(),
         "wasserstein_statistic() missing 2 required positional arguments: 'left' and 'right'"),
        (lambda: native.ipm_statistic([1.0]),
         "ipm_statistic() missing 1 required positional argument: 'right'"),
        (lambda: native.quarn_single_window(window_size=3),
         "quarn_single_window() missing 1 required positional argument: 'series'"),
        (lambda: native.refine_cusum([1.0, 2.0, 3.0], series=[1.0]),
         "refine_cusum() got multiple values for argument 'series'"),
        (lambda: native.swal_statistic(series=[1.0, 2.0, 3.0], Change_type="mean"),
         "swal_statistic() got an unexpected keyword argument 'Change_type'"),
        # The positional count is checked before any keyword.
        (lambda: native.refine_cusum([1.0], [2.0], bogus=1),
         "refine_cusum() takes 1 positional arguments but 2 were given"),
        # Keywords are matched in order; the first bad one reports.
        (lambda: native.wasserstein_statistic(left=[1.0], nope=2, right=[3.0], other=4),
         "wasserstein_statistic() got an unexpected keyword argument 'nope'"),
        (lambda: native.wasserstein_statistic(**{"\udc80": 1}),
         "wasserstein_statistic() got an unexpected keyword argument '\udc80'"),
    ],
)
def test_parser_messages(call, message):
    raises(TypeError, message, call)


def test_missing_two_required_by_keyword_call():
    raises(TypeError,
           "quarn_single_window() missing 2 required positional arguments: 'series' and "
           "'window_size'", native.quarn_single_window, n_perm=3)


@pytest.mark.parametrize(
    "left, message",
    [
        ("abc", "argument 'left': Can't extract `str` to `Vec`"),
        ({1.0}, "argument 'left': 'set' object cannot be converted to 'Sequence'"),
        ({1: 1.0}, "argument 'left': 'dict' object cannot be converted to 'Sequence'"),
        (None, "argument 'left': 'NoneType' object cannot be converted to 'Sequence'"),
        (1.5, "argument 'left': 'float' object cannot be converted to 'Sequence'"),
        (["1.0"], "argument 'left': must be real number, not str"),
    ],
)
def test_float_sequence_rejections(left, message):
    raises(TypeError, message, native.wasserstein_statistic, left, [1.0])


def test_float_sequence_accepts_bools_ints_bytes_and_buffers():
    assert native.wasserstein_statistic([1, True, 2.5], [1.0]) == native.wasserstein_statistic(
        [1.0, 1.0, 2.5], [1.0]
    )
    assert native.wasserstein_statistic(b"\x00\x02", [1.0]) == 1.0
    assert native.wasserstein_statistic(array.array("d", [0.0, 1.0]), (0.5,)) == 0.5
    assert native.wasserstein_statistic(numpy.array([0.0, 1.0]), range(1)) == 0.5


def test_float_item_overflow_is_not_prefixed():
    raises(OverflowError, "int too large to convert to float",
           native.wasserstein_statistic, [10**400], [1.0])


@pytest.mark.parametrize(
    "window_size, exc_type, message",
    [
        (5.0, TypeError,
         "argument 'window_size': 'float' object cannot be interpreted as an integer"),
        ("5", TypeError,
         "argument 'window_size': 'str' object cannot be interpreted as an integer"),
        (None, TypeError,
         "argument 'window_size': 'NoneType' object cannot be interpreted as an integer"),
        (-1, OverflowError, "can't convert negative int to unsigned"),
        (2**64, OverflowError, "int too big to convert"),
    ],
)
def test_unsigned_rejections(window_size, exc_type, message):
    raises(exc_type, message, native.quarn_single_window, SERIES, window_size)


@pytest.mark.parametrize("window_size", [numpy.int64(3), numpy.uint8(3), array.array("q", [3])[0]])
def test_unsigned_accepts_index_objects(window_size):
    expected = native.quarn_single_window(SERIES, 3, n_perm=0, b=2)
    assert same(native.quarn_single_window(SERIES, window_size, n_perm=0, b=2), expected)


def test_unsigned_extremes_convert():
    for value in (0, 1, 10**6, 2**64 - 1):
        native.quarn_detector(SERIES, batch_size=value, window_sizes=[50])
    raises(OverflowError, "can't convert negative int to unsigned",
           native.quarn_detector, SERIES, batch_size=-1)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"center": 1}, "argument 'center': 'int' object cannot be converted to 'PyBool'"),
        ({"center": None}, "argument 'center': 'NoneType' object cannot be converted to 'PyBool'"),
        ({"backend": None},
         "argument 'backend': 'NoneType' object cannot be converted to 'PyString'"),
        ({"change_type": b"mean"},
         "argument 'change_type': 'bytes' object cannot be converted to 'PyString'"),
        ({"n_perm": None},
         "argument 'n_perm': 'NoneType' object cannot be interpreted as an integer"),
        ({"alpha_q": "0.5"}, "argument 'alpha_q': must be real number, not str"),
        ({"window_sizes": "10"}, "argument 'window_sizes': Can't extract `str` to `Vec`"),
        ({"window_sizes": [10, 1.5]},
         "argument 'window_sizes': 'float' object cannot be interpreted as an integer"),
    ],
)
def test_detector_conversion_errors(kwargs, message):
    raises(TypeError, message, native.quarn_detector, SERIES, **kwargs)


def test_numpy_bool_is_accepted_for_center():
    falsy = native.quarn_single_window(SERIES, 2, b=3, center=numpy.bool_(False))
    assert falsy == native.quarn_single_window(SERIES, 2, b=3, center=False)
    truthy = native.quarn_single_window(SERIES, 2, b=3, center=numpy.bool_(True))
    assert truthy == native.quarn_single_window(SERIES, 2, b=3, center=True)


def test_none_means_absent_for_optional_arguments():
    expected = native.quarn_detector(SERIES * 3, window_sizes=[4], n_perm=0)
    result = native.quarn_detector(SERIES * 3, window_sizes=[4], n_perm=0, workers=None, b=None)
    assert same(result, expected)


def test_surrogate_text_raises_unicode_error_unprefixed():
    with pytest.raises(UnicodeEncodeError):
        native.swal_statistic(SERIES, "\ud800")


def test_conversion_stops_at_first_failure():
    class Exploding:
        def __index__(self):
            raise AssertionError("later argument must not be converted")

    raises(TypeError, "argument 'n_perm': 'str' object cannot be interpreted as an integer",
           native.quarn_detector, SERIES, None, "x", 1.0, Exploding())


class Cause(Exception):
    pass


class FloatRaising:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


def chained_type_error():
    try:
        raise Cause("root")
    except Cause as cause:
        error = TypeError("inner")
        error.__cause__ = cause
        return error


def test_prefixed_error_keeps_the_cause_of_the_original():
    error = raises(TypeError, "argument 'left': inner", native.wasserstein_statistic,
                   [FloatRaising(chained_type_error())], [1.0])
    assert isinstance(error.__cause__, Cause)
    error = raises(TypeError, "argument 'left': plain", native.wasserstein_statistic,
                   [FloatRaising(TypeError("plain"))], [1.0])
    assert error.__cause__ is None


def test_only_exact_type_error_is_prefixed():
    class SubTypeError(TypeError):
        pass

    raises(SubTypeError, "sub", native.wasserstein_statistic, [FloatRaising(SubTypeError("sub"))],
           [1.0])
    raises(ValueError, "own", native.wasserstein_statistic, [FloatRaising(ValueError("own"))],
           [1.0])


def test_unprintable_type_error_uses_placeholder(monkeypatch):
    class NoText:
        def __str__(self):
            raise RuntimeError("no text")

    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    raises(TypeError, "argument 'left': <unprintable TypeError object>",
           native.wasserstein_statistic, [FloatRaising(TypeError(NoText()))], [1.0])
    assert len(reported) == 1
    assert isinstance(reported[0].exc_value, RuntimeError)


class LyingLength:
    def __init__(self, values, length):
        self.values = values
        self.length = length

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return self.length

    def __getitem__(self, index):
        return self.values[index]

    def __iter__(self):
        return iter(self.values)


@pytest.mark.parametrize("length", [0, 1, 10**6, sys.maxsize, ValueError("no length")])
def test_length_is_only_a_hint(length):
    values = LyingLength([0.0, 1.0], length)
    assert native.wasserstein_statistic(values, [0.5]) == 0.5


def test_iterator_failure_propagates():
    class Broken(LyingLength):
        def __iter__(self):
            yield 1.0
            raise KeyError("iteration broke")

    with pytest.raises(KeyError):
        native.wasserstein_statistic(Broken([], 1), [1.0])


def test_list_mutated_during_conversion_is_safe():
    values = [0.0, 1.0, 2.0]

    class Shrinking:
        def __float__(self):
            values.clear()
            return 5.0

    values.insert(1, Shrinking())
    # The list iterator sees the shrink: only 0.0 and 5.0 are converted.
    assert native.wasserstein_statistic(values, [5.0]) == 2.5

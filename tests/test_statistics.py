"""Two-sample statistics and the best-split functions through Python."""

import math
import random

import pytest

import quarn._quarn_native as native

TWO_SAMPLE = [native.wasserstein_statistic, native.ipm_statistic]


@pytest.mark.parametrize("statistic", TWO_SAMPLE)
@pytest.mark.parametrize(
    "left, right, expected",
    [
        ([0.0, 1.0], [0.5], 0.5),
        ([0.0, 0.0, 0.0], [1.0, 1.0], 1.0),
        ([1.0, 2.0, 3.0], [3.0, 1.0, 2.0], 0.0),
        ([1.0], [3.5], 2.5),
        ([3.0, 1.0, 2.0], [2.0], 0.6666666666666667),
        ([-0.0], [0.0], 0.0),
        ([-1e308], [1e308], math.inf),
    ],
)
def test_distance_examples(statistic, left, right, expected):
    assert statistic(left, right) == expected
    assert statistic(right, left) == expected


@pytest.mark.parametrize("statistic", TWO_SAMPLE)
@pytest.mark.parametrize(
    "left, right, message",
    [
        ([], [1.0], "left and right samples must be non-empty"),
        ([1.0], [], "left and right samples must be non-empty"),
        ([], [], "left and right samples must be non-empty"),
        ([], [math.nan], "left and right samples must be non-empty"),
        ([1.0, math.inf], [0.0], "samples contain NaN or infinite values"),
        ([1.0], [math.nan], "samples contain NaN or infinite values"),
        ([1.0], [-math.inf], "samples contain NaN or infinite values"),
    ],
)
def test_distance_checks(statistic, left, right, message):
    with pytest.raises(ValueError) as info:
        statistic(left, right)
    assert type(info.value) is ValueError
    assert info.value.args == (message,)


def test_ipm_equals_wasserstein_bit_for_bit():
    rng = random.Random(7)
    for _ in range(200):
        left = [rng.choice([rng.gauss(0, 1), 0.0, -0.0, 1.0]) for _ in range(rng.randint(1, 20))]
        right = [rng.gauss(0.5, 2) for _ in range(rng.randint(1, 20))]
        value = native.wasserstein_statistic(left, right)
        assert native.ipm_statistic(left, right).hex() == value.hex()
        assert native.ipm_statistic(right, left).hex() == value.hex()


STEP = [0.0, 0.0, 0.0, 10.0, 10.0, 10.0]


@pytest.mark.parametrize("change_type", ["mean", "var", "distribution", "VAR", "Distribution"])
def test_swal_statistic_on_a_step(change_type):
    assert native.swal_statistic(STEP, change_type) == 3
    assert native.swal_statistic([1.0] * 7, change_type) == 1


@pytest.mark.parametrize(
    "series, expected",
    [([5.0, 0.0, 0.0], 1), ([0.0, 0.0, 5.0], 2), ([0.0, 1.0, 0.0, 1.0], 1), (STEP, 3)],
)
def test_cusum_splits(series, expected):
    assert native.refine_cusum(series) == expected
    assert native.swal_statistic(series, "mean") == expected


def test_swal_default_is_distribution_and_var_agrees():
    rng = random.Random(3)
    for _ in range(50):
        series = [rng.gauss(0, 1) for _ in range(rng.randint(3, 40))]
        expected = native.swal_statistic(series, "distribution")
        assert native.swal_statistic(series) == expected
        assert native.swal_statistic(series, "var") == expected
        assert native.refine_wasserstein(series)[0] == expected


def test_refine_wasserstein_profile():
    split, profile = native.refine_wasserstein(STEP)
    assert split == 3
    assert math.isnan(profile[0])
    expected = [6 * math.sqrt(5 / 6), 7.5 * math.sqrt(4 / 3), 10 * math.sqrt(1.5),
                7.5 * math.sqrt(4 / 3), 6 * math.sqrt(5 / 6)]
    assert profile[1:] == pytest.approx(expected, rel=1e-15)

    split, profile = native.refine_wasserstein([0.0, 10.0, 0.0])
    assert split == 1 and profile[1] == profile[2]
    split, profile = native.refine_wasserstein([1.0] * 5)
    assert split == 1 and profile[1:] == [0.0] * 4


@pytest.mark.parametrize(
    "function", [native.refine_cusum, native.refine_wasserstein, native.swal_statistic]
)
@pytest.mark.parametrize(
    "series, message",
    [
        ([1.0, 2.0], "series must contain at least 3 values"),
        ([1.0, math.nan], "series must contain at least 3 values"),
        ([1.0, math.nan, 3.0], "series contains NaN or infinite values; clean/impute before calling quarn"),
        ([-math.inf, 0.0, 0.0], "series contains NaN or infinite values; clean/impute before calling quarn"),
    ],
)
def test_series_checks(function, series, message):
    with pytest.raises(ValueError, match="^" + message.replace("(", r"\(") + "$"):
        function(series)


@pytest.mark.parametrize(
    "text, shown",
    [
        ("Median", '"median"'),
        ("mean ", '"mean "'),
        ("", '""'),
        ('a"b\\c', '"a\\"b\\\\c"'),
        ("t\tr\rn\n0\0", '"t\\tr\\rn\\n0\\0"'),
        ("\x01\x7f", '"\\u{1}\\u{7f}"'),
        ("Été", '"Été"'),
    ],
)
def test_change_type_message(text, shown):
    with pytest.raises(ValueError) as info:
        native.swal_statistic([1.0, 2.0, 3.0], text)
    assert str(info.value) == (
        "change_type must be one of {'mean', 'var', 'distribution'}, got " + shown
    )

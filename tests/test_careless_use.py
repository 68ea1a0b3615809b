"""The package under careless or hostile use: huge settings, odd dtypes,
repeated names, results that must stay immutable."""

import warnings

import numpy as np
import pytest

import quarn
from quarn.options import format_sizes

pd = pytest.importorskip("pandas")


@pytest.mark.parametrize(
    "sizes, text",
    [
        ([10, 11, 12], "10-12"),
        ([5, 6, 10**18], "5,6,1000000000000000000"),
        ([1, 2, 10**18, 10**18 + 1], "1,2,1000000000000000000,1000000000000000001"),
        ([10**18, 10**18 + 1, 10**18 + 2], "1000000000000000000-1000000000000000002"),
        ([3, 2, 1], "3,2,1"),
    ],
)
def test_sizes_are_described_at_the_cost_of_their_number(sizes, text):
    assert format_sizes(sizes) == text


def test_a_huge_native_window_size_only_warns():
    x = np.arange(300.0)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = quarn.detect(x, method="native", n_perm=20, window_sizes=[1000, 1001, 10**12])
    assert "1000,1001,1000000000000" in str(caught[0].message)
    assert "1000,1001,1000000000000" in result._repr_html_()


@pytest.mark.parametrize("h", [1e-300, 1e-160, 1e173, 1e180, 1e208, 1e298, 8e307, 1.7976931348623157e308])
@pytest.mark.parametrize("form", ["from zero", "doubling", "across zero"])
def test_an_exact_step_is_found_at_every_magnitude(h, form):
    low = {"from zero": 0.0, "doubling": h / 2, "across zero": -h}[form]
    x = np.r_[np.full(100, low), np.full(100, h)]
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no overflow in bringing figures back either
        result = quarn.detect(x)
    assert result.positions == (100,)
    assert result == quarn.detect(x, method="confirm")
    assert quarn.detect(x, method="native", n_perm=50).positions == (100,)


def test_noise_gives_the_same_changes_scaled_by_any_power_of_two():
    rng = np.random.default_rng(3)
    x = np.r_[rng.normal(size=150), rng.normal(size=150) + 2, rng.normal(size=150) * 3 + 2]
    expected = quarn.detect(x).positions
    for exponent in (-1000, -500, -200, 200, 500, 1000, 1020):
        assert quarn.detect(np.ldexp(x, exponent)).positions == expected

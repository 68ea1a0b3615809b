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

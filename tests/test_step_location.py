"""Where the defaults place a level shift.

A step of many noise deviations leaves no doubt where it is: every value
before it lies near one level and every value after it near the other. The
defaults must put the change point exactly there, up or down, alone or
among others, and hold the step's place in their location interval. On
heavy-tailed noise, and with outliers beside the step, the place must stay
close: the magnitudes that place a clean step must not let a few wild values
pull it away.
"""

from __future__ import annotations

import numpy as np
import pytest

import quarn


def stepped(levels: list[float], lengths: list[int], noise: np.ndarray) -> np.ndarray:
    return np.repeat(np.asarray(levels, dtype=float), lengths) + noise


def cuts(lengths: list[int]) -> list[int]:
    return [int(c) for c in np.cumsum(lengths)[:-1]]


def positions(x: np.ndarray) -> list[int]:
    return [point.position for point in quarn.detect(x).change_points]


@pytest.mark.parametrize("seed", [0, 1, 2, 3])
@pytest.mark.parametrize("direction", [1.0, -1.0])
@pytest.mark.parametrize("height", [8.0, 12.0, 20.0])
@pytest.mark.parametrize("at", [100, 163, 217])
def test_a_clean_step_is_placed_exactly(at: int, height: float, direction: float, seed: int) -> None:
    noise = np.random.default_rng(seed).standard_normal(300)
    x = stepped([0.0, direction * height], [at, 300 - at], noise)
    assert positions(x) == [at]


@pytest.mark.parametrize("seed", [0, 1, 2, 3, 4, 5])
@pytest.mark.parametrize("direction", [1.0, -1.0])
def test_a_step_of_five_deviations_is_placed_within_one_value(direction: float, seed: int) -> None:
    # A value lies nearer the other side's level once its noise passes 2.5
    # deviations (about one value in 80): the neighbour of the step may then
    # go with the other side.
    noise = np.random.default_rng(seed).standard_normal(300)
    found = positions(stepped([0.0, direction * 5.0], [140, 160], noise))
    assert len(found) == 1
    assert abs(found[0] - 140) <= 1


@pytest.mark.parametrize("seed", [0, 1, 2, 3, 4])
@pytest.mark.parametrize(
    ("levels", "lengths"),
    [
        # Up, down and back, each step ten deviations: the first example of
        # the fault (the second step was placed two values late).
        ([0.0, 10.0, 0.0], [100, 100, 100]),
        # Unequal blocks, steps of 10 to 17 deviations in both directions.
        ([0.0, 10.0, 0.0, 17.0, 5.0], [70, 90, 60, 110, 80]),
        ([3.0, -8.0, 4.0, 16.0], [120, 75, 95, 85]),
    ],
)
def test_several_clean_steps_are_placed_exactly(levels: list[float], lengths: list[int], seed: int) -> None:
    noise = np.random.default_rng(seed).standard_normal(sum(lengths))
    assert positions(stepped(levels, lengths, noise)) == cuts(lengths)


@pytest.mark.parametrize("seed", [0, 1, 2, 3])
@pytest.mark.parametrize("at", [100, 163, 217])
def test_the_location_interval_holds_a_clean_step(at: int, seed: int) -> None:
    noise = np.random.default_rng(seed).standard_normal(300)
    (point,) = quarn.detect(stepped([0.0, 10.0], [at, 300 - at], noise)).change_points
    low, high = point.interval
    assert low <= at <= high


@pytest.mark.parametrize("seed", range(8))
@pytest.mark.parametrize("scale", [1.0, 1e6])
def test_a_step_in_heavy_tailed_noise_is_placed_close(seed: int, scale: float) -> None:
    # Student-t noise with 3 degrees of freedom (robust deviation about
    # 1.1) and a step of 4: placed within the benchmark's margin of 5
    # values, whatever the units of the series.
    noise = np.random.default_rng(seed).standard_t(3, 400)
    found = positions(scale * stepped([0.0, 4.0], [190, 210], noise))
    assert found and min(abs(p - 190) for p in found) <= 5


@pytest.mark.parametrize("seed", [0, 1, 2])
@pytest.mark.parametrize(("offset", "sign"), [(-4, 1.0), (-3, -1.0), (3, -1.0), (4, 1.0)])
def test_an_outlier_beside_a_step_leaves_it_in_place(offset: int, sign: float, seed: int) -> None:
    # A wild value a few places from a step of ten deviations counts as one
    # value on the wrong side, not as the fifty deviations it measures: the
    # clean values between it and the step keep their place.
    noise = np.random.default_rng(seed).standard_normal(300)
    x = stepped([0.0, 10.0], [150, 150], noise)
    x[150 + offset] += sign * 50.0
    assert 150 in positions(x)

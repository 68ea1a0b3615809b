"""Runs change-point methods on the benchmark series and scores them."""

from __future__ import annotations

import statistics
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass

import numpy as np

import _synthetic
from quarn.metrics import cover, f1

#: A method maps a series to its change points.
Method = Callable[[np.ndarray], Sequence[int]]


@dataclass
class Scores:
    """Mean F1 and cover over a group of series, with the cost of getting them."""

    f1: float
    cover: float
    predicted: float  # change points per series
    seconds: float
    per_series: list[tuple[str, float, float, int]]


def clean(points: Sequence[int], n: int) -> list[int]:
    """Distinct change points strictly inside the series."""
    return sorted({int(p) for p in points if 0 < int(p) < n})


def run(method: Method, values: np.ndarray) -> tuple[list[int], float]:
    start = time.perf_counter()
    points = method(values)
    return clean(points, len(values)), time.perf_counter() - start


def score_annotated(method: Method, series) -> Scores:
    """Scores a method on annotated series (objects with name, values, annotations)."""
    rows, seconds = [], 0.0
    for item in series:
        values = np.asarray(item.values, dtype=float)
        points, spent = run(method, values)
        seconds += spent
        rows.append(
            (item.name, f1(item.annotations, points), cover(item.annotations, points, len(values)), len(points))
        )
    return Scores(
        statistics.fmean(r[1] for r in rows),
        statistics.fmean(r[2] for r in rows),
        statistics.fmean(r[3] for r in rows),
        seconds,
        rows,
    )


def score_family(method: Method, family: str, count: int) -> Scores:
    """Scores a method on the first ``count`` series of a synthetic family."""
    rows, seconds = [], 0.0
    for index in range(count):
        item = _synthetic.with_changes(family, index)
        points, spent = run(method, item.values)
        seconds += spent
        truth = {"truth": item.change_points}
        rows.append(
            (f"{family}[{index}]", f1(truth, points), cover(truth, points, len(item.values)), len(points))
        )
    return Scores(
        statistics.fmean(r[1] for r in rows),
        statistics.fmean(r[2] for r in rows),
        statistics.fmean(r[3] for r in rows),
        seconds,
        rows,
    )


@dataclass
class NullScores:
    """False alarms on change-free series."""

    per_1000: float  # false alarms per 1000 values
    any_alarm: float  # share of series with at least one alarm
    seconds: float


def score_null(method: Method, kind: str, count: int, lengths=(200, 5000)) -> NullScores:
    """Counts the alarms of a method on change-free series of one noise kind."""
    alarms = values = flagged = 0
    seconds = 0.0
    for index in range(count):
        item = _synthetic.change_free(kind, index, lengths=lengths)
        points, spent = run(method, item.values)
        seconds += spent
        alarms += len(points)
        values += len(item.values)
        flagged += bool(points)
    return NullScores(1000.0 * alarms / values, flagged / count, seconds)

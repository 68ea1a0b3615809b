"""Scores of predicted change points against human annotations.

Both scores follow the usual change-point benchmark conventions. A change
point c is the index of the first value after the change, and the start of
the series (index 0) counts as a change point in every set, so that a
prediction of no change at all still scores above zero.

``f1`` matches points within a margin: precision is measured against the
union of all annotators' points, recall for each annotator separately and
then averaged. ``cover`` compares the segments the points cut the series
into: each annotated segment is matched with the predicted segment it
overlaps best (Jaccard index), weighted by its length, and averaged over
annotators.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from typing import Any

#: Largest distance, in samples, at which a prediction matches an annotation.
DEFAULT_MARGIN = 5


def true_positives(
    annotated: Iterable[int], predicted: Iterable[int], margin: int = DEFAULT_MARGIN
) -> set[int]:
    """Finds the annotated points that a prediction matches.

    The annotated points are visited in ascending order; each takes the
    closest prediction within ``margin`` that no earlier point has taken
    (the smaller one when two are equally close). A prediction therefore
    matches at most one annotated point.

    Args:
        annotated: Annotated change points.
        predicted: Predicted change points.
        margin: Largest distance at which a prediction matches.

    Returns:
        The annotated points that were matched.
    """
    unmatched = set(_integers(predicted, "predicted"))
    matched: set[int] = set()
    for point in sorted(set(_integers(annotated, "annotated"))):
        close = [(abs(point - guess), guess) for guess in unmatched if abs(point - guess) <= margin]
        if not close:
            continue
        _, nearest = min(close)
        matched.add(point)
        unmatched.remove(nearest)
    return matched


def f1(
    annotations: Mapping[Any, Iterable[int]],
    predictions: Iterable[int],
    margin: int = DEFAULT_MARGIN,
) -> float:
    """F1 score of predicted change points against several annotators.

    Index 0 is added to every annotator's set and to the predictions.
    Precision is the share of predictions that match a point of the union of
    all annotators; recall is each annotator's share of matched points,
    averaged over annotators; F1 is their harmonic mean.

    Args:
        annotations: Each annotator's change points (keys are annotator ids
            and are not used otherwise). At least one annotator.
        predictions: Predicted change points.
        margin: Largest distance, in samples, at which a prediction matches
            an annotated point.

    Returns:
        The F1 score, between 0 and 1.

    Raises:
        ValueError: There are no annotators, or ``margin`` is negative.
    """
    precision, recall = precision_recall(annotations, predictions, margin)
    if precision + recall == 0.0:
        return 0.0
    return 2.0 * precision * recall / (precision + recall)


def precision_recall(
    annotations: Mapping[Any, Iterable[int]],
    predictions: Iterable[int],
    margin: int = DEFAULT_MARGIN,
) -> tuple[float, float]:
    """Precision and recall as combined by :func:`f1`.

    Args:
        annotations: Each annotator's change points.
        predictions: Predicted change points.
        margin: Largest matching distance in samples.

    Returns:
        ``(precision, recall)``.

    Raises:
        ValueError: There are no annotators, or ``margin`` is negative.
    """
    if margin < 0:
        raise ValueError(f"margin must be at least 0, got {margin}")
    annotated = [set(_integers(points, "annotations")) | {0} for points in annotations.values()]
    if not annotated:
        raise ValueError("annotations must hold at least one annotator")
    predicted = set(_integers(predictions, "predictions")) | {0}
    union = set().union(*annotated)
    precision = len(true_positives(union, predicted, margin)) / len(predicted)
    recall = sum(
        len(true_positives(points, predicted, margin)) / len(points) for points in annotated
    ) / len(annotated)
    return precision, recall


def segments(points: Iterable[int], n: int) -> list[range]:
    """Cuts ``range(n)`` at the given change points.

    Points outside 1 .. n-1 and repeated points cut nothing, so no segment
    is empty.

    Args:
        points: Change points.
        n: Length of the series.

    Returns:
        The segments in order, as ranges that together cover ``range(n)``.
    """
    cuts = sorted({p for p in _integers(points, "points") if 0 < p < n})
    bounds = [0, *cuts, n]
    return [range(a, b) for a, b in zip(bounds, bounds[1:]) if b > a]


def cover(
    annotations: Mapping[Any, Iterable[int]], predictions: Iterable[int], n: int
) -> float:
    """Covering score of the segments that predicted change points make.

    For each annotator, every annotated segment is matched with the
    predicted segment of largest Jaccard overlap (intersection over union of
    their index sets); these overlaps are averaged with the segments' lengths
    as weights. The result is the mean over annotators.

    Args:
        annotations: Each annotator's change points. At least one annotator.
        predictions: Predicted change points.
        n: Length of the series, at least 1.

    Returns:
        The covering score, between 0 and 1 (1 when the predicted segments
        equal every annotator's).

    Raises:
        ValueError: There are no annotators, or ``n`` is below 1.
    """
    if n < 1:
        raise ValueError(f"n must be at least 1, got {n}")
    if not annotations:
        raise ValueError("annotations must hold at least one annotator")
    predicted = segments(predictions, n)
    scores = [
        sum(len(seg) * _best_overlap(seg, predicted) for seg in segments(points, n)) / n
        for points in annotations.values()
    ]
    return sum(scores) / len(scores)


def _best_overlap(segment: range, candidates: list[range]) -> float:
    # Segments are intervals, so their Jaccard index needs only the bounds.
    best = 0.0
    for other in candidates:
        common = min(segment.stop, other.stop) - max(segment.start, other.start)
        if common > 0:
            union = len(segment) + len(other) - common
            best = max(best, common / union)
    return best


def _integers(points: Iterable[int], name: str) -> list[int]:
    values = []
    for point in points:
        try:
            values.append(int(point))
        except (TypeError, ValueError):
            raise TypeError(f"{name} must hold integers, got {point!r}") from None
        if values[-1] != point:
            raise TypeError(f"{name} must hold integers, got {point!r}")
    return values

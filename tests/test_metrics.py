"""Tests of the benchmark scores in quarn.metrics."""

import pytest

from quarn.metrics import cover, f1, precision_recall, segments, true_positives


@pytest.mark.parametrize(
    ("annotations", "predictions", "expected"),
    [
        # The benchmark's published examples.
        ({1: [10, 20], 2: [11, 20], 3: [10], 4: [0, 5]}, [10, 20], 1.0),
        ({1: [], 2: [10], 3: [50]}, [10], 0.9090909090909091),
        ({1: [], 2: [10], 3: [50]}, [], 0.8),
    ],
)
def test_f1_published_examples(annotations, predictions, expected):
    assert f1(annotations, predictions) == expected


@pytest.mark.parametrize(
    ("annotations", "predictions", "n", "expected"),
    [
        ({1: [10, 20], 2: [10], 3: [0, 5]}, [10, 20], 45, 0.7962962962962963),
        ({1: [], 2: [10], 3: [40]}, [10], 45, 0.7954144620811286),
        ({1: [], 2: [10], 3: [40]}, [], 45, 0.8189300411522634),
    ],
)
def test_cover_published_examples(annotations, predictions, n, expected):
    assert cover(annotations, predictions, n) == pytest.approx(expected, abs=1e-15)


@pytest.mark.parametrize(
    ("prediction", "matched"),
    [(105, True), (95, True), (106, False), (94, False)],
)
def test_margin_is_inclusive(prediction, matched):
    assert (true_positives([100], [prediction]) == {100}) is matched


def test_one_prediction_matches_one_annotation():
    # 12 lies within the margin of both 10 and 14 but counts only once.
    assert true_positives([10, 14], [12]) == {10}
    precision, recall = precision_recall({"a": [10, 14]}, [12])
    assert precision == 1.0  # both 0 and 12 match
    assert recall == pytest.approx(2 / 3)


def test_closest_prediction_wins_and_ties_go_to_the_smaller():
    assert true_positives([10], [13, 8]) == {10}
    # 10 takes 8 (distance 2, the smaller of two equal distances), so 14 still finds 12.
    assert true_positives([10, 14], [8, 12]) == {10, 14}


def test_duplicate_predictions_count_once():
    assert f1({"a": [50]}, [50, 50, 50]) == f1({"a": [50]}, [50])
    assert cover({"a": [50]}, [50, 50], 100) == cover({"a": [50]}, [50], 100)


def test_unmatched_predictions_lower_precision_only():
    precision, recall = precision_recall({"a": [50]}, [50, 80])
    assert precision == pytest.approx(2 / 3)
    assert recall == 1.0


@pytest.mark.parametrize(
    ("points", "n", "expected"),
    [
        ([], 5, [range(0, 5)]),
        ([0, 5, 9], 5, [range(0, 5)]),
        ([3, 3, 1], 5, [range(0, 1), range(1, 3), range(3, 5)]),
    ],
)
def test_segments_skip_points_outside_and_repeats(points, n, expected):
    assert segments(points, n) == expected


def test_cover_of_exact_and_of_missing_segments():
    assert cover({"a": [30, 60]}, [30, 60], 100) == 1.0
    # Each half overlaps the single predicted segment by half.
    assert cover({"a": [50]}, [], 100) == 0.5


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: f1({}, [1]), "at least one annotator"),
        (lambda: f1({"a": [1]}, [1], margin=-1), "margin must be at least 0"),
        (lambda: cover({"a": [1]}, [1], 0), "n must be at least 1"),
        (lambda: cover({}, [1], 10), "at least one annotator"),
    ],
)
def test_invalid_arguments(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def test_non_integer_points_are_rejected():
    with pytest.raises(TypeError, match="integers"):
        f1({"a": [1]}, [2.5])

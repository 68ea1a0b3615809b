"""Layout of result.plot(): what fits the figure, and crowded labels."""

import math
import random

import pytest

import quarn
from quarn.display import PROBABILITY_AXIS_LABEL, thin_labels

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


@pytest.mark.parametrize(
    "centres, priorities, gap, kept",
    [
        ([], [], 10.0, []),
        ([0.0, 20.0, 40.0], [0.1, 0.2, 0.3], 10.0, [0, 1, 2]),  # room for all
        ([0.0, 5.0, 9.0], [0.2, 0.5, 0.2], 10.0, [1]),  # the most probable wins
        ([0.0, 5.0, 30.0], [0.3, 0.3, 0.3], 10.0, [0, 2]),  # ties: the leftmost
        ([0.0, 10.0], [0.5, 0.5], 10.0, [0, 1]),  # exactly the gap apart fits
        ([0.0, 5.0], [math.nan, 0.1], 10.0, [1]),  # NaN counts as lowest
        ([3.0, 3.0, 3.0], [0.1, 0.2, 0.3], 0.0, [0, 1, 2]),  # no gap asked
        ([50.0, 0.0, 25.0], [0.1, 0.9, 0.5], 30.0, [0, 1]),  # any input order
    ],
)
def test_thin_labels(centres, priorities, gap, kept):
    assert thin_labels(centres, priorities, gap) == kept


@pytest.mark.parametrize("seed", range(5))
def test_thin_labels_keeps_a_spaced_and_maximal_set(seed):
    rng = random.Random(seed)
    centres = [rng.uniform(0.0, 500.0) for _ in range(200)]
    priorities = [rng.random() for _ in centres]
    kept = thin_labels(centres, priorities, 12.0)
    spots = sorted(centres[i] for i in kept)
    assert all(b - a >= 12.0 for a, b in zip(spots, spots[1:]))
    for i in set(range(len(centres))) - set(kept):
        # Every label left out is crowded by a kept label at least as important.
        assert any(
            abs(centres[j] - centres[i]) < 12.0 and priorities[j] >= priorities[i] for j in kept
        )


def probability_labels(ax):
    (top,) = [child for child in ax.child_axes if child.get_label() == PROBABILITY_AXIS_LABEL]
    return [label for label in top.xaxis.get_ticklabels() if label.get_text()]


def crowded_result():
    rng = random.Random(5)
    values = [rng.gauss(0.0, 1.0) + (i // 150) % 3 for i in range(2400)]
    return quarn.detect(values, method="native", window_sizes=[10, 12, 14], n_perm=60)


def inside(box, outer, slack=0.5):
    return (
        box.x0 >= outer.x0 - slack
        and box.x1 <= outer.x1 + slack
        and box.y0 >= outer.y0 - slack
        and box.y1 <= outer.y1 + slack
    )


def test_default_figure_fits_its_legend_labels_and_title():
    result = crowded_result()
    ax = result.plot()
    try:
        figure = ax.figure
        assert plt.gcf() is figure  # pyplot shows it
        ax.set_title("a title set afterwards")
        figure.canvas.draw()
        renderer = figure.canvas.get_renderer()
        frame = figure.bbox
        assert inside(ax.get_legend().get_window_extent(renderer), frame)
        assert inside(ax.xaxis.label.get_window_extent(renderer), frame)
        assert inside(ax.yaxis.label.get_window_extent(renderer), frame)
        labels = [text.get_window_extent(renderer) for text in probability_labels(ax)]
        assert 0 < len(labels) < len(result.change_points)
        for box in labels:
            assert inside(box, frame)
        assert ax.title.get_window_extent(renderer).y0 >= max(box.y1 for box in labels)
        assert inside(ax.title.get_window_extent(renderer), frame)
        labels.sort(key=lambda box: box.x0)
        assert all(a.x1 <= b.x0 for a, b in zip(labels, labels[1:]))  # no overlap
        legend_texts = [text.get_text() for text in ax.get_legend().get_texts()]
        hidden = len(result.change_points) - len(labels)
        assert any(f"{hidden} crowded" in text for text in legend_texts)
    finally:
        plt.close("all")


def test_all_labels_shown_when_there_is_room():
    values = [0.0] * 100 + [4.0] * 100
    result = quarn.detect([v + 0.01 * (i % 7) for i, v in enumerate(values)], alpha=0.05)
    ax = result.plot()
    try:
        assert len(probability_labels(ax)) == len(result.change_points) > 0
        assert all("omitted" not in text.get_text() for text in ax.get_legend().get_texts())
    finally:
        plt.close("all")

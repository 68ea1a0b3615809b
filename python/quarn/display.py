"""Pictures of detection results (needs the optional matplotlib)."""

from __future__ import annotations

import bisect
import sys
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from matplotlib.axes import Axes

    from quarn.result import ChangePoint, DetectionResult

INSTALL_HINT = "pip install 'quarn[plot]'"


def require_matplotlib() -> Any:
    """Imports matplotlib, or explains how to install it.

    Returns:
        The matplotlib module.

    Raises:
        ImportError: matplotlib is not installed.
    """
    try:
        import matplotlib
    except ImportError as exc:
        raise ImportError(
            f"plotting needs matplotlib, which is not installed; run: {INSTALL_HINT}"
        ) from exc
    return matplotlib


def plot_result(
    result: DetectionResult,
    ax: Axes | None = None,
    *,
    title: str | None = None,
    annotations: Sequence[int] = (),
) -> Axes:
    """Draws a series, its change points and their probabilities.

    Each change point is a vertical line, darker the higher its score, with
    its probability written above the axes; its location interval (confirm
    method) is a shaded band, and the median level of every segment between
    change points a horizontal line. Where change points crowd, the
    labels of the more probable ones are kept and the others left out, so
    that no two labels overlap; the legend says how many were left out.

    Args:
        result: The detection result to draw.
        ax: A matplotlib Axes; a new figure is made when None.
        title: Title of the axes.
        annotations: Positions marked by people, drawn as small ticks under
            the series (for comparing with known change points).

    Returns:
        The Axes drawn on.

    Raises:
        ImportError: matplotlib is not installed.
        ValueError: The series has a pandas MultiIndex.
    """
    x, tick_labels = plot_axis(result.index, result.n_samples)
    require_matplotlib()
    if ax is None:
        ax = new_figure_axes()
    import numpy as np  # matplotlib brings numpy

    values = np.asarray(result.values, dtype=np.float64)
    ax.plot(x, values, color="0.25", linewidth=0.9, label="series")
    if tick_labels is not None:
        label_ticks(ax, tick_labels)
    for point in result.change_points:
        ax.axvline(x[point.position], color="tab:red", alpha=0.2 + 0.8 * point.score, linewidth=1.5)
    banded = False
    for point in result.change_points:
        if point.interval is not None and point.interval[1] > point.interval[0]:
            confidence = result.options.get("confidence")
            label = "location interval" + (f" ({confidence:.0%})" if confidence else "")
            ax.axvspan(
                x[point.interval[0]],
                x[point.interval[1]],
                color="tab:orange",
                alpha=0.25,
                linewidth=0,
                label=None if banded else label,
            )
            banded = True
    for i, segment in enumerate(result.segments):
        if segment.count and segment.level == segment.level:  # not NaN
            ax.hlines(
                segment.level,
                x[segment.start],
                x[segment.stop - 1],
                colors="tab:green",
                linewidth=1.6,
                label="segment level (median)" if i == 0 else None,
            )
    if annotations:
        ax.plot(
            [x[i] for i in annotations],
            [0.0] * len(annotations),
            linestyle="none",
            marker="|",
            markersize=12,
            color="tab:blue",
            transform=ax.get_xaxis_transform(),
            label="marked by hand",
        )
    concise_dates(ax)
    ax.set_xlabel("position" if result.index is None else (result.index.name or "index"))
    ax.set_ylabel("value")
    if title:
        ax.set_title(title)
    key = None
    if result.change_points:
        (key,) = ax.plot([], [], color="tab:red", label="change point\n(probability above)")
    _legend(ax)
    shown = label_probabilities(ax, [x[p.position] for p in result.change_points], result)
    if key is not None and shown < len(result.change_points):
        hidden = len(result.change_points) - shown
        key.set_label(
            f"change point\n(probability above,\n{hidden} crowded "
            f"{'one' if hidden == 1 else 'ones'} omitted)"
        )
        _legend(ax)
    return ax


# --- layout -------------------------------------------------------------

#: Size of the figure that ``plot_result`` makes when given no Axes.
DEFAULT_FIGSIZE = (9.0, 3.5)

#: Font size of the probability labels, in points.
LABEL_FONTSIZE = 7.0

#: Artist label of the secondary x-axis that carries the probability labels.
PROBABILITY_AXIS_LABEL = "change point probabilities"


def new_figure_axes() -> Axes:
    """Makes the default figure: one Axes whose layout engine keeps the
    legend (outside on the right), the probability labels (above) and the
    axis labels inside the figure. The figure belongs to pyplot, so that
    ``plt.show()`` and notebooks display it."""
    import matplotlib.pyplot as plt

    _, ax = plt.subplots(figsize=DEFAULT_FIGSIZE, layout="constrained")
    return ax


def _legend(ax: Axes) -> None:
    """The legend, outside the axes on the right."""
    ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=7, frameon=False)


def concise_dates(ax: Axes) -> None:
    """Writes date ticks in the short form (year once, then months or days),
    which fits a wide span of dates without overlapping tick labels. Axes
    without dates are left unchanged."""
    from matplotlib.dates import AutoDateFormatter, AutoDateLocator, ConciseDateFormatter

    locator = ax.xaxis.get_major_locator()
    if isinstance(ax.xaxis.get_major_formatter(), AutoDateFormatter) and isinstance(
        locator, AutoDateLocator
    ):
        ax.xaxis.set_major_formatter(ConciseDateFormatter(locator))


def label_probabilities(ax: Axes, at: Sequence[Any], result: DetectionResult) -> int:
    """Writes each change point's probability above the axes, leaving out
    labels that would overlap a more probable one.

    The labels are the tick labels of a secondary x-axis on top, so that a
    title set later, and the figure's layout engine, make room for them.

    Args:
        ax: The Axes, with the series already drawn (its x-limits final).
        at: The x value of every change point of ``result``, in order.
        result: The detection result whose change points are labelled.

    Returns:
        The number of labels written.
    """
    points: tuple[ChangePoint, ...] = result.change_points
    if not points:
        return 0
    texts = [f"{point.probability:.2f}" for point in points]
    numbers = [float(value) for value in ax.xaxis.convert_units(list(at))]
    centres = _display_x(ax, numbers)
    dpi = ax.figure.dpi if ax.figure is not None else 100.0
    # Neighbouring centres must lie one label width plus a small space apart.
    min_gap = (_text_width_points(max(texts, key=len)) + 0.4 * LABEL_FONTSIZE) * dpi / 72.0
    kept = thin_labels(centres, [point.probability for point in points], min_gap)
    top = ax.secondary_xaxis("top")
    top.set_xticks([numbers[i] for i in kept], [texts[i] for i in kept])
    top.tick_params(
        axis="x", length=2, pad=1, labelsize=LABEL_FONTSIZE, colors="tab:red", labelcolor="tab:red"
    )
    top.set_label(PROBABILITY_AXIS_LABEL)
    return len(kept)


def thin_labels(centres: Sequence[float], priorities: Sequence[float], min_gap: float) -> list[int]:
    """Chooses labels that do not crowd: the most important first.

    Labels are taken in order of falling priority (ties: the leftmost first);
    a label is kept when its centre lies at least ``min_gap`` from the centre
    of every label kept before it.

    Args:
        centres: Horizontal centre of each label, in display units.
        priorities: Importance of each label; a NaN counts as lowest.
        min_gap: Least distance between the centres of two kept labels.

    Returns:
        The indices of the kept labels, ascending.
    """

    def rank(i: int) -> tuple[bool, float, int]:
        priority = priorities[i]
        return (priority != priority, -priority if priority == priority else 0.0, i)

    taken: list[float] = []  # centres of kept labels, sorted
    kept: list[int] = []
    for i in sorted(range(len(centres)), key=rank):
        centre = centres[i]
        slot = bisect.bisect_left(taken, centre)
        if slot < len(taken) and taken[slot] - centre < min_gap:
            continue
        if slot > 0 and centre - taken[slot - 1] < min_gap:
            continue
        taken.insert(slot, centre)
        kept.append(i)
    return sorted(kept)


def _text_width_points(text: str) -> float:
    """Width of a label in points, measured from the font's glyphs (the same
    on every backend)."""
    from matplotlib.font_manager import FontProperties
    from matplotlib.textpath import TextToPath

    font = FontProperties(size=LABEL_FONTSIZE)
    width, _, _ = TextToPath().get_text_width_height_descent(text, font, ismath=False)
    return float(width)


def _display_x(ax: Axes, numbers: Sequence[float]) -> list[float]:
    """Display (pixel) x of x values in data units, after the figure's layout."""
    # Figure.figure is the figure itself, SubFigure.figure the root figure.
    root = ax.figure.figure if ax.figure is not None else None
    if root is not None and root.get_layout_engine() is not None:
        # Lay the figure out now so that the axes have their final width.
        root.draw_without_rendering()
    return [float(pixel[0]) for pixel in ax.transData.transform([(x, 0.0) for x in numbers])]


# --- horizontal axis ----------------------------------------------------


def plot_axis(index: Any, n_samples: int) -> tuple[Any, Any]:
    """What to draw the values against, checked before anything is drawn.

    Args:
        index: The pandas index of the series, or None.
        n_samples: Length of the series.

    Returns:
        ``(x, tick_labels)``: numbers or dates for the horizontal axis, and
        the labels to write under positions when the index holds neither
        (None otherwise). A PeriodIndex becomes the start times of its
        periods.

    Raises:
        ValueError: The index is a MultiIndex.
    """
    if index is None:
        return range(n_samples), None
    pd = sys.modules.get("pandas")
    if pd is not None and isinstance(index, pd.MultiIndex):
        raise ValueError(
            f"cannot plot a series with a MultiIndex ({index.nlevels} levels): there is "
            "no single axis to draw along; detect on a series with one index level, "
            "e.g. series.droplevel(0) or series.reset_index(drop=True)"
        )
    if pd is not None and isinstance(index, pd.PeriodIndex):
        return index.to_timestamp(), None
    if getattr(getattr(index, "dtype", None), "kind", "O") in "iufM":
        return index, None
    return range(n_samples), index


def label_ticks(ax: Axes, labels: Sequence[Any]) -> None:
    """Puts about six of the labels (one per position) under the axis."""
    step = max(1, len(labels) // 6)
    ticks = list(range(0, len(labels), step))
    ax.set_xticks(ticks, [shown_label(labels[t]) for t in ticks], rotation=20, fontsize=7)


def shown_label(label: Any, limit: int = 20) -> str:
    """An index label as tick text, cut to ``limit`` characters."""
    text = str(label)
    return text if len(text) <= limit else text[: limit - 1] + "\u2026"

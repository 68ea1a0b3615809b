"""Pictures of detection results (needs the optional matplotlib)."""

from __future__ import annotations

import sys
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from quarn.result import DetectionResult

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
    ax: Any = None,
    *,
    title: str | None = None,
    annotations: Sequence[int] = (),
) -> Any:
    """Draws a series, its change points and their probabilities.

    Each change point is a vertical line, darker the higher its score, with
    its probability written above the axes.

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
        import matplotlib.pyplot as plt

        _, ax = plt.subplots(figsize=(9, 3.5))
    import numpy as np  # matplotlib brings numpy

    values = np.asarray(result.values, dtype=np.float64)
    ax.plot(x, values, color="0.25", linewidth=0.9, label="series")
    if tick_labels is not None:
        step = max(1, len(tick_labels) // 6)
        ticks = list(range(0, len(tick_labels), step))
        ax.set_xticks(ticks, [shown_label(tick_labels[t]) for t in ticks], rotation=20, fontsize=7)
    for point in result.change_points:
        at = x[point.position]
        ax.axvline(at, color="tab:red", alpha=0.2 + 0.8 * point.score, linewidth=1.5)
        ax.annotate(
            f"{point.probability:.2f}",
            xy=(at, 1.0),
            xycoords=("data", "axes fraction"),
            xytext=(0, 2),
            textcoords="offset points",
            ha="center",
            va="bottom",
            fontsize=7,
            color="tab:red",
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
    if result.change_points:
        ax.plot([], [], color="tab:red", label="change point\n(probability above)")
    ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=7, frameon=False)
    ax.set_xlabel("position" if result.index is None else (result.index.name or "index"))
    ax.set_ylabel("value")
    if title:
        ax.set_title(title, pad=14)
    return ax


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


def shown_label(label: Any, limit: int = 20) -> str:
    """An index label as tick text, cut to ``limit`` characters."""
    text = str(label)
    return text if len(text) <= limit else text[: limit - 1] + "\u2026"

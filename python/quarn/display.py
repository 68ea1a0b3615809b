"""Pictures of detection results (needs the optional matplotlib)."""

from __future__ import annotations

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
    """
    require_matplotlib()
    if ax is None:
        import matplotlib.pyplot as plt

        _, ax = plt.subplots(figsize=(9, 3.5))
    x = list(range(result.n_samples)) if result.index is None else result.index
    ax.plot(x, result.values, color="0.25", linewidth=0.9, label="series")
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

"""Window sizes that cannot analyse a series, and the warning that says so.

A window size w compares pairs of adjacent windows, so it needs at least 2w
values; with fewer it finds nothing, which must not read as "no change".
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from typing import Any

from quarn.options import format_sizes


class QuarnWarning(UserWarning):
    """Something in a detection deserves attention but did not stop it."""


def unanalysed_sizes(n_values: int, window_sizes: Iterable[int]) -> list[int]:
    """The distinct window sizes, ascending, that need more than ``n_values`` values."""
    return sorted({size for size in window_sizes if 2 * size > n_values})


def unanalysed_message(
    n_values: int, window_sizes: Iterable[int], subject: str = "the series"
) -> str | None:
    """Says which window sizes left a series unanalysed, or None when all fit.

    Args:
        n_values: Length of the series.
        window_sizes: The window sizes asked for.
        subject: How to name the series: "the series", "column 'x'".

    Returns:
        E.g. "window size 1000 needs at least 2000 values; column 'x' has 192,
        so it analysed nothing", or None.
    """
    sizes = list(window_sizes)
    short = unanalysed_sizes(n_values, sizes)
    if not short:
        return None
    if len(short) == 1:
        need = f"window size {short[0]} needs at least {2 * short[0]} values"
        what = "so it analysed nothing"
    else:
        low, high = 2 * short[0], 2 * short[-1]
        need = f"window sizes {format_sizes(short)} need at least {low} to {high} values"
        what = "so they analysed nothing"
    if len(short) == len(set(sizes)):
        what += " and no change point can be found"
    return f"{need}; {subject} has {n_values}, {what}"


def short_series_message(
    n_values: int, options: Mapping[str, Any], subject: str = "the series"
) -> str | None:
    """The warning for a series of ``n_values`` values that some window size
    of a detection with ``options`` cannot analyse, or None (see
    :func:`unanalysed_message`)."""
    return unanalysed_message(n_values, window_sizes_for(n_values, options), subject)


#: The smallest window size of the confirm method's candidate detector.
_SMALLEST_METHOD_WINDOW = 5


def window_sizes_for(n_values: int, options: Mapping[str, Any]) -> tuple[int, ...]:
    """The window sizes a detection with ``options`` runs on ``n_values`` values.

    The native method runs the sizes asked for; the confirm method chooses
    its own from the length, and none when the series is too short for the
    smallest (which is then the size reported as unable to analyse it).
    """
    if options["method"] == "native":
        return tuple(options["window_sizes"])
    from quarn import _engine

    sizes = tuple(_engine.method_window_sizes(n_values))
    return sizes or (_SMALLEST_METHOD_WINDOW,)

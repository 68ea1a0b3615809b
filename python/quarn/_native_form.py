"""Thresholds by runs and per position: the engine hands a window's
thresholds over by runs of equal values where that is smaller, and the
native form (``WindowResult.thresholds``, ``to_dict``) has one per position.
"""

from __future__ import annotations

from typing import Any

import numpy as np


def window_thresholds(window: dict[str, Any]) -> Any:
    """The per-position thresholds of an engine window dict, expanded from
    their runs when the engine stored them by runs."""
    if window["thresholds"] is not None:
        return window["thresholds"]
    starts, values = window["threshold_runs"]
    return expand_runs(starts, values, len(window["statistics"]))


def expand_runs(starts: Any, values: Any, positions: int) -> Any:
    """Thresholds by runs as one float64 value per position.

    Args:
        starts: The first position of every run, ascending from 0.
        values: The threshold of every run.
        positions: The number of positions.

    Returns:
        A new float64 array of ``positions`` values.
    """
    lengths = np.diff(np.append(np.asarray(starts, dtype=np.int64), positions))
    return np.repeat(np.asarray(values, dtype=np.float64), lengths)


def compact_thresholds(thresholds: Any) -> tuple[Any, Any]:
    """Thresholds in the form the engine hands them over: by runs of equal
    bits where there are at most half as many runs as positions.

    Args:
        thresholds: One float64 threshold per position.

    Returns:
        ``(thresholds, None)``, or ``(None, (starts, values))`` with the first
        position (int64) and the threshold (float64) of every run.
    """
    if len(thresholds) == 0:
        return thresholds, None
    bits = thresholds.view(np.uint64)
    starts = np.flatnonzero(np.concatenate(([True], bits[1:] != bits[:-1])))
    if len(starts) > len(thresholds) // 2:
        return thresholds, None
    return None, (starts.astype(np.int64), thresholds[starts])

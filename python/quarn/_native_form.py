"""The engine's compact results in the shape the native module returns.

``quarn._engine`` returns numpy arrays and leaves out what the window size
implies; :func:`detection_as_native` and :func:`window_as_native` build the
nested dictionaries of ``quarn_detector`` and ``quarn_single_window`` from
them, with the same keys, key order, types and float bits.
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


def window_as_native(window: dict[str, Any]) -> dict[str, list]:
    """Expands one window result of the engine.

    Args:
        window: A window dict of ``quarn._engine`` (``window_size``,
            ``statistics``, ``thresholds`` or ``threshold_runs``,
            ``change_points``, ``localized_regions``).

    Returns:
        The dictionary ``quarn_single_window`` returns for that window size:
        lists of ``int`` and ``float``, the regions as 2-tuples, and the
        starts ``v * window_size`` of every position.
    """
    size = window["window_size"]
    count = len(window["statistics"])
    return {
        "change_points": window["change_points"].tolist(),
        "starts": list(range(0, count * size, size)),
        "statistics": window["statistics"].tolist(),
        "tapered_block_bootstrap_threshold": window_thresholds(window).tolist(),
        "localized_regions": [tuple(region) for region in window["localized_regions"].tolist()],
    }


def detection_as_native(detection: dict[str, Any]) -> dict[str, dict]:
    """Expands a detection of the engine.

    Args:
        detection: The dict ``quarn._engine.detect`` returns.

    Returns:
        The dictionary ``quarn_detector`` returns for the same series and
        options: ``cp_dict``, ``window_results`` and ``out``.
    """
    windows = {window["window_size"]: window_as_native(window) for window in detection["windows"]}
    consensus = detection["consensus"]
    leaders = consensus["leaders"].tolist()
    return {
        "cp_dict": {size: list(window["change_points"]) for size, window in windows.items()},
        "window_results": windows,
        "out": {
            "leaders_segment_votes": dict(zip(leaders, consensus["segment_votes"].tolist())),
            "leaders_scores": dict(zip(leaders, consensus["scores"].tolist())),
            "leaders_probs": dict(zip(leaders, consensus["probabilities"].tolist())),
            "cdf": list(zip(leaders, consensus["cdf"].tolist())),
        },
    }

"""The engine's compact results in the shape the native module returns.

``quarn._engine`` returns numpy arrays and leaves out what the window size
implies; :func:`detection_as_native` and :func:`window_as_native` build the
nested dictionaries of ``quarn_detector`` and ``quarn_single_window`` from
them, with the same keys, key order, types and float bits.
"""

from __future__ import annotations

from typing import Any


def window_as_native(window: dict[str, Any]) -> dict[str, list]:
    """Expands one window result of the engine.

    Args:
        window: A window dict of ``quarn._engine`` (``window_size``,
            ``statistics``, ``thresholds``, ``change_points``,
            ``localized_regions``).

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
        "tapered_block_bootstrap_threshold": window["thresholds"].tolist(),
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

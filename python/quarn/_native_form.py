"""Thresholds by runs and per position: the engine hands a window's
thresholds over by runs of equal values where that is smaller, and the
native form (``WindowResult.thresholds``, ``to_dict``) has one per position.
Also the change table of a native consensus, and how JSON holds the
non-finite floats.
"""

from __future__ import annotations

import math
from typing import Any

# numpy is imported where it is used: quarn.serialize imports this module,
# and importing quarn does not import numpy.


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
    import numpy as np

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
    import numpy as np

    if len(thresholds) == 0:
        return thresholds, None
    bits = thresholds.view(np.uint64)
    starts = np.flatnonzero(np.concatenate(([True], bits[1:] != bits[:-1])))
    if len(starts) > len(thresholds) // 2:
        return thresholds, None
    return None, (starts.astype(np.int64), thresholds[starts])


def native_table(
    positions: Any, votes: Any, scores: Any, probabilities: Any, cdf: Any
) -> dict[str, Any]:
    """The change table of a native consensus, as
    :func:`quarn.result.build_result` reads it: its leaders, votes, scores,
    probabilities and cdf, and no test (no kind, p-value, direction or
    effect)."""
    import numpy as np

    count = len(positions)
    return {
        "position": np.asarray(positions, dtype=np.int64),
        "kind": (None,) * count,
        "p_value": np.full(count, np.nan),
        "votes": np.asarray(votes, dtype=np.int64),
        "score": np.asarray(scores, dtype=np.float64),
        "probability": np.asarray(probabilities, dtype=np.float64),
        "cdf": np.asarray(cdf, dtype=np.float64),
        "direction": (None,) * count,
        "effect": np.full(count, np.nan),
    }


#: The JSON strings of the infinities, and their values.
INFINITIES = {"Infinity": math.inf, "-Infinity": -math.inf}


def json_float(value: Any) -> Any:
    """A value as standard JSON holds it: NaN as None, an infinity as its
    string in :data:`INFINITIES`, anything else as it is."""
    if isinstance(value, float) and not math.isfinite(value):
        if math.isnan(value):
            return None
        return "Infinity" if value > 0 else "-Infinity"
    return value

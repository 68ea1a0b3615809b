"""JSON form of the detector's result dictionary, and the way back.

JSON has no integer keys, tuples or non-finite numbers, so the JSON form
differs from the native dictionary in three documented ways:

- integer keys (window sizes, change points) become decimal strings;
- tuples (localized regions, ``cdf`` pairs) become two-element lists;
- NaN becomes ``null``, and +/- infinity the strings ``"Infinity"`` and
  ``"-Infinity"``.

:func:`from_jsonable` undoes all three, so ``from_jsonable(json.loads(
json.dumps(to_jsonable(result))))`` equals the native result.
"""

from __future__ import annotations

import math
from typing import Any

_FLOAT_LISTS = ("statistics", "tapered_block_bootstrap_threshold")


def to_jsonable(result: dict[str, Any]) -> dict[str, Any]:
    """Converts a ``quarn_detector`` result into plain JSON data.

    Args:
        result: The dictionary returned by ``quarn_detector``.

    Returns:
        A structure of dicts with string keys, lists, ints, floats, strings
        and None that ``json.dumps`` writes as standard JSON.
    """
    return _plain(result)


def from_jsonable(data: dict[str, Any]) -> dict[str, Any]:
    """Rebuilds a ``quarn_detector`` result from its JSON form.

    Args:
        data: What ``json.loads`` read from the output of :func:`to_jsonable`.

    Returns:
        A dictionary equal to the native result: integer keys, tuples and
        non-finite floats restored, keys in the native order.

    Raises:
        KeyError: A required key is missing.
        ValueError: A value cannot be read back.
    """
    window_results = {}
    for size, found in data["window_results"].items():
        window_results[int(size)] = {
            "change_points": [int(c) for c in found["change_points"]],
            "starts": [int(s) for s in found["starts"]],
            **{key: [_float(v) for v in found[key]] for key in _FLOAT_LISTS},
            "localized_regions": [(int(a), int(b)) for a, b in found["localized_regions"]],
        }
    out = data["out"]
    return {
        "cp_dict": {
            int(size): [int(c) for c in points] for size, points in data["cp_dict"].items()
        },
        "window_results": window_results,
        "out": {
            "leaders_segment_votes": {
                int(k): int(v) for k, v in out["leaders_segment_votes"].items()
            },
            "leaders_scores": {int(k): _float(v) for k, v in out["leaders_scores"].items()},
            "leaders_probs": {int(k): _float(v) for k, v in out["leaders_probs"].items()},
            "cdf": [(int(k), _float(v)) for k, v in out["cdf"]],
        },
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


def _plain(value: Any) -> Any:
    if isinstance(value, dict):
        return {str(key): _plain(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(item) for item in value]
    return json_float(value)


def _float(value: Any) -> float:
    if value is None:
        return math.nan
    if isinstance(value, str) and value in INFINITIES:
        return INFINITIES[value]
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return float(value)
    raise ValueError(f"expected a number, null, 'Infinity' or '-Infinity', got {value!r}")

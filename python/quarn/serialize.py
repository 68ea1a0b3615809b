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
from typing import Any, cast

from quarn._native_form import INFINITIES, json_float, native_table

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
    # The figures are read back into a result, whose to_dict() writes the
    # native layout: the one place outside the native module that does.
    import numpy as np

    from quarn.result import build_result

    try:
        detection = _detection(data)
    except OverflowError:
        raise ValueError("an integer of the JSON form is out of range") from None
    return cast(dict[str, Any], build_result(detection, np.empty(0), None, {}).to_dict())


def _detection(data: dict[str, Any]) -> dict[str, Any]:
    """The engine's compact form of a native result in its JSON form, its
    parts checked against each other."""
    import numpy as np

    windows: list[dict[str, Any]] = []
    for size, found in data["window_results"].items():
        windows.append(
            {
                "window_size": int(size),
                "statistics": np.array([_float(v) for v in found["statistics"]], dtype=np.float64),
                "thresholds": np.array(
                    [_float(v) for v in found["tapered_block_bootstrap_threshold"]],
                    dtype=np.float64,
                ),
                "change_points": np.array(
                    [int(c) for c in found["change_points"]], dtype=np.int64
                ),
                "localized_regions": np.array(
                    [(int(a), int(b)) for a, b in found["localized_regions"]], dtype=np.int64
                ).reshape(-1, 2),
                "starts": np.array([int(s) for s in found["starts"]], dtype=np.int64),
            }
        )
        listed = [int(c) for c in data["cp_dict"][size]]
        if listed != windows[-1]["change_points"].tolist():
            raise ValueError(f"cp_dict {size} differs from the window's change points")
    if sorted(int(size) for size in data["cp_dict"]) != sorted(w["window_size"] for w in windows):
        raise ValueError("cp_dict and window_results name different window sizes")
    out = data["out"]
    leaders = [int(k) for k in out["leaders_segment_votes"]]
    for name in ("leaders_scores", "leaders_probs"):
        if [int(k) for k in out[name]] != leaders:
            raise ValueError(f"out {name} and leaders_segment_votes name different leaders")
    pairs = [(int(k), _float(v)) for k, v in out["cdf"]]
    if [k for k, _ in pairs] != leaders:
        raise ValueError("out cdf and leaders_segment_votes name different leaders")
    table = native_table(
        leaders,
        [int(v) for v in out["leaders_segment_votes"].values()],
        [_float(v) for v in out["leaders_scores"].values()],
        [_float(v) for v in out["leaders_probs"].values()],
        [v for _, v in pairs],
    )
    return {"n": 0, "windows": windows, "table": table}


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

"""``DetectionResult.to_json`` and ``DetectionResult.from_json``.

The document::

    {"format": "quarn.DetectionResult", "version": 1,
     "n_samples": 240, "options": {...}, "values": [...],
     "index": null | {"kind": ..., "name": ..., ...},
     "result": <the native dictionary in the JSON form of quarn.serialize>,
     "changes": {"kinds": [...], "p_values": [...]}}

``changes`` is there for the confirm method only: the kind and p-value of
every change point, in the order of ``result``'s leaders.

Floats are written by ``repr`` (which reads back to the same bits); the
detector's NaN and infinite figures as ``quarn.serialize`` writes them. A
pandas index is written by kind, each lossless:

- ``range``: ``start``, ``stop``, ``step``;
- ``datetime`` / ``timedelta``: ``unit`` and ``values``, integer ticks of
  that unit since the epoch (``tz``: the time zone, or null);
- ``period``: ``freq`` and ``values``, the periods' ordinals;
- ``values``: ``dtype`` (integers, floats, booleans, strings) and
  ``values``.
"""

from __future__ import annotations

import json
import math
from typing import TYPE_CHECKING, Any

import numpy as np

from quarn.serialize import from_jsonable, to_jsonable

if TYPE_CHECKING:
    from quarn.result import DetectionResult

FORMAT = "quarn.DetectionResult"
VERSION = 1


def result_to_json(result: DetectionResult, *, indent: int | None = None) -> str:
    """Writes a result as a JSON document (see the module's description)."""
    document = {
        "format": FORMAT,
        "version": VERSION,
        "n_samples": result.n_samples,
        "options": {
            name: list(value) if isinstance(value, tuple) else value
            for name, value in result.options.items()
        },
        "values": result.values.tolist(),
        "index": _index_to_json(result.index),
        "result": to_jsonable(dict(result.to_dict())),
    }
    if result.method == "confirm":
        document["changes"] = {
            "kinds": [p.kind for p in result.change_points],
            "p_values": [p.p_value for p in result.change_points],
            "seasonal_period": result.seasonal_period,
        }
    return json.dumps(document, indent=indent, allow_nan=False)


def result_from_json(text: str | bytes) -> DetectionResult:
    """Reads a document written by :func:`result_to_json`.

    Raises:
        ValueError: The text is not such a document, or is damaged.
    """
    from quarn.options import check_options
    from quarn.result import build_result

    try:
        document = json.loads(text)
    except (json.JSONDecodeError, UnicodeDecodeError) as exc:
        raise ValueError(f"not a JSON document: {exc}") from None
    if not isinstance(document, dict) or document.get("format") != FORMAT:
        raise ValueError(f'not a {FORMAT} document (no "format": "{FORMAT}")')
    if document.get("version") != VERSION:
        raise ValueError(f"unsupported {FORMAT} version {document.get('version')!r}")
    try:
        native = from_jsonable(document["result"])
        values = np.array(document["values"], dtype=np.float64)
        n_samples = document["n_samples"]
        options = check_options(document["options"])
        index = _index_from_json(document["index"])
        detection = _compact_from_native(native, n_samples)
        changes = document.get("changes")
        if changes is not None:
            consensus = detection["consensus"]
            consensus["kinds"] = tuple(str(kind) for kind in changes["kinds"])
            consensus["p_values"] = np.array(changes["p_values"], dtype=np.float64)
            period = changes.get("seasonal_period")
            detection["seasonal_period"] = None if period is None else float(period)
            if not len(consensus["kinds"]) == len(consensus["p_values"]) == len(
                consensus["leaders"]
            ):
                raise ValueError("the changes do not match the change points")
    except (KeyError, TypeError, ValueError, IndexError) as exc:
        raise ValueError(f"damaged {FORMAT} document: {type(exc).__name__}: {exc}") from None
    if len(values) != n_samples or (index is not None and len(index) != n_samples):
        raise ValueError(
            f"damaged {FORMAT} document: the values or the index do not hold "
            f"n_samples = {n_samples} entries"
        )
    return build_result(detection, values, index, options)


def _compact_from_native(native: dict[str, Any], n_samples: int) -> dict[str, Any]:
    """The engine's compact form of a native result dictionary."""
    from quarn._native_form import compact_thresholds

    windows = []
    for size, found in native["window_results"].items():
        statistics = np.array(found["statistics"], dtype=np.float64)
        thresholds, runs = compact_thresholds(
            np.array(found["tapered_block_bootstrap_threshold"], dtype=np.float64)
        )
        windows.append(
            {
                "window_size": int(size),
                "statistics": statistics,
                "thresholds": thresholds,
                "threshold_runs": runs,
                "change_points": np.array(found["change_points"], dtype=np.int64),
                "localized_regions": np.array(found["localized_regions"], dtype=np.int64).reshape(
                    -1, 2
                ),
            }
        )
    for window in windows:
        _freeze(window)
    out = native["out"]
    leaders = sorted(out["leaders_segment_votes"])
    consensus = {
        "leaders": np.array(leaders, dtype=np.int64),
        "segment_votes": np.array(
            [out["leaders_segment_votes"][p] for p in leaders], dtype=np.int64
        ),
        "scores": np.array([out["leaders_scores"][p] for p in leaders], dtype=np.float64),
        "probabilities": np.array([out["leaders_probs"][p] for p in leaders], dtype=np.float64),
        "cdf": np.array([total for _, total in out["cdf"]], dtype=np.float64),
    }
    _freeze(consensus)
    return {"n": n_samples, "windows": tuple(windows), "consensus": consensus}


def _freeze(arrays: dict[str, Any]) -> None:
    for value in arrays.values():
        if isinstance(value, np.ndarray):
            value.flags.writeable = False
        elif isinstance(value, tuple):
            _freeze(dict(enumerate(value)))


def _index_to_json(index: Any) -> dict[str, Any] | None:
    if index is None:
        return None
    import pandas as pd

    name = index.name
    if not (name is None or isinstance(name, (str, int, float)) and not isinstance(name, bool)):
        raise ValueError(
            f"to_json cannot write an index named {name!r}: names must be text or numbers"
        )
    kind = type(index).__name__
    if isinstance(index, pd.RangeIndex):
        return {
            "kind": "range",
            "name": name,
            "start": index.start,
            "stop": index.stop,
            "step": index.step,
        }
    if isinstance(index, pd.DatetimeIndex):
        tz = None if index.tz is None else str(index.tz)
        return {
            "kind": "datetime",
            "name": name,
            "unit": index.unit,
            "tz": tz,
            "values": index.asi8.tolist(),
        }
    if isinstance(index, pd.TimedeltaIndex):
        return {
            "kind": "timedelta",
            "name": name,
            "unit": index.unit,
            "values": index.asi8.tolist(),
        }
    if isinstance(index, pd.PeriodIndex):
        return {
            "kind": "period",
            "name": name,
            "freq": index.freqstr,
            "values": index.asi8.tolist(),
        }
    if not isinstance(index, pd.MultiIndex) and type(index) is pd.Index:
        dtype = index.dtype
        if dtype.kind in "biuf":
            return {
                "kind": "values",
                "name": name,
                "dtype": str(dtype),
                "values": [_plain_number(v) for v in index.tolist()],
            }
        values = index.tolist()
        if all(isinstance(v, str) for v in values):
            return {"kind": "values", "name": name, "dtype": str(dtype), "values": values}
        kind = f"Index of {dtype} holding {sorted({type(v).__name__ for v in values})}"
    raise ValueError(
        f"to_json cannot write a pandas {kind} without loss; write a result whose series "
        "has a range, integer, float, text, date, time-difference or period index"
    )


def _index_from_json(data: dict[str, Any] | None) -> Any:
    if data is None:
        return None
    import pandas as pd

    kind, name = data["kind"], data["name"]
    if kind == "range":
        return pd.RangeIndex(data["start"], data["stop"], data["step"], name=name)
    if kind in ("datetime", "timedelta"):
        letter = "M" if kind == "datetime" else "m"
        ticks = np.array(data["values"], dtype=np.int64).view(f"{letter}8[{data['unit']}]")
        if kind == "timedelta":
            return pd.TimedeltaIndex(ticks, name=name)
        index = pd.DatetimeIndex(ticks, name=name)
        return index if data["tz"] is None else index.tz_localize("UTC").tz_convert(data["tz"])
    if kind == "period":
        return pd.PeriodIndex.from_ordinals(data["values"], freq=data["freq"], name=name)
    if kind == "values":
        values = data["values"]
        if data["dtype"].startswith("float"):
            values = [_float(v) for v in values]
        return pd.Index(values, dtype=data["dtype"], name=name)
    raise ValueError(f"unknown index kind {kind!r}")


def _plain_number(value: Any) -> Any:
    if isinstance(value, float) and not math.isfinite(value):
        return None if math.isnan(value) else ("Infinity" if value > 0 else "-Infinity")
    return value


def _float(value: Any) -> float:
    if value is None:
        return math.nan
    if value in ("Infinity", "-Infinity"):
        return math.inf if value == "Infinity" else -math.inf
    return float(value)

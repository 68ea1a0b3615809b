"""Writing a result as a JSON document (see :mod:`quarn._json`)."""

from __future__ import annotations

import json
import math
from typing import TYPE_CHECKING, Any

from quarn._frames import POINT_COLUMNS
from quarn._native_form import json_float

if TYPE_CHECKING:
    from quarn.result import DetectionResult, WindowResult

FORMAT = "quarn.DetectionResult"
VERSION = 2

#: The change-point table's columns in a document, cdf aside.
TABLE_COLUMNS = tuple(column.name for column in POINT_COLUMNS if column.name != "label")


def result_to_json(result: DetectionResult, *, indent: int | None = None) -> str:
    """Writes a result as a JSON document (see the module's description)."""
    points = result.change_points
    table = {name: [_cell(point, name) for point in points] for name in TABLE_COLUMNS}
    table["cdf"] = [json_float(value) for value in result._cdf.tolist()]
    document = {
        "format": FORMAT,
        "version": VERSION,
        "n_samples": result.n_samples,
        "n_missing": result.n_missing,
        "options": {
            name: list(value) if isinstance(value, tuple) else value
            for name, value in result.options.items()
        },
        # Missing values are null (JSON has no NaN).
        "values": _values_to_json(result.values, result.n_missing),
        "index": _index_to_json(result.index),
        "seasonal_period": result.seasonal_period,
        "change_points": table,
        "windows": [_window_to_json(window) for window in result.window_results.values()],
        "segments": {
            "starts": [s.start for s in result.segments],
            "stops": [s.stop for s in result.segments],
            "counts": [s.count for s in result.segments],
            "levels": [json_float(s.level) for s in result.segments],
            "spreads": [json_float(s.spread) for s in result.segments],
            "slopes": [None if s.slope is None else json_float(s.slope) for s in result.segments],
        },
    }
    return json.dumps(document, indent=indent, allow_nan=False)


def _cell(point: Any, name: str) -> Any:
    """A change point's figure of a table column, as JSON holds it."""
    if name in ("interval_low", "interval_high"):
        return None if point.interval is None else point.interval[name == "interval_high"]
    return json_float(getattr(point, name))


def _floats(values: Any) -> list[Any]:
    return [json_float(value) for value in values.tolist()]


def _window_to_json(window: WindowResult) -> dict[str, Any]:
    runs = window._threshold_runs
    found: dict[str, Any] = {
        "window_size": window.window_size,
        "statistics": _floats(window.statistics),
        "thresholds": None if window._thresholds is None else _floats(window._thresholds),
        "threshold_runs": (
            None if runs is None else {"starts": runs[0].tolist(), "values": _floats(runs[1])}
        ),
        "change_points": window.change_points.tolist(),
        "localized_regions": window.localized_regions.tolist(),
    }
    if window._starts is not None:
        found["starts"] = window._starts.tolist()
    return found


def _values_to_json(values: Any, n_missing: int) -> list[Any]:
    items = values.tolist()
    if n_missing:
        items = [None if math.isnan(v) else v for v in items]
    return items


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
    if isinstance(index, (pd.DatetimeIndex, pd.TimedeltaIndex)):
        times = isinstance(index, pd.DatetimeIndex)
        found = {"kind": "datetime" if times else "timedelta", "name": name, "unit": index.unit}
        if times:
            found["tz"] = None if index.tz is None else str(index.tz)
        found["values"] = index.asi8.tolist()
        return found
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
                "values": [json_float(v) for v in index.tolist()],
            }
        values = index.tolist()
        if all(isinstance(v, str) for v in values):
            return {"kind": "values", "name": name, "dtype": str(dtype), "values": values}
        kind = f"Index of {dtype} holding {sorted({type(v).__name__ for v in values})}"
    raise ValueError(
        f"to_json cannot write a pandas {kind} without loss; write a result whose series "
        "has a range, integer, float, text, date, time-difference or period index"
    )

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

from quarn.serialize import to_jsonable

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

    Only a document that describes a result :func:`quarn.detect` could have
    produced is read (see ``_result_reading``); a document without a
    ``method`` option, written before the confirm method existed, is a
    native result.

    Raises:
        ValueError: The text is not such a document, or is damaged; the
            message names the part at fault.
    """
    from quarn._result_reading import DocumentError, read_document

    document = read_document(text, FORMAT, VERSION)
    try:
        return _read_result(document)
    except DocumentError as exc:
        raise ValueError(f"damaged {FORMAT} document: {exc}") from None


def _read_result(document: dict[str, Any]) -> DetectionResult:
    from quarn._result_reading import (
        DocumentError,
        field,
        integer,
        mapping,
        numbers,
        read_index,
        sequence,
    )
    from quarn.options import check_options
    from quarn.result import build_result

    n_samples = integer(field(document, "n_samples", "the document"), "n_samples", 3, 2**62)
    items = sequence(field(document, "values", "the document"), "values")
    if len(items) != n_samples:
        raise DocumentError(
            f"the values must hold n_samples = {n_samples} entries, got {len(items)}"
        )
    values = numbers(items, "values")
    given = dict(mapping(field(document, "options", "the document"), "options"))
    given.setdefault("method", "native")  # written before the confirm method existed
    try:
        options = check_options(given)
    except (TypeError, ValueError) as exc:
        raise DocumentError(f"options: {exc}") from None
    index = read_index(field(document, "index", "the document"), n_samples)
    detection = _compact_from_native(field(document, "result", "the document"), n_samples, options)
    changes = document.get("changes")
    consensus = detection["consensus"]
    if options["method"] == "confirm":
        kinds, p_values = _read_changes(changes, len(consensus["leaders"]))
        consensus["kinds"] = kinds
        consensus["p_values"] = p_values
        detection["seasonal_period"] = _read_period(changes, n_samples)
        _freeze(consensus)
    elif changes is not None:
        raise DocumentError("changes belong to results of the confirm method only")
    return build_result(detection, values, index, options)


def _read_changes(changes: Any, count: int) -> tuple[tuple[str, ...], Any]:
    from quarn._result_reading import KINDS, DocumentError, field, number, sequence

    if changes is None:
        raise DocumentError("a result of the confirm method needs its changes")
    kinds = sequence(field(changes, "kinds", "changes"), "changes kinds", count)
    for i, kind in enumerate(kinds):
        if kind not in KINDS:
            raise DocumentError(
                f"changes kinds[{i}] must be one of {', '.join(sorted(KINDS))}, got {kind!r}"
            )
    p_values = sequence(field(changes, "p_values", "changes"), "changes p_values", count)
    checked = []
    for i, item in enumerate(p_values):
        value = number(item, f"changes p_values[{i}]")
        if not 0.0 <= value <= 1.0:
            raise DocumentError(f"changes p_values[{i}] must lie in [0, 1], got {value!r}")
        checked.append(value)
    return tuple(str(kind) for kind in kinds), np.array(checked, dtype=np.float64)


def _read_period(changes: Any, n_samples: int) -> float | None:
    """The seasonal period of a confirm result's changes: None (also in
    documents written before it was recorded), or a period of at least 2
    values that fits into the series."""
    from quarn._result_reading import DocumentError, number

    period = changes.get("seasonal_period")
    if period is None:
        return None
    value = number(period, "changes seasonal_period")
    if not 2.0 <= value <= n_samples:
        raise DocumentError(
            f"changes seasonal_period must lie in [2, n_samples = {n_samples}], got {value!r}"
        )
    return value


def _window_sizes(n_samples: int, options: dict[str, Any], found: list[int]) -> list[int]:
    """The window sizes a result of these options holds, ascending."""
    if options["method"] == "native":
        return sorted(set(options["window_sizes"]))
    from quarn import _engine

    sizes = sorted(_engine.method_window_sizes(n_samples))
    # A series too short for the candidate detector keeps no windows.
    return found if not found else sizes


def _compact_from_native(native: Any, n_samples: int, options: dict[str, Any]) -> dict[str, Any]:
    """The engine's compact form of a native result dictionary (in the JSON
    form of quarn.serialize), every part checked against the series length
    and the options."""
    from quarn._native_form import compact_thresholds
    from quarn._result_reading import (
        DocumentError,
        field,
        integer,
        key_integer,
        mapping,
        number,
        numbers,
        sequence,
    )

    last = n_samples - 1
    windows_data = mapping(field(native, "window_results", "result"), "result window_results")
    points_data = mapping(field(native, "cp_dict", "result"), "result cp_dict")
    out = mapping(field(native, "out", "result"), "result out")
    sizes = [key_integer(key, "window_results", 1, 2**63 - 1) for key in windows_data]
    expected = _window_sizes(n_samples, options, sizes)
    if sizes != expected:
        raise DocumentError(
            f"the window sizes {sizes} are not those of the options ({expected})"
        )
    if sorted(key_integer(key, "cp_dict", 1, 2**63 - 1) for key in points_data) != sizes:
        raise DocumentError("cp_dict and window_results name different window sizes")
    windows = []
    for key, size in zip(windows_data, sizes):
        where = f"window {size}"
        found = mapping(windows_data[key], where)
        positions = max(n_samples // size - 1, 0)
        statistics = numbers(
            field(found, "statistics", where), f"{where} statistics", positions,
            nan=True, infinite=True,
        )
        if np.any(statistics < 0):
            raise DocumentError(f"{where} statistics must not be negative")
        all_thresholds = numbers(
            field(found, "tapered_block_bootstrap_threshold", where),
            f"{where} thresholds", positions, nan=True, infinite=True,
        )
        starts = sequence(field(found, "starts", where), f"{where} starts", positions)
        if any(type(s) is not int or s != v * size for v, s in enumerate(starts)):
            raise DocumentError(f"{where} starts must be 0, {size}, {2 * size}, ...")
        change_points = [
            integer(c, f"{where} change_points[{i}]", 1, last)
            for i, c in enumerate(sequence(field(found, "change_points", where), where))
        ]
        listed = sequence(points_data[str(size)], f"cp_dict {size}")
        if listed != change_points:
            raise DocumentError(f"cp_dict {size} differs from the window's change points")
        regions = []
        for i, pair in enumerate(sequence(field(found, "localized_regions", where), where)):
            start, end = (
                integer(v, f"{where} localized_regions[{i}]", 0, n_samples)
                for v in sequence(pair, f"{where} localized_regions[{i}]", 2)
            )
            if start >= end:
                raise DocumentError(f"{where} localized_regions[{i}] is empty or reversed")
            regions.append((start, end))
        thresholds, runs = compact_thresholds(all_thresholds)
        windows.append(
            {
                "window_size": size,
                "statistics": statistics,
                "thresholds": thresholds,
                "threshold_runs": runs,
                "change_points": np.array(change_points, dtype=np.int64),
                "localized_regions": np.array(regions, dtype=np.int64).reshape(-1, 2),
            }
        )
    for window in windows:
        _freeze(window)

    votes_data = mapping(field(out, "leaders_segment_votes", "out"), "out leaders_segment_votes")
    scores_data = mapping(field(out, "leaders_scores", "out"), "out leaders_scores")
    probabilities_data = mapping(field(out, "leaders_probs", "out"), "out leaders_probs")
    leaders = sorted(key_integer(key, "leaders", 1, last) for key in votes_data)
    for name, data in (("leaders_scores", scores_data), ("leaders_probs", probabilities_data)):
        if sorted(key_integer(key, name, 1, last) for key in data) != leaders:
            raise DocumentError(f"out {name} and leaders_segment_votes name different leaders")
    votes, scores, probabilities = [], [], []
    for p in leaders:
        votes.append(integer(votes_data[str(p)], f"votes of {p}", 1, 2**63 - 1))
        score = number(scores_data[str(p)], f"score of {p}")
        probability = number(probabilities_data[str(p)], f"probability of {p}")
        if score < 0.0 or not 0.0 <= probability <= 1.0:
            raise DocumentError(f"the score or probability of {p} is out of range")
        scores.append(score)
        probabilities.append(probability)
    cdf = []
    pairs = sequence(field(out, "cdf", "out"), "out cdf", len(leaders))
    for i, (p, pair) in enumerate(zip(leaders, pairs)):
        position, total = sequence(pair, f"out cdf[{i}]", 2)
        if integer(position, f"out cdf[{i}] position") != p:
            raise DocumentError(f"out cdf[{i}] is not at leader {p}")
        cdf.append(number(total, f"out cdf[{i}]"))
    consensus = {
        "leaders": np.array(leaders, dtype=np.int64),
        "segment_votes": np.array(votes, dtype=np.int64),
        "scores": np.array(scores, dtype=np.float64),
        "probabilities": np.array(probabilities, dtype=np.float64),
        "cdf": np.array(cdf, dtype=np.float64),
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


def _plain_number(value: Any) -> Any:
    if isinstance(value, float) and not math.isfinite(value):
        return None if math.isnan(value) else ("Infinity" if value > 0 else "-Infinity")
    return value

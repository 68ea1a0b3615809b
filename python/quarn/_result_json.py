"""``DetectionResult.to_json`` and ``DetectionResult.from_json``.

The document (version 2) holds the result's own table and arrays::

    {"format": "quarn.DetectionResult", "version": 2,
     "n_samples": 240, "n_missing": 0, "options": {...}, "values": [...],
     "index": null | {"kind": ..., "name": ..., ...},
     "seasonal_period": null | 12.0,
     "change_points": {"position": [...], "kind": [...], "p_value": [...],
                       "votes": [...], "score": [...], "probability": [...],
                       "interval_low": [...], "interval_high": [...],
                       "direction": [...], "effect": [...], "cdf": [...]},
     "windows": [{"window_size": 10, "statistics": [...],
                  "thresholds": [...] | null,
                  "threshold_runs": null | {"starts": [...], "values": [...]},
                  "change_points": [...], "localized_regions": [[start, end], ...],
                  "starts": [...]}, ...],
     "segments": {"starts": [...], "stops": [...], "counts": [...],
                  "levels": [...], "spreads": [...], "slopes": [...]}}

``change_points`` has one list per column of the change-point table (the
columns of ``quarn._frames.POINT_COLUMNS`` but the label, which the index
gives, and the cumulative probability ``cdf``), null where a figure does not
apply (the native method's kind, p-value, interval, direction and effect).
A window holds its thresholds per position or, where the result keeps them
so, by runs (positions ``starts[i]`` up to the next start have ``values[i]``);
``starts`` only where missing values were left out (otherwise position v
starts at ``v * window_size``). Missing values are null in ``values``.

Version 1 held the native dictionary (``result``, in the JSON form of
:mod:`quarn.serialize`) with a side block ``changes`` for the confirm method
(kinds, p-values, the seasonal period and, later, intervals, directions and
effects); documents without a ``method`` option were written before the
confirm method existed and are native results. Every version is read;
documents of version 1 written before intervals, segments or missing values
existed are read all the same (no intervals; segments computed from the
values; nothing missing).

Floats are written by ``repr`` (which reads back to the same bits); NaN and
infinite figures as ``quarn.serialize`` writes them. A pandas index is
written by kind, each lossless:

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
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import numpy as np

from quarn._frames import POINT_COLUMNS
from quarn._native_form import INFINITIES, json_float

if TYPE_CHECKING:
    from quarn.result import DetectionResult, WindowResult

FORMAT = "quarn.DetectionResult"
VERSION = 2
#: The versions from_json reads.
VERSIONS = (1, 2)


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


def result_from_json(text: str | bytes) -> tuple[dict[str, Any], Any, Any, dict[str, Any]]:
    """Reads a document written by :func:`result_to_json`: the arguments of
    ``quarn.result.build_result`` (compact detection, values, index, options).

    Only a document that describes a result :func:`quarn.detect` could have
    produced is read (see the reading below); a document without a
    ``method`` option, written before the confirm method existed, is a
    native result.

    Raises:
        ValueError: The text is not such a document, or is damaged; the
            message names the part at fault.
    """

    document = read_document(text, FORMAT, VERSIONS)
    try:
        if document["version"] == 1:
            return _read_version_1(document)
        return _read_version_2(document)
    except DocumentError as exc:
        raise ValueError(f"damaged {FORMAT} document: {exc}") from None


def _read_common(
    document: dict[str, Any], version: int
) -> tuple[int, int, Any, dict[str, Any], Any]:
    """What every version holds alike: n_samples, n_missing, the values, the
    options and the index, checked."""
    from quarn.options import check_options

    n_samples = integer(field(document, "n_samples", "the document"), "n_samples", 3, 2**62)
    items = sequence(field(document, "values", "the document"), "values")
    if len(items) != n_samples:
        raise DocumentError(
            f"the values must hold n_samples = {n_samples} entries, got {len(items)}"
        )
    # Documents written before missing values were skipped have none.
    if version == 1:
        n_missing = integer(document.get("n_missing", 0), "n_missing", 0, n_samples - 3)
    else:
        n_missing = integer(field(document, "n_missing", "the document"), "n_missing", 0,
                            n_samples - 3)
    values = numbers(items, "values", nan=n_missing > 0)
    if int(np.count_nonzero(np.isnan(values))) != n_missing:
        raise DocumentError(f"the values must hold n_missing = {n_missing} nulls")
    given = dict(mapping(field(document, "options", "the document"), "options"))
    if version == 1:
        given.setdefault("method", "native")  # written before the confirm method existed
    elif "method" not in given:
        raise DocumentError("options has no 'method'")
    try:
        options = check_options(given)
    except (TypeError, ValueError) as exc:
        raise DocumentError(f"options: {exc}") from None
    index = read_index(field(document, "index", "the document"), n_samples)
    return n_samples, n_missing, values, options, index


def _read_version_1(
    document: dict[str, Any],
) -> tuple[dict[str, Any], Any, Any, dict[str, Any]]:
    n_samples, n_missing, values, options, index = _read_common(document, 1)
    detection = _compact_from_native(
        field(document, "result", "the document"), n_samples, options, n_missing
    )
    changes = document.get("changes")
    table = detection["table"]
    if options["method"] == "confirm":
        kinds, p_values = _read_changes(changes, len(table["position"]))
        table["kind"] = kinds
        table["p_value"] = p_values
        detection["seasonal_period"] = _read_period(changes, n_samples - n_missing)
        table.update(_read_reports(changes, table["position"], n_samples))
        _freeze(table)
    elif changes is not None:
        raise DocumentError("changes belong to results of the confirm method only")
    detection["n_missing"] = n_missing
    detection["segments"] = _read_segments(document.get("segments"), values, table["position"])
    return detection, values, index, options


#: The change-point table's columns in a document, cdf aside.
TABLE_COLUMNS = tuple(column.name for column in POINT_COLUMNS if column.name != "label")


def _read_version_2(
    document: dict[str, Any],
) -> tuple[dict[str, Any], Any, Any, dict[str, Any]]:
    n_samples, n_missing, values, options, index = _read_common(document, 2)
    confirm = options["method"] == "confirm"
    table = _read_table(field(document, "change_points", "the document"), n_samples, confirm)
    period = field(document, "seasonal_period", "the document")
    if period is not None and not confirm:
        raise DocumentError("seasonal_period belongs to results of the confirm method only")
    detection = {
        "n": n_samples,
        "windows": _read_windows(
            field(document, "windows", "the document"), n_samples, n_missing, options
        ),
        "table": table,
        "seasonal_period": _read_period(
            {"seasonal_period": period}, n_samples - n_missing
        ),
        "n_missing": n_missing,
        "segments": _read_segments(
            field(document, "segments", "the document"), values, table["position"]
        ),
    }
    return detection, values, index, options


def _read_table(data: Any, n_samples: int, confirm: bool) -> dict[str, Any]:
    """The change-point table of a version 2 document, checked: positions
    ascending inside the series, figures in range, and the test's columns
    filled for the confirm method and null for the native one."""
    where = "change_points"
    columns = mapping(data, where)
    position = sequence(field(columns, "position", where), f"{where} position")
    count = len(position)
    points = [integer(p, f"{where} position[{i}]", 1, n_samples - 1) for i, p in enumerate(position)]
    if any(b <= a for a, b in zip(points, points[1:])):
        raise DocumentError(f"{where} position must ascend")

    def column(name: str, **allowed: bool) -> Any:
        return numbers(field(columns, name, where), f"{where} {name}", count, **allowed)

    def entries(name: str) -> list[Any]:
        return sequence(field(columns, name, where), f"{where} {name}", count)

    table: dict[str, Any] = {
        "position": np.array(points, dtype=np.int64),
        "votes": np.array(
            [integer(v, f"{where} votes[{i}]", 0 if confirm else 1, 2**63 - 1)
             for i, v in enumerate(entries("votes"))],
            dtype=np.int64,
        ),
        "score": column("score"),
        "probability": column("probability"),
        "cdf": column("cdf"),
    }
    if np.any(table["score"] < 0) or np.any(~((table["probability"] >= 0) & (table["probability"] <= 1))):
        raise DocumentError(f"{where}: a score or probability is out of range")
    tested = ("kind", "p_value", "interval_low", "interval_high", "direction", "effect")
    if not confirm:
        for name in tested:
            if any(item is not None for item in entries(name)):
                raise DocumentError(f"{where} {name} belongs to results of the confirm method only")
        table.update({
            "kind": (None,) * count,
            "p_value": np.full(count, np.nan),
            "direction": (None,) * count,
            "effect": np.full(count, np.nan),
        })
        return _frozen(table)
    kinds, p_values = _read_changes(
        {"kinds": entries("kind"), "p_values": entries("p_value")}, count
    )
    table["kind"], table["p_value"] = kinds, p_values
    lows, highs = entries("interval_low"), entries("interval_high")
    directions = entries("direction")
    effects = entries("effect")
    if all(v is None for v in [*lows, *highs]):
        # A result read from a version 1 document without intervals.
        if any(v is not None for v in [*directions, *effects]):
            raise DocumentError(f"{where}: directions and effects need intervals")
        table.update({"direction": (None,) * count, "effect": np.full(count, np.nan)})
        return _frozen(table)
    reports = {
        "intervals": [[low, high] for low, high in zip(lows, highs)],
        "directions": directions,
        "effects": effects,
    }
    table.update(_read_reports(reports, table["position"], n_samples))
    return _frozen(table)


def _read_windows(
    data: Any, n_samples: int, n_missing: int, options: dict[str, Any]
) -> tuple[dict[str, Any], ...]:
    """The windows of a version 2 document, as the engine gives them."""
    items = sequence(data, "windows")
    sizes = [
        integer(field(item, "window_size", f"windows[{i}]"), f"windows[{i}] window_size", 1,
                2**63 - 1)
        for i, item in enumerate(items)
    ]
    present = n_samples - n_missing
    expected = _window_sizes(present, options, sizes)
    if sizes != expected:
        raise DocumentError(f"the window sizes {sizes} are not those of the options ({expected})")
    last = n_samples - 1
    windows = []
    for found, size in zip(items, sizes):
        where = f"window {size}"
        positions = max(present // size - 1, 0)
        window: dict[str, Any] = {
            "window_size": size,
            "statistics": _statistics(field(found, "statistics", where), where, positions),
            "thresholds": None,
            "threshold_runs": None,
            "change_points": _change_points(found, where, last),
            "localized_regions": _regions(found, where, n_samples),
        }
        thresholds = field(found, "thresholds", where)
        runs = field(found, "threshold_runs", where)
        if (thresholds is None) == (runs is None):
            raise DocumentError(f"{where} must hold either thresholds or threshold_runs")
        if thresholds is not None:
            window["thresholds"] = numbers(
                thresholds, f"{where} thresholds", positions, nan=True, infinite=True
            )
        else:
            window["threshold_runs"] = _runs(runs, f"{where} threshold_runs", positions)
        if n_missing:
            starts = sequence(field(found, "starts", where), f"{where} starts", positions)
            window["starts"] = np.array(_present_starts(starts, where, size, last), dtype=np.int64)
        elif "starts" in found:
            raise DocumentError(f"{where} has starts, but no value is missing")
        windows.append(_frozen(window))
    return tuple(windows)


def _runs(data: Any, where: str, positions: int) -> tuple[Any, Any]:
    """Thresholds by runs: first positions ascending from 0, one value each."""
    runs = mapping(data, where)
    starts = sequence(field(runs, "starts", where), f"{where} starts")
    if not starts or positions == 0:
        raise DocumentError(f"{where} must hold at least one run of the positions")
    checked = [integer(s, f"{where} starts[{i}]", 0, positions - 1) for i, s in enumerate(starts)]
    if checked[0] != 0 or any(b <= a for a, b in zip(checked, checked[1:])):
        raise DocumentError(f"{where} starts must ascend from 0")
    values = numbers(
        field(runs, "values", where), f"{where} values", len(checked), nan=True, infinite=True
    )
    return np.array(checked, dtype=np.int64), values


def _frozen(arrays: dict[str, Any]) -> dict[str, Any]:
    _freeze(arrays)
    return arrays


def _values_to_json(values: Any, n_missing: int) -> list[Any]:
    items = values.tolist()
    if n_missing:
        items = [None if math.isnan(v) else v for v in items]
    return items


def _read_reports(changes: Any, positions: Any, n_samples: int) -> dict[str, Any]:
    """The intervals, directions and effects of a confirm result's changes,
    as the engine gives them; none in documents written before them."""
    count = len(positions)
    intervals = changes.get("intervals")
    if intervals is None:
        return {}
    items = sequence(intervals, "changes intervals", count)
    lows, highs = [], []
    for i, item in enumerate(items):
        where = f"changes intervals[{i}]"
        pair = sequence(item, where, 2)
        low = integer(pair[0], where, 0, n_samples)
        high = integer(pair[1], where, 0, n_samples)
        if not low <= int(positions[i]) <= high:
            raise DocumentError(f"{where} must hold its change point {int(positions[i])}")
        lows.append(low)
        highs.append(high)
    directions = sequence(field(changes, "directions", "changes"), "changes directions", count)
    for i, direction in enumerate(directions):
        if direction not in (None, "up", "down"):
            raise DocumentError(
                f"changes directions[{i}] must be \"up\", \"down\" or null, got {_short(direction)}"
            )
    effects = numbers(
        field(changes, "effects", "changes"), "changes effects", count, nan=True, infinite=True
    )
    return {
        "interval_low": np.array(lows, dtype=np.int64),
        "interval_high": np.array(highs, dtype=np.int64),
        "direction": tuple(directions),
        "effect": effects,
    }


def _read_segments(data: Any, values: Any, positions: Any) -> dict[str, Any]:
    """The segments of a document, or, in one written before they were
    recorded, the segments computed from its values."""
    if data is None:
        from quarn import _engine

        return dict(_engine.describe_segments(values, [int(p) for p in positions]))
    count = len(positions) + 1
    where = "segments"
    segments = mapping(data, where)
    ends = [0, *(int(p) for p in positions), len(values)]
    arrays: dict[str, Any] = {}
    for key in ("starts", "stops", "counts"):
        items = sequence(field(segments, key, where), f"{where} {key}", count)
        arrays[key] = np.array(
            [integer(item, f"{where} {key}[{i}]", 0, len(values)) for i, item in enumerate(items)],
            dtype=np.int64,
        )
    if arrays["starts"].tolist() != ends[:-1] or arrays["stops"].tolist() != ends[1:]:
        raise DocumentError("segments must lie between the change points")
    for key in ("levels", "spreads", "slopes"):
        arrays[key] = numbers(
            field(segments, key, where), f"{where} {key}", count, nan=True, infinite=True
        )
    return arrays


def _read_changes(changes: Any, count: int) -> tuple[tuple[str, ...], Any]:

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


def _compact_from_native(
    native: Any, n_samples: int, options: dict[str, Any], n_missing: int = 0
) -> dict[str, Any]:
    """The engine's compact form of a native result dictionary (in the JSON
    form of quarn.serialize), every part checked against the series length,
    the number of missing values and the options."""
    from quarn._native_form import compact_thresholds, native_table

    last = n_samples - 1
    windows_data = mapping(field(native, "window_results", "result"), "result window_results")
    points_data = mapping(field(native, "cp_dict", "result"), "result cp_dict")
    out = mapping(field(native, "out", "result"), "result out")
    sizes = [key_integer(key, "window_results", 1, 2**63 - 1) for key in windows_data]
    present = n_samples - n_missing
    expected = _window_sizes(present, options, sizes)
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
        positions = max(present // size - 1, 0)
        statistics = _statistics(field(found, "statistics", where), where, positions)
        all_thresholds = numbers(
            field(found, "tapered_block_bootstrap_threshold", where),
            f"{where} thresholds", positions, nan=True, infinite=True,
        )
        starts = sequence(field(found, "starts", where), f"{where} starts", positions)
        if n_missing == 0:
            if any(type(s) is not int or s != v * size for v, s in enumerate(starts)):
                raise DocumentError(f"{where} starts must be 0, {size}, {2 * size}, ...")
        else:
            starts = _present_starts(starts, where, size, last)
        change_points = _change_points(found, where, last)
        listed = sequence(points_data[str(size)], f"cp_dict {size}")
        if listed != change_points.tolist():
            raise DocumentError(f"cp_dict {size} differs from the window's change points")
        regions = _regions(found, where, n_samples)
        thresholds, runs = compact_thresholds(all_thresholds)
        windows.append(
            {
                "window_size": size,
                "statistics": statistics,
                "thresholds": thresholds,
                "threshold_runs": runs,
                "change_points": change_points,
                "localized_regions": regions,
            }
        )
        if n_missing:
            windows[-1]["starts"] = np.array(starts, dtype=np.int64)
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
    table = native_table(leaders, votes, scores, probabilities, cdf)
    _freeze(table)
    return {"n": n_samples, "windows": tuple(windows), "table": table}


def _statistics(data: Any, where: str, positions: int) -> Any:
    statistics = numbers(data, f"{where} statistics", positions, nan=True, infinite=True)
    if np.any(statistics < 0):
        raise DocumentError(f"{where} statistics must not be negative")
    return statistics


def _present_starts(starts: list[Any], where: str, size: int, last: int) -> list[int]:
    """The first present value of every window: ascending by at least size."""
    checked = [integer(s, f"{where} starts[{v}]", 0, last) for v, s in enumerate(starts)]
    if any(b - a < size for a, b in zip(checked, checked[1:])):
        raise DocumentError(f"{where} starts must rise by at least {size}")
    return checked


def _change_points(found: Any, where: str, last: int) -> Any:
    points = sequence(field(found, "change_points", where), where)
    return np.array(
        [integer(c, f"{where} change_points[{i}]", 1, last) for i, c in enumerate(points)],
        dtype=np.int64,
    )


def _regions(found: Any, where: str, n_samples: int) -> Any:
    regions = []
    for i, pair in enumerate(sequence(field(found, "localized_regions", where), where)):
        start, end = (
            integer(v, f"{where} localized_regions[{i}]", 0, n_samples)
            for v in sequence(pair, f"{where} localized_regions[{i}]", 2)
        )
        if start >= end:
            raise DocumentError(f"{where} localized_regions[{i}] is empty or reversed")
        regions.append((start, end))
    return np.array(regions, dtype=np.int64).reshape(-1, 2)


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


# Reading a result document back (``DetectionResult.from_json``), trusting
# nothing in it.
#
# Every part is checked for its type and range before it is used, and the
# parts for their agreement: a document is read only when it describes a
# result that :func:`quarn.detect` could have produced, and anything else
# raises ValueError naming the part at fault. Documents written before the
# confirm method existed have no ``method`` option: they are native results.

#: The kinds of change the confirm method reports.
KINDS = frozenset({"level", "slope", "spread", "shape", "pattern"})

#: Index dtypes a document may name (what ``to_json`` writes).
_INDEX_DTYPES = ("int", "uint", "float", "bool", "object", "str", "string")

#: Units of datetime and timedelta ticks.
_TICK_UNITS = frozenset({"s", "ms", "us", "ns"})

_INT64 = (-(2**63), 2**63 - 1)


class DocumentError(ValueError):
    """A document that is no result of quarn.detect."""


def read_document(
    text: str | bytes, format_name: str, versions: tuple[int, ...]
) -> dict[str, Any]:
    """Parses the JSON text and checks its header.

    Raises:
        ValueError: The text is no JSON, nests too deeply, holds NaN or
            infinity literals, or is no document of this format and of one
            of these versions.
    """

    def refuse_constant(name: str) -> Any:
        raise DocumentError(f"{name} is not a JSON number (write NaN and infinity as quarn does)")

    try:
        document = json.loads(text, parse_constant=refuse_constant)
    except DocumentError as exc:
        raise ValueError(f"not a JSON document: {exc}") from None
    except (json.JSONDecodeError, UnicodeDecodeError) as exc:
        raise ValueError(f"not a JSON document: {exc}") from None
    except RecursionError:
        raise ValueError("not a JSON document: nested too deeply") from None
    except (TypeError, ValueError) as exc:  # bytes in an unknown encoding, say
        raise ValueError(f"not a JSON document: {exc}") from None
    if not isinstance(document, dict) or document.get("format") != format_name:
        raise ValueError(f'not a {format_name} document (no "format": "{format_name}")')
    found = document.get("version")
    if type(found) is not int or found not in versions:
        raise ValueError(f"unsupported {format_name} version {found!r}")
    return document


def field(data: Any, key: str, where: str) -> Any:
    """``data[key]`` of a JSON object."""
    if not isinstance(data, dict):
        raise DocumentError(f"{where} must be an object, got {_kind(data)}")
    if key not in data:
        raise DocumentError(f"{where} has no {key!r}")
    return data[key]


def mapping(data: Any, where: str) -> dict[str, Any]:
    if not isinstance(data, dict):
        raise DocumentError(f"{where} must be an object, got {_kind(data)}")
    return data


def sequence(data: Any, where: str, length: int | None = None) -> list[Any]:
    if not isinstance(data, list):
        raise DocumentError(f"{where} must be a list, got {_kind(data)}")
    if length is not None and len(data) != length:
        raise DocumentError(f"{where} must hold {length} entries, got {len(data)}")
    return data


def integer(data: Any, where: str, low: int | None = None, high: int | None = None) -> int:
    """A JSON integer (not a boolean) within [low, high]."""
    if type(data) is not int:
        raise DocumentError(f"{where} must be an integer, got {_kind(data)}")
    if (low is not None and data < low) or (high is not None and data > high):
        bounds = f"from {low}" if high is None else f"from {low} to {high}"
        raise DocumentError(f"{where} must be an integer {bounds}, got {_short(data)}")
    return data


def key_integer(key: str, where: str, low: int, high: int) -> int:
    """An integer written as a decimal key (window sizes, positions)."""
    if not (
        key.isascii() and key.isdigit() and len(key) <= 20 and (key == "0" or key[0] != "0")
    ):
        raise DocumentError(f"{where}: the key {_short(key)} is not a decimal integer")
    return integer(int(key), f"{where} key", low, high)


def number(data: Any, where: str, *, nan: bool = False, infinite: bool = False) -> float:
    """A float written as JSON: a number, or null for NaN and "Infinity" or
    "-Infinity" where those may occur."""
    if data is None and nan:
        return math.nan
    if infinite and isinstance(data, str) and data in INFINITIES:
        return INFINITIES[data]
    if type(data) not in (int, float):
        allowed = "a number" + (", null" if nan else "") + (' or "Infinity"' if infinite else "")
        raise DocumentError(f"{where} must be {allowed}, got {_kind(data)}")
    try:
        value = float(data)
    except OverflowError:
        raise DocumentError(f"{where} is too large for a float: {_short(data)}") from None
    if not infinite and math.isinf(value):
        raise DocumentError(f"{where} must be finite, got {_short(data)}")
    return value


def numbers(data: Any, where: str, length: int | None = None, **allowed: bool) -> Any:
    """A list of numbers as a float64 array."""
    items = sequence(data, where, length)
    return np.array(
        [number(item, f"{where}[{i}]", **allowed) for i, item in enumerate(items)],
        dtype=np.float64,
    )


def built(make: Callable[[], Any], where: str) -> Any:
    """``make()``, with whatever pandas or numpy raise about the data turned
    into a DocumentError naming ``where``."""
    try:
        return make()
    except MemoryError:
        raise
    except Exception as exc:  # pandas' own errors are of many kinds
        raise DocumentError(f"{where}: {type(exc).__name__}: {exc}") from None


def read_index(data: Any, n_samples: int) -> Any:
    """The pandas index of a document (None for null), of n_samples labels."""
    if data is None:
        return None
    data = mapping(data, "index")
    try:
        import pandas as pd
    except ImportError:
        raise DocumentError("index: reading a pandas index needs pandas") from None
    kind = field(data, "kind", "index")
    name = field(data, "name", "index")
    if not (name is None or type(name) in (str, int, float)):
        raise DocumentError(f"index name must be text, a number or null, got {_kind(name)}")
    if kind == "range":
        start, stop, step = (
            integer(field(data, key, "index"), f"index {key}", *_INT64)
            for key in ("start", "stop", "step")
        )
        if step == 0:
            raise DocumentError("index step must not be 0")
        index = built(lambda: pd.RangeIndex(start, stop, step, name=name), "index")
    elif kind in ("datetime", "timedelta"):
        unit = field(data, "unit", "index")
        if unit not in _TICK_UNITS:
            raise DocumentError(f"index unit must be one of s, ms, us, ns, got {_short(unit)}")
        ticks = _ticks(field(data, "values", "index"), n_samples)
        letter = "M" if kind == "datetime" else "m"
        array = np.array(ticks, dtype=np.int64).view(f"{letter}8[{unit}]")
        if kind == "timedelta":
            index = built(lambda: pd.TimedeltaIndex(array, name=name), "index")
        else:
            tz = field(data, "tz", "index")
            if not (tz is None or isinstance(tz, str)):
                raise DocumentError(f"index tz must be text or null, got {_kind(tz)}")
            index = built(
                lambda: (
                    pd.DatetimeIndex(array, name=name)
                    if tz is None
                    else pd.DatetimeIndex(array, name=name).tz_localize("UTC").tz_convert(tz)
                ),
                "index",
            )
    elif kind == "period":
        freq = field(data, "freq", "index")
        if not isinstance(freq, str):
            raise DocumentError(f"index freq must be text, got {_kind(freq)}")
        ticks = _ticks(field(data, "values", "index"), n_samples)
        index = built(lambda: pd.PeriodIndex.from_ordinals(ticks, freq=freq, name=name), "index")
    elif kind == "values":
        dtype = field(data, "dtype", "index")
        if not (isinstance(dtype, str) and dtype.startswith(_INDEX_DTYPES)):
            raise DocumentError(f"index dtype must be a numeric or text dtype, got {_short(dtype)}")
        values = sequence(field(data, "values", "index"), "index values", n_samples)
        if dtype.startswith("float"):
            values = [
                number(v, f"index values[{i}]", nan=True, infinite=True)
                for i, v in enumerate(values)
            ]
        elif dtype.startswith(("object", "str", "string")):
            if not all(isinstance(v, str) for v in values):
                raise DocumentError(f"index values of dtype {dtype} must all be text")
        elif dtype.startswith("bool"):
            if not all(type(v) is bool for v in values):
                raise DocumentError(f"index values of dtype {dtype} must all be true or false")
        elif not all(type(v) is int for v in values):
            raise DocumentError(f"index values of dtype {dtype} must all be integers")
        index = built(lambda: pd.Index(values, dtype=dtype, name=name), "index")
    else:
        raise DocumentError(f"unknown index kind {_short(kind)}")
    if len(index) != n_samples:
        raise DocumentError(f"the index must hold n_samples = {n_samples} labels, got {len(index)}")
    return index


def _ticks(data: Any, n_samples: int) -> list[int]:
    items = sequence(data, "index values", n_samples)
    return [integer(v, f"index values[{i}]", *_INT64) for i, v in enumerate(items)]


def _kind(value: Any) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (dict, list)):
        return "an object" if isinstance(value, dict) else "a list"
    if isinstance(value, str):
        return f"text {_short(value)}"
    return _short(value)


def _short(value: Any) -> str:
    text = repr(value)
    return text if len(text) <= 40 else text[:37] + "..."

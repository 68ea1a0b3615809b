"""The parts of a result document that every version holds alike, read
and checked (see :mod:`quarn._json.fields`)."""

from __future__ import annotations

from typing import Any

import numpy as np

from quarn._json.fields import (
    KINDS,
    DocumentError,
    field,
    integer,
    mapping,
    number,
    numbers,
    read_index,
    sequence,
    short,
)


def read_common(
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


def expected_window_sizes(n_samples: int, options: dict[str, Any], found: list[int]) -> list[int]:
    """The window sizes a result of these options holds, ascending."""
    if options["method"] == "native":
        return sorted(set(options["window_sizes"]))
    from quarn import _engine

    sizes = sorted(_engine.method_window_sizes(n_samples))
    # A series too short for the candidate detector keeps no windows.
    return found if not found else sizes


def read_statistics(data: Any, where: str, positions: int) -> Any:
    statistics = numbers(data, f"{where} statistics", positions, nan=True, infinite=True)
    if np.any(statistics < 0):
        raise DocumentError(f"{where} statistics must not be negative")
    return statistics


def read_present_starts(starts: list[Any], where: str, size: int, last: int) -> list[int]:
    """The first present value of every window: ascending by at least size."""
    checked = [integer(s, f"{where} starts[{v}]", 0, last) for v, s in enumerate(starts)]
    if any(b - a < size for a, b in zip(checked, checked[1:])):
        raise DocumentError(f"{where} starts must rise by at least {size}")
    return checked


def read_change_points(found: Any, where: str, last: int) -> Any:
    points = sequence(field(found, "change_points", where), where)
    return np.array(
        [integer(c, f"{where} change_points[{i}]", 1, last) for i, c in enumerate(points)],
        dtype=np.int64,
    )


def read_regions(found: Any, where: str, n_samples: int) -> Any:
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


def read_reports(changes: Any, positions: Any, n_samples: int) -> dict[str, Any]:
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
                f"changes directions[{i}] must be \"up\", \"down\" or null, got {short(direction)}"
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


def read_segments(data: Any, values: Any, positions: Any) -> dict[str, Any]:
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


def read_changes(changes: Any, count: int) -> tuple[tuple[str, ...], Any]:

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


def read_period(changes: Any, n_samples: int) -> float | None:
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

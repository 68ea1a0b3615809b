"""Reading a document of version 2: the result's own change table and
arrays."""

from __future__ import annotations

from typing import Any

import numpy as np

from quarn._json import parts
from quarn._json.fields import DocumentError, field, frozen, integer, mapping, numbers, sequence


def read_version_2(
    document: dict[str, Any],
) -> tuple[dict[str, Any], Any, Any, dict[str, Any]]:
    n_samples, n_missing, values, options, index = parts.read_common(document, 2)
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
        "seasonal_period": parts.read_period(
            {"seasonal_period": period}, n_samples - n_missing
        ),
        "n_missing": n_missing,
        "segments": parts.read_segments(
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
        return frozen(table)
    kinds, p_values = parts.read_changes(
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
        return frozen(table)
    reports = {
        "intervals": [[low, high] for low, high in zip(lows, highs)],
        "directions": directions,
        "effects": effects,
    }
    table.update(parts.read_reports(reports, table["position"], n_samples))
    return frozen(table)


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
    expected = parts.expected_window_sizes(present, options, sizes)
    if sizes != expected:
        raise DocumentError(f"the window sizes {sizes} are not those of the options ({expected})")
    last = n_samples - 1
    windows = []
    for found, size in zip(items, sizes):
        where = f"window {size}"
        positions = max(present // size - 1, 0)
        window: dict[str, Any] = {
            "window_size": size,
            "statistics": parts.read_statistics(
                field(found, "statistics", where), where, positions
            ),
            "thresholds": None,
            "threshold_runs": None,
            "change_points": parts.read_change_points(found, where, last),
            "localized_regions": parts.read_regions(found, where, n_samples),
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
            present_starts = parts.read_present_starts(starts, where, size, last)
            window["starts"] = np.array(present_starts, dtype=np.int64)
        elif "starts" in found:
            raise DocumentError(f"{where} has starts, but no value is missing")
        windows.append(frozen(window))
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

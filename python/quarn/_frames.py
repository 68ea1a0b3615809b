"""Change points as tables: ``DetectionResult.to_frame``, the tidy frame of
``quarn.detect_many`` and the notebook view of a result.

The columns of one series come from :func:`change_point_columns`, for a
single result and for many series alike, so that ``detect_many`` gives
exactly what a loop of ``detect(...).to_frame()`` gives.
"""

from __future__ import annotations

import html
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from quarn._checks import format_sizes

if TYPE_CHECKING:
    import pandas as pd

    from quarn.result import DetectionResult


@dataclass(frozen=True)
class PointColumn:
    """One column of the change-point table, for frames, the Dask meta, the
    notebook view and the command line's tables alike."""

    #: The name in frames and in JSON, and the attribute of a ChangePoint.
    name: str
    #: The heading of a printed table.
    heading: str
    #: The dtype of the column when it is empty (a label's comes from the
    #: series' index when there is one).
    dtype: Any
    #: Whether only the confirm method fills it (None or NaN otherwise).
    confirm_only: bool
    #: The printed text of a value.
    cell: Callable[[Any], str]


_FIXED = "{:.3f}".format

#: The columns of a change-point table, after ``series`` in a tidy frame.
POINT_COLUMNS = (
    PointColumn("position", "position", "int64", False, str),
    PointColumn("label", "label", object, False, str),
    PointColumn("votes", "votes", "int64", False, str),
    PointColumn("score", "score", "float64", False, _FIXED),
    PointColumn("probability", "probability", "float64", False, _FIXED),
    PointColumn("kind", "kind", object, True, str),
    PointColumn("p_value", "p-value", "float64", True, "{:.3g}".format),
    PointColumn("interval_low", "interval low", "Int64", True, str),
    PointColumn("interval_high", "interval high", "Int64", True, str),
    PointColumn("direction", "direction", object, True, lambda v: "" if v is None else str(v)),
    PointColumn("effect", "effect", "float64", True, lambda v: "" if v is None else f"{v:.3g}"),
)
COLUMNS = tuple(column.name for column in POINT_COLUMNS)
_DTYPES = {column.name: column.dtype for column in POINT_COLUMNS}

#: The location interval printed as one column, ``low-high``.
INTERVAL_COLUMN = PointColumn(
    "interval", "interval", object, True, lambda v: "" if v is None else f"{v[0]}-{v[1]}"
)

# Printed tables put what the test found before the votes.
_PRINTED = (
    "position",
    "label",
    "interval",
    "kind",
    "direction",
    "effect",
    "p_value",
    "votes",
    "score",
    "probability",
)

#: The columns of :meth:`DetectionResult.segments_frame`, after their dtypes.
SEGMENT_COLUMNS = (
    ("start", "int64"),
    ("stop", "int64"),
    ("count", "int64"),
    ("level", "float64"),
    ("spread", "float64"),
    ("slope", "float64"),
)


def printed_columns(confirm: bool, labelled: bool) -> list[PointColumn]:
    """The columns of a printed table of change points, in printed order."""
    by_name = {column.name: column for column in POINT_COLUMNS}
    by_name["interval"] = INTERVAL_COLUMN
    return [
        by_name[name]
        for name in _PRINTED
        if (confirm or not by_name[name].confirm_only) and (labelled or name != "label")
    ]


def printed_cells(point: Any, columns: Sequence[PointColumn]) -> list[str]:
    """The printed cells of one change point."""
    return [column.cell(getattr(point, column.name)) for column in columns]

#: Change points listed in a notebook before the rest are counted.
HTML_ROWS = 20


def require_pandas(what: str) -> Any:
    """Imports pandas, or explains that ``what`` needs it.

    Raises:
        ImportError: pandas is not installed.
    """
    try:
        import pandas
    except ImportError as exc:
        raise ImportError(
            f"{what} needs pandas, which is not installed; run: pip install pandas"
        ) from exc
    return pandas


def change_point_columns(table: dict[str, Any], index: Any) -> dict[str, Any]:
    """The change-point columns of one series.

    Args:
        table: A change table as the engine gives it (``quarn._engine.run``):
            one sequence per column of :data:`POINT_COLUMNS` but the label,
            a row that no test named (kind None) having no p-value,
            interval, direction or effect; an absent interval column (or
            None in it) is unknown.
        index: The pandas index of the series, or None.

    Returns:
        The arrays of :data:`COLUMNS`: the labels as the index's values at
        the positions (keeping its dtype), or an object array of None.
    """
    positions = np.asarray(table["position"], dtype=np.int64)
    kinds = list(table["kind"])
    untested = np.array([kind is None for kind in kinds], dtype=bool)
    count = len(positions)

    def figures(key: str) -> Any:
        # Integers stay exact in float64 (below 2**53); NaN where unknown.
        given = table.get(key)
        if given is None:
            return np.full(count, np.nan)
        column = np.array([np.nan if v is None else v for v in given], dtype=np.float64)
        column[untested] = np.nan
        return column

    return {
        "position": positions,
        "label": _labels(index, positions),
        "votes": np.asarray(table["votes"], dtype=np.int64),
        "score": np.asarray(table["score"], dtype=np.float64),
        "probability": np.asarray(table["probability"], dtype=np.float64),
        "kind": np.array(kinds, dtype=object),
        "p_value": figures("p_value"),
        "interval_low": figures("interval_low"),
        "interval_high": figures("interval_high"),
        "direction": np.array(list(table["direction"]), dtype=object),
        "effect": figures("effect"),
    }


def change_point_frame(result: DetectionResult) -> pd.DataFrame:
    """``result.to_frame()``: one row per change point."""
    pd = require_pandas("to_frame")
    points = result.change_points
    table = {
        name: [getattr(p, name) for p in points]
        for name in ("position", "kind", "p_value", "votes", "score", "probability",
                     "direction", "effect")
    }
    table["interval_low"] = [None if p.interval is None else p.interval[0] for p in points]
    table["interval_high"] = [None if p.interval is None else p.interval[1] for p in points]
    return _with_object_kinds(pd.DataFrame(change_point_columns(table, result.index)))


def segment_frame(result: DetectionResult) -> pd.DataFrame:
    """``result.segments_frame()``: one row per segment."""
    pd = require_pandas("segments_frame")
    segments = result.segments
    columns: dict[str, Any] = {
        name: np.array(
            [np.nan if getattr(s, name) is None else getattr(s, name) for s in segments],
            dtype=dtype,
        )
        for name, dtype in SEGMENT_COLUMNS
    }
    if result.index is not None:
        starts = columns["start"]
        columns["start_label"] = _labels(result.index, starts)
        columns["stop_label"] = _labels(result.index, np.maximum(columns["stop"] - 1, 0))
    return pd.DataFrame(columns)


def tidy_frame(
    names: Sequence[Any], pieces: Sequence[dict[str, Any]], name_dtype: Any = None
) -> pd.DataFrame:
    """The change points of many series in one frame.

    Args:
        names: The name of every series.
        pieces: The :func:`change_point_columns` of every series, in the
            same order.
        name_dtype: The dtype of the ``series`` column (for names taken from
            a column of a frame); inferred from the names when None.

    Returns:
        The columns ``series`` and :data:`COLUMNS`, the series one after
        the other.
    """
    pd = require_pandas("detect_many")
    counts = [len(piece["position"]) for piece in pieces]
    if name_dtype is None:
        name_index = pd.Index(list(names)) if len(names) else pd.Index([], dtype=object)
    else:
        name_index = pd.Index(list(names), dtype=name_dtype)
    columns: dict[str, Any] = {"series": name_index.repeat(counts)}
    for column in COLUMNS:
        parts = [piece[column] for piece in pieces]
        if column == "label":
            columns[column] = _joined_labels(parts)
        elif parts:
            columns[column] = np.concatenate(parts)
        else:
            dtype = _DTYPES[column]
            columns[column] = np.empty(0, dtype=np.float64 if dtype == "Int64" else dtype)
    return _with_object_kinds(pd.DataFrame(columns))


def result_html(result: DetectionResult) -> str:
    """The notebook view of a result: a summary line and a table of the
    first :data:`HTML_ROWS` change points."""
    options = result.options
    count = len(result.change_points)
    sizes = format_sizes(result.window_results) or "none"
    summary = (
        f"<strong>DetectionResult</strong>: {result.n_samples} values"
        f"{f' ({result.n_missing} missing)' if result.n_missing else ''}, {count} change "
        f"point{'' if count == 1 else 's'} (method {html.escape(result.method)}, window sizes "
        f"{html.escape(sizes)}, alpha {options['alpha']:g}, seed {options['seed']})"
    )
    if not count:
        return f"<div>{summary}{_segments_html(result)}</div>"
    columns = printed_columns(result.method == "confirm", result.index is not None)
    heads = [column.heading for column in columns]
    rows = []
    for point in result.change_points[:HTML_ROWS]:
        cells = printed_cells(point, columns)
        rows.append("<tr>" + "".join(f"<td>{html.escape(c)}</td>" for c in cells) + "</tr>")
    if count > HTML_ROWS:
        rows.append(f'<tr><td colspan="{len(heads)}">... {count - HTML_ROWS} more</td></tr>')
    head = "<tr>" + "".join(f"<th>{h}</th>" for h in heads) + "</tr>"
    table = f"<table><thead>{head}</thead><tbody>{''.join(rows)}</tbody></table>"
    return f"<div>{summary}{table}{_segments_html(result)}</div>"


def _segments_html(result: DetectionResult) -> str:
    """The segments of a result as a table of its first HTML_ROWS."""
    segments = result.segments
    if not segments:
        return ""
    heads = ["start", "stop", "count", "level", "spread", "slope"]
    rows = []
    for segment in segments[:HTML_ROWS]:
        cells = [
            str(segment.start),
            str(segment.stop),
            str(segment.count),
            f"{segment.level:.4g}",
            f"{segment.spread:.4g}",
            "" if segment.slope is None else f"{segment.slope:.3g}",
        ]
        rows.append("<tr>" + "".join(f"<td>{c}</td>" for c in cells) + "</tr>")
    if len(segments) > HTML_ROWS:
        rows.append(f'<tr><td colspan="6">... {len(segments) - HTML_ROWS} more</td></tr>')
    head = "<tr>" + "".join(f"<th>{h}</th>" for h in heads) + "</tr>"
    return (
        f"<div>Segments</div><table><thead>{head}</thead><tbody>{''.join(rows)}</tbody></table>"
    )


def _with_object_kinds(frame: pd.DataFrame) -> pd.DataFrame:
    """Keeps the ``kind`` column as Python objects (str or None), whatever
    string dtype pandas would infer, so every table has the same dtypes."""
    frame["kind"] = frame["kind"].astype(object)
    frame["direction"] = frame["direction"].astype(object)
    for column in ("interval_low", "interval_high"):
        frame[column] = frame[column].astype("Int64")
    return frame


def _labels(index: Any, positions: Any) -> Any:
    if index is None:
        return np.full(len(positions), None, dtype=object)
    return index.take(positions)


def _joined_labels(parts: list[Any]) -> Any:
    """The labels of many series as one column; pandas unites their dtypes
    as it does when frames are concatenated."""
    if not parts:
        return np.empty(0, dtype=object)
    if all(isinstance(part, np.ndarray) for part in parts):
        return np.concatenate(parts)
    pd = require_pandas("detect_many")
    series = [
        pd.Series(
            # A MultiIndex makes no Series: its labels are tuples, as in to_frame.
            part.to_flat_index() if isinstance(part, pd.MultiIndex) else part,
            dtype=object if isinstance(part, (np.ndarray, pd.MultiIndex)) else None,
        )
        for part in parts
    ]
    return pd.concat(series, ignore_index=True)

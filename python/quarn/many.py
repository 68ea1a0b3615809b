"""``detect_many``: many series at once, in parallel, as one tidy table."""

from __future__ import annotations

import sys
import warnings
from collections.abc import Callable, Hashable, Iterable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from quarn._runner import QuarnWarning, short_series_message
from quarn._frames import change_point_columns, require_pandas, tidy_frame
from quarn._inputs import (
    PreparedSeries,
    SeriesTypeError,
    float_values,
    not_numbers,
    numpy_values,
    prepare_series,
)
from quarn._runner import SeriesFailure, run_detector
from quarn._checks import shown
from quarn.options import check_options, with_options_doc
from quarn.result import engine_window_sizes

if TYPE_CHECKING:
    import pandas as pd

#: Warnings about short series name at most this many of them.
NAMED_SHORT_SERIES = 3


def detect_many(
    data: Any,
    *,
    by: Hashable | None = None,
    time: Hashable | None = None,
    value: Hashable | None = None,
    method: str = "confirm",
    window_sizes: Iterable[int] | int | None = None,
    n_perm: int | None = None,
    alpha: float | None = None,
    confidence: float | None = None,
    seed: int = 123,
    tol: int | None = None,
    workers: int | None = None,
    change_type: str | None = None,
    block_length: int | None = None,
    taper_ratio: float | None = None,
    center: bool | None = None,
    missing: str = "skip",
    progress: Callable[[int, int], object] | None = None,
) -> pd.DataFrame:
    """Finds change points in many series at once.

    The series run in parallel inside the detector engine, one task per
    series, without holding the interpreter lock; Ctrl-C stops them all. The
    table is exactly what a loop of :func:`quarn.detect` gives (each series'
    ``detect(...).to_frame()`` after a ``series`` column holding its name),
    in a fraction of the time on several processors. Needs pandas.

    Args:
        data: The series, in one of four shapes:

            - a mapping of names to series (anything :func:`quarn.detect`
              takes: lists, numpy arrays, pandas Series, ...);
            - a list or tuple of series, named 0, 1, 2, ...;
            - a wide pandas DataFrame: one series per column, named by the
              column, labelled by the frame's index (or by the ``time``
              column, the rows then sorted by it);
            - a long pandas DataFrame, given ``by``: one series per value of
              the ``by`` column (in order of first appearance), its values
              in the ``value`` column, labelled by the ``time`` column and
              sorted by it when ``time`` is given (a stable sort), otherwise
              in row order and without labels.
        by: The column (or index level) naming the series of a long frame.
        time: The column (or index level) of time labels of a frame.
        value: The column of values of a long frame; may be left out when
            the frame has just one column besides ``by`` and ``time``.
        (options): One entry per option, from quarn.options.OPTIONS.

    Returns:
        One row per change point, the series one after the other: ``series``
        (the name), ``position``, ``label``, ``votes``, ``score``,
        ``probability``, ``kind`` and ``p_value`` (see
        :meth:`DetectionResult.to_frame`). Where missing values were left
        out, ``frame.attrs["n_missing"]`` maps every series' name to the
        number of its missing values (each series counts its own).

    Raises:
        TypeError: ``data`` is of none of the four shapes, a series is not a
            sequence of numbers, or an option has the wrong type.
        ValueError: A series cannot be analysed (too short, a NaN, infinite
            or missing value; the message names the series), a column is
            missing, or an option is out of range.
        ImportError: pandas is not installed.

    Warns:
        QuarnWarning: Some window sizes need more values than some series
            have; one warning names up to three such series.
    """
    given = dict(locals())
    for name in ("data", "by", "time", "value"):
        del given[name]
    require_pandas("detect_many")
    options = check_options(given)
    split = split_series(data, by=by, time=time, value=value, missing=options["missing"])
    names, prepared = split.names, split.prepared
    values = []
    for name, series in zip(names, prepared):
        try:
            values.append(float_values(series))
        except (TypeError, ValueError) as exc:
            raise type(exc)(f"series {shown(name)}: {exc}") from None
    try:
        compact = run_detector(prepared, values, options, progress=options["progress"])
    except SeriesFailure as failure:
        raise failure.error(f"series {shown(names[failure.series_index])}: {failure.message}") from (
            failure.__cause__
        )
    missing_counts = [int(detection.get("n_missing", 0)) for detection in compact]
    _warn_short_series(
        names,
        [len(v) - m for v, m in zip(values, missing_counts)],
        [engine_window_sizes(detection["windows"]) for detection in compact],
    )
    pieces = []
    for number, series in enumerate(prepared):
        detection, compact[number] = compact[number], None  # free as we go
        pieces.append(change_point_columns(detection["table"], series.index))
    frame = tidy_frame(names, pieces, split.name_dtype)
    if any(missing_counts):
        frame.attrs["n_missing"] = dict(zip(names, missing_counts))
    return frame


detect_many.__doc__ = with_options_doc(detect_many.__doc__ or "")


@dataclass(frozen=True)
class SplitSeries:
    """The series of ``detect_many``'s input.

    Attributes:
        names: The name of every series.
        prepared: The series, checked for their kind and shape.
        name_dtype: The dtype of the ``series`` column (of the ``by``
            column of a long frame), or None to infer it from the names.
    """

    names: list[Any]
    prepared: list[PreparedSeries]
    name_dtype: Any = None


def split_series(
    data: Any, *, by: Any = None, time: Any = None, value: Any = None, missing: str = "raise"
) -> SplitSeries:
    """Takes the series out of the shapes ``detect_many`` accepts; with
    ``missing="skip"``, missing values become NaN (see ``prepare_series``).

    Raises:
        TypeError: ``data`` has none of the shapes, or a series is no
            sequence of numbers.
        ValueError: A column is missing or holds missing names or times.
    """
    for role, name in (("by", by), ("time", time), ("value", value)):
        try:
            hash(name)
        except TypeError:
            raise TypeError(
                f"{role} names one column (or index level), got {type(name).__name__} "
                f"{shown(name)}"
            ) from None
    pd = sys.modules.get("pandas")
    if pd is not None and isinstance(data, pd.DataFrame):
        if by is not None:
            return _long_series(pd, data, by, time, value, missing)
        if value is not None:
            raise TypeError("value names the column of values of a long frame: give by as well")
        return _wide_series(data, time, missing)
    if by is not None or time is not None or value is not None:
        raise TypeError("by, time and value apply to a pandas DataFrame")
    if pd is not None and isinstance(data, pd.Series) or isinstance(data, np.ndarray):
        raise TypeError(
            f"detect_many takes several series, got one {type(data).__name__}; pass a list of "
            "series or a mapping of names to series (or list(array) for the rows of a 2-D "
            "array), or use quarn.detect for one series"
        )
    if isinstance(data, Mapping):
        names = list(data)
        return SplitSeries(names, [_prepared(name, data[name], missing) for name in names])
    if isinstance(data, (str, bytes)) or not isinstance(data, Iterable):
        raise TypeError(
            "detect_many takes a mapping of names to series, a list of series or a pandas "
            f"DataFrame, got {type(data).__name__}"
        )
    items = list(data)
    if items and isinstance(items[0], (int, float)) and not isinstance(items[0], bool):
        raise TypeError(
            "detect_many takes several series, got a list of numbers; use quarn.detect for "
            "one series"
        )
    return SplitSeries(
        list(range(len(items))), [_prepared(i, item, missing) for i, item in enumerate(items)]
    )


def _prepared(name: Any, series: Any, missing: str) -> PreparedSeries:
    try:
        return prepare_series(series, missing)
    except (TypeError, ValueError) as exc:
        raise type(exc)(f"series {shown(name)}: {exc}") from None


def _wide_series(frame: Any, time: Any, missing: str) -> SplitSeries:
    if time is not None:
        frame = _with_columns(frame, [time])
        _refuse_missing(frame, time, "time")
        frame = frame.sort_values(time, kind="stable").set_index(time)
    names = list(frame.columns)
    repeated = frame.columns[frame.columns.duplicated()].unique().tolist()
    if repeated:
        count = int((frame.columns == repeated[0]).sum())
        raise ValueError(
            f"series names must be unique: the column {shown(repeated[0])} appears {count} "
            f"times{'' if len(repeated) == 1 else f' (and {len(repeated) - 1} more names repeat)'}"
        )
    for i, name in enumerate(names):
        column = frame.iloc[:, i]
        problem = not_numbers(column.dtype, column.to_numpy() if column.dtype == object else None)
        if problem is not None:
            hint = (
                f"give it as time={shown(name)} to label the other columns by it"
                if "times" in problem and time is None
                else "drop it, or select the columns of values"
            )
            raise SeriesTypeError(f"series {shown(name)}: the column holds {problem}; {hint}")
    return SplitSeries(names, [_prepared(name, frame.iloc[:, i], missing) for i, name in enumerate(names)])


def _long_series(
    pd: Any, frame: Any, by: Any, time: Any, value: Any, missing: str
) -> SplitSeries:
    frame = _with_columns(frame, [by] + ([] if time is None else [time]))
    if value is None:
        others = [c for c in frame.columns if c != by and c != time]
        if len(others) != 1:
            raise ValueError(
                f"value: name the column of values (the columns besides by and time are "
                f"{shown(others)})"
            )
        value = others[0]
    elif value not in frame.columns:
        raise ValueError(f"value: no column {shown(value)} (columns: {shown(list(frame.columns))})")
    _refuse_missing(frame, by, "by")
    codes, uniques = pd.factorize(frame[by], sort=False)
    if time is None:
        order = np.argsort(codes, kind="stable")
    else:
        _refuse_missing(frame, time, "time")
        keys = pd.DataFrame({"code": codes, "time": frame[time].array})
        order = keys.sort_values(["code", "time"], kind="stable").index.to_numpy()
    values_column = frame[value]
    problem = not_numbers(
        values_column.dtype, values_column.to_numpy() if values_column.dtype == object else None
    )
    if problem is not None:
        raise TypeError(
            f"value: the column {shown(value)} must hold numbers, got {problem}; name the "
            "column of values"
        )
    try:
        column = frame[value].to_numpy(dtype=np.float64, na_value=np.nan)
    except (TypeError, ValueError):
        raise TypeError(
            f"value: the column {shown(value)} must hold numbers, got dtype {frame[value].dtype}"
        ) from None
    values = numpy_values(column)[order]
    times = None if time is None else pd.Index(frame[time].array, name=time)[order]
    ends = np.cumsum(np.bincount(codes, minlength=len(uniques)))
    prepared = []
    start = 0
    for end in ends.tolist():
        index = None if times is None else times[start:end]
        prepared.append(
            PreparedSeries(values[start:end], index, owned=True, skip_missing=missing == "skip")
        )
        start = end
    return SplitSeries(list(uniques), prepared, uniques.dtype)


def _with_columns(frame: Any, names: list[Any]) -> Any:
    """The frame with every one of ``names`` as a column (index levels are
    turned into columns)."""
    levels = [n for n in names if n not in frame.columns and n in (frame.index.names or [])]
    if levels:
        frame = frame.reset_index(level=levels)
    for name in names:
        if name not in frame.columns:
            raise ValueError(f"no column {shown(name)} (columns: {shown(list(frame.columns))})")
    return frame


def _refuse_missing(frame: Any, column: Any, role: str) -> None:
    missing = int(frame[column].isna().sum())
    if missing:
        raise ValueError(
            f"{role}: the column {shown(column)} has {missing} missing value"
            f"{'s' if missing > 1 else ''}; drop or fill them first"
        )


def _warn_short_series(
    names: list[Any], lengths: list[int], window_sizes: list[list[int]]
) -> None:
    messages = [
        message
        for name, length, sizes in zip(names, lengths, window_sizes)
        if (
            message := short_series_message(length, sizes, f"series {shown(name)}")
        )
        is not None
    ]
    if not messages:
        return
    text = "; ".join(messages[:NAMED_SHORT_SERIES])
    if len(messages) > NAMED_SHORT_SERIES:
        text += f"; and {len(messages) - NAMED_SHORT_SERIES} more series are too short"
    warnings.warn(text, QuarnWarning, stacklevel=3)
